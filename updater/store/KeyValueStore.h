#pragma once
// An attribute file of KEY=VALUE lines, kept in memory as an ordered map.
#include <cstdint>
#include <map>
#include <string>

class KeyValueStore {
public:
  static constexpr const char* DEFAULT_FILENAME = ".settings";
  static constexpr const char* KEY_CREATED_TIME = "CREATED_TIME";
  static constexpr const char* KEY_UPDATED_TIME = "UPDATED_TIME";

  explicit KeyValueStore(const char* path = nullptr);
  KeyValueStore(const KeyValueStore&) = default;
  KeyValueStore& operator=(const KeyValueStore&) = default;

  // Reads the file, lines of any length; a missing one is created (with its creation
  // date). A file that exists but cannot be read whole (not a regular file, unreadable,
  // over 16 MiB) is left alone, and this store never saves over it.
  void Load(const char* path);
  // The entries of an attribute file's text, by the line rules, over those already held.
  void LoadText(const std::string& text);
  // The text Save writes: "%s=%s\n" per entry in key order. Every entry reads back
  // through LoadText as it is held.
  std::string SavedText() const;
  // Replaces the file whole with the entries (the path given, else the store's own).
  // Returns false when the file could not be written; the store then stays dirty and
  // SaveFailure() says why.
  bool Save(const char* path);
  const std::string& SaveFailure() const { return saveFailure; }

  std::string GetString(const char* key, const char* defaultValue) const;
  int GetInt(const char* key, int defaultValue);
  uint32_t GetHex(const char* key, uint32_t defaultValue);
  bool GetBOOL(const char* key, bool defaultValue);
  double GetDouble(const char* key, double defaultValue);

  // The Add forms return false, changing nothing, for a key holding "=" or a line end
  // or a value holding a line end: such an entry would not read back as it was.
  bool Add(const char* key, int value);
  bool Add(const char* key, double value);
  bool AddHex(const char* key, uint32_t value);
  bool Add(const char* key, const char* text);
  bool Add(const char* key, const std::string& text);
  bool Add(const KeyValueStore& other);
  bool Clear();

  const char* operator[](const char* key) const;

  // The current local date as ctime text without its line end.
  static std::string CurrentDate();

  std::string path;
  std::map<std::string, std::string> entries;
  bool dirty = false;

private:
  // The value of a typed getter: present and non-empty, else an empty entry is added.
  const std::string* typedValue(const char* key);
  // The path of a file that exists but could not be read: never replaced.
  std::string unreadablePath;
  std::string saveFailure;
};
