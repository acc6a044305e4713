#include "updater/store/UpdaterStore.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "common/aDirectory.h"
#include "updater/cli/Log.h"
#include "updater/store/path.h"

namespace {

constexpr uint32_t kLog = Log::DEBUG_Updater;

struct result_t {
  bool found = false;
  std::string name;
  UpdaterStoreItem* item = nullptr;
};

void _ensure_directory(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    const aErr e = aDirectory_Ensure(path.c_str(), 0755);
    if (e != aErrNone)
      throw std::runtime_error("UpdaterStore: Could not create directory " + path + " error " + std::to_string(e));
    Log::log(kLog, "UpdaterStore: Created directory [%s].\n", path.c_str());
  } else if (!S_ISDIR(st.st_mode)) {
    throw std::runtime_error("UpdaterStore: " + path + " exists and is a file");
  } else {
    Log::log(kLog, "UpdaterStore: [%s] already exists.\n", path.c_str());
  }
}

std::string hexName(uint32_t serial) {
  char name[9];
  std::snprintf(name, sizeof name, "%08X", serial);
  return name;
}

// Splits a listed path into the directory that holds the entry and the entry's name.
void splitEntry(const char* joined, std::string& directory, std::string& entryName) {
  const std::string path(joined);
  const size_t slash = path.rfind('/');
  directory = slash == std::string::npos ? std::string() : path.substr(0, slash);
  entryName = slash == std::string::npos ? path : path.substr(slash + 1);
}

// The entry matches only when its own name is the searched name: a base path or a
// sibling that merely contains the text (a serial number inside a longer name, say)
// is no match, and names that begin with "." are never store items.
bool _find_item(const aDirectoryListData* entry, void* reference) {
  result_t* result = static_cast<result_t*>(reference);
  Log::log(kLog, "%s([%s], %d, %d) searching for %s\n", "_find_item", entry->path, entry->isDirectory, entry->size,
           result->name.c_str());
  std::string directory, entryName;
  splitEntry(entry->path, directory, entryName);
  if (entryName.empty() || entryName[0] == '.' || entryName != result->name) return true;
  result->found = true;
  if (result->item != nullptr) {
    *result->item = UpdaterStoreItem(directory.c_str(), entryName.c_str(),
                                     entry->isDirectory ? STORE_ITEM_DIRECTORY : STORE_ITEM_FILE);
  }
  return false;
}

bool searchDirectory(const std::string& directory, const char* name, UpdaterStoreItem* item) {
  result_t result;
  result.name = name != nullptr ? name : "";
  result.item = item;
  if (!result.name.empty()) aDirectory_List(directory.c_str(), _find_item, &result);
  return result.found;
}

struct items_t {
  std::vector<UpdaterStoreItem>* items;
};

bool _find_items(const aDirectoryListData* entry, void* reference) {
  items_t* found = static_cast<items_t*>(reference);
  Log::log(kLog, "%s([%s], %d, %d)\n", "_find_items", entry->path, entry->isDirectory, entry->size);
  std::string directory, entryName;
  splitEntry(entry->path, directory, entryName);
  if (entryName.empty() || entryName[0] == '.') return true;
  found->items->emplace_back(directory.c_str(), entryName.c_str(),
                             entry->isDirectory ? STORE_ITEM_DIRECTORY : STORE_ITEM_FILE);
  return true;
}

}  // namespace

std::string StoredBuildKey(const std::string& name) {
  const size_t dot = name.find(".bird");
  return dot == std::string::npos ? name : name.substr(0, dot);
}

UpdaterStoreItem::UpdaterStoreItem() = default;

UpdaterStoreItem::UpdaterStoreItem(const char* itemBase, const char* itemName, store_item_t itemType)
    : base(itemBase != nullptr ? itemBase : ""), name(itemName != nullptr ? itemName : ""), type(itemType) {
  // What an earlier run killed in the middle of a save left in the device's entry.
  if (type == STORE_ITEM_DIRECTORY) RemoveStaleTemporaries(BuildPath(base.c_str(), name.c_str(), nullptr));
  attributes.Load(BuildPath(base.c_str(), name.c_str(), KeyValueStore::DEFAULT_FILENAME, nullptr).c_str());
}

bool UpdaterStoreItem::IsValid() const { return !base.empty() && !name.empty(); }

aErr UpdaterStoreItem::WriteFile(const char* fileName, const uint8_t* bytes, uint64_t length, int* error) {
  if (bytes == nullptr || fileName == nullptr) {
    if (error != nullptr) *error = EINVAL;
    return aErrNotFound;
  }
  return ReplaceFile(BuildPath(base.c_str(), name.c_str(), fileName, nullptr), bytes, length, error);
}

BirdFile UpdaterStoreItem::ReadBirdFile(const char* fileName) const {
  const std::string path = BuildPath(base.c_str(), name.c_str(), fileName != nullptr ? fileName : "", nullptr);
  if (!BirdFile::VerifyFile(path.c_str())) throw std::runtime_error("Invalid bird " + path);
  return BirdFile(path.c_str());
}

bool UpdaterStoreItem::FileExists(const char* fileName) const {
  return searchDirectory(BuildPath(base.c_str(), name.c_str(), nullptr), fileName, nullptr);
}

UpdaterStore::UpdaterStore(const char* storeBase) : base(storeBase != nullptr ? storeBase : "") {
  if (base.empty()) throw std::runtime_error("UpdaterStore: no base directory given");
  _ensure_directory(base);
}

const char* UpdaterStore::BasePath() const { return base.c_str(); }

UpdaterStoreItem UpdaterStore::AddDevice(uint32_t serial) { return AddDevice(hexName(serial).c_str()); }

UpdaterStoreItem UpdaterStore::AddDevice(const char* name) {
  const std::string deviceName = name != nullptr ? name : "";
  _ensure_directory(BuildPath(base.c_str(), deviceName.c_str(), nullptr));
  return UpdaterStoreItem(base.c_str(), deviceName.c_str(), STORE_ITEM_DIRECTORY);
}

bool UpdaterStore::FindDevice(uint32_t serial, UpdaterStoreItem* item) const {
  return FindDevice(hexName(serial).c_str(), item);
}

bool UpdaterStore::FindDevice(const char* name, UpdaterStoreItem* item) const {
  const bool found = searchDirectory(base, name, item);
  Log::log(kLog, "UpdaterStore: FindDevice %s %s.\n", found ? "Found" : "Not Found", name != nullptr ? name : "");
  return found;
}

bool UpdaterStore::FindLocalBuilds(uint32_t serial, std::vector<UpdaterStoreItem>& items) const {
  UpdaterStoreItem device;
  if (FindDevice(serial, &device)) ListEntries(device, items);
  return true;
}

void UpdaterStore::ListEntries(const UpdaterStoreItem& device, std::vector<UpdaterStoreItem>& items) const {
  items_t found{&items};
  aDirectory_List(BuildPath(device.base.c_str(), device.name.c_str(), nullptr).c_str(), _find_items, &found);
}
