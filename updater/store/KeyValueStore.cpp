#include "updater/store/KeyValueStore.h"

#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "updater/cli/Log.h"
#include "updater/store/path.h"

namespace {

constexpr uint32_t kLog = Log::DEBUG_Attributes;
// Far beyond any attribute file the updater writes; a larger one is not read (and so
// never replaced).
constexpr uint64_t kMaxFileSize = 16u * 1024u * 1024u;

bool isBlank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

std::string trimmed(const char* begin, const char* end, bool leading) {
  if (leading)
    while (begin < end && isBlank(*begin)) begin++;
  while (end > begin && isBlank(end[-1])) end--;
  return std::string(begin, end);
}

}  // namespace

KeyValueStore::KeyValueStore(const char* filePath) {
  if (filePath != nullptr) Load(filePath);
}

std::string KeyValueStore::CurrentDate() {
  const std::time_t now = std::time(nullptr);
  char text[64] = "";
  if (ctime_r(&now, text) == nullptr) return std::string();
  std::string date(text);
  if (!date.empty() && date.back() == '\n') date.pop_back();
  return date;
}

void KeyValueStore::Load(const char* filePath) {
  if (filePath == nullptr) return;
  std::string text;
  int error = 0;
  const aErr e = ReadRegularFile(filePath, text, kMaxFileSize, &error);
  if (e == aErrNotFound) {
    Log::log(kLog, "Attibutes: Error - cannot open attributes file: '%s' (%d)\n", filePath, error);
    Add(KEY_CREATED_TIME, CurrentDate());
    Save(filePath);
  }
  path = filePath;
  dirty = false;
  if (e == aErrNotFound) return;
  if (e != aErrNone) {
    // There but not read whole (not a regular file, too large, a read error): saving
    // would replace what it holds with what little was read.
    Log::log(kLog, "Attibutes: Error (%d) reading attributes file: '%s'\n", e, filePath);
    unreadablePath = filePath;
    return;
  }
  LoadText(text);
}

void KeyValueStore::LoadText(const std::string& text) {
  size_t start = 0;
  while (start < text.size()) {
    size_t stop = text.find('\n', start);
    const bool ended = stop != std::string::npos;
    if (!ended) stop = text.size();
    const char* begin = text.data() + start;
    const char* end = text.data() + stop;
    start = ended ? stop + 1 : stop;
    // Under 3 characters with the line end counted: skipped, as is a comment.
    if (static_cast<size_t>(end - begin) + (ended ? 1 : 0) < 3 || *begin == '#') continue;
    while (begin < end && isBlank(*begin)) begin++;
    const char* equals = static_cast<const char*>(std::memchr(begin, '=', static_cast<size_t>(end - begin)));
    if (equals == nullptr) continue;  // no key without "="
    entries[trimmed(begin, equals, false)] = trimmed(equals + 1, end, true);
  }
}

std::string KeyValueStore::SavedText() const {
  std::string text;
  for (const auto& entry : entries) {
    // A key that begins with "#" would read back as a comment, and an empty key with an
    // empty value as a line too short to count: a leading blank, which the reader skips,
    // keeps both.
    if (entry.first.empty() || entry.first[0] == '#') text += ' ';
    text += entry.first + "=" + entry.second + "\n";
  }
  return text;
}

bool KeyValueStore::Save(const char* filePath) {
  if (filePath != nullptr) {
    path = filePath;
  } else if (path.empty()) {
    path = DEFAULT_FILENAME;
    Log::log(kLog, "Attibutes: no filename given for attributes, using default:[%s]\n", path.c_str());
  }
  saveFailure.clear();
  if (!unreadablePath.empty() && path == unreadablePath) {
    Log::log(kLog, "Attibutes: Error - not replacing unreadable attributes file: '%s'\n", path.c_str());
    saveFailure = "it could not be read whole, so it is not replaced";
    return false;
  }
  if (dirty) entries[KEY_UPDATED_TIME] = CurrentDate();

  const std::string text = SavedText();
  int error = 0;
  if (ReplaceFile(path, text.data(), text.size(), &error) != aErrNone) {
    Log::log(kLog, "Attibutes: Error - cannot open attributes file for writting: '%s' (%d)\n", path.c_str(), error);
    saveFailure = std::strerror(error);
    return false;
  }
  dirty = false;
  return true;
}

std::string KeyValueStore::GetString(const char* key, const char* defaultValue) const {
  const auto it = key != nullptr ? entries.find(key) : entries.end();
  if (it != entries.end()) return it->second;
  return defaultValue != nullptr ? defaultValue : "";
}

const std::string* KeyValueStore::typedValue(const char* key) {
  if (key == nullptr) return nullptr;
  const std::string& value = entries[key];
  return value.empty() ? nullptr : &value;
}

int KeyValueStore::GetInt(const char* key, int defaultValue) {
  const std::string* value = typedValue(key);
  return value != nullptr ? std::atoi(value->c_str()) : defaultValue;
}

uint32_t KeyValueStore::GetHex(const char* key, uint32_t defaultValue) {
  const std::string* value = typedValue(key);
  return value != nullptr ? static_cast<uint32_t>(std::strtol(value->c_str(), nullptr, 16)) : defaultValue;
}

bool KeyValueStore::GetBOOL(const char* key, bool defaultValue) {
  const std::string* value = typedValue(key);
  return value != nullptr ? std::atoi(value->c_str()) != 0 : defaultValue;
}

double KeyValueStore::GetDouble(const char* key, double defaultValue) {
  const std::string* value = typedValue(key);
  return value != nullptr ? std::atof(value->c_str()) : defaultValue;
}

bool KeyValueStore::Add(const char* key, const std::string& text) {
  if (key == nullptr) return true;
  // A line end would split the entry into lines of their own when read back (a path
  // given by the user could then plant further entries); "=" in a key would move it.
  if (std::strchr(key, '\n') != nullptr || std::strchr(key, '=') != nullptr ||
      text.find('\n') != std::string::npos) {
    Log::log(kLog, "Attibutes: Error - refusing an entry that would not read back: '%s'\n", key);
    return false;
  }
  auto it = entries.find(key);
  if (it == entries.end()) {
    entries.emplace(key, text);
    if (!text.empty()) dirty = true;
  } else if (it->second != text) {
    it->second = text;
    dirty = true;
  }
  return true;
}

bool KeyValueStore::Add(const char* key, const char* text) { return Add(key, std::string(text != nullptr ? text : "")); }

bool KeyValueStore::Add(const char* key, int value) { return Add(key, std::to_string(value)); }

bool KeyValueStore::Add(const char* key, double value) {
  char text[512];
  std::snprintf(text, sizeof text, "%f", value);
  return Add(key, std::string(text));
}

bool KeyValueStore::AddHex(const char* key, uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", value);
  return Add(key, std::string(text));
}

bool KeyValueStore::Add(const KeyValueStore& other) {
  for (const auto& entry : other.entries) {
    entries[entry.first] = entry.second;
    dirty = true;
  }
  return true;
}

bool KeyValueStore::Clear() {
  entries.clear();
  dirty = true;
  return true;
}

const char* KeyValueStore::operator[](const char* key) const {
  if (key == nullptr) return nullptr;
  const auto it = entries.find(key);
  return it != entries.end() ? it->second.c_str() : nullptr;
}
