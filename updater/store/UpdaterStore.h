#pragma once
// The device store: one directory per device (named by its serial number, "%08X")
// under a base directory, holding the device's stored BIRD files and its ".settings"
// attribute file.
#include <cstdint>
#include <string>
#include <vector>

#include "common/aErr.h"
#include "updater/firmware/BirdFile.h"
#include "updater/store/KeyValueStore.h"

typedef uint8_t store_item_t;
constexpr store_item_t STORE_ITEM_FILE = 0;
constexpr store_item_t STORE_ITEM_DIRECTORY = 1;
constexpr store_item_t STORE_ITEM_UNSET = 2;

// One entry of the store: a device directory, or a file inside one.
class UpdaterStoreItem {
public:
  UpdaterStoreItem();
  UpdaterStoreItem(const char* base, const char* name, store_item_t type);

  bool IsValid() const;
  // Replaces base/name/fileName whole with these bytes, or leaves it as it was; the
  // errno value of a failure goes to *error when it is given.
  aErr WriteFile(const char* fileName, const uint8_t* data, uint64_t length, int* error = nullptr);
  // Throws std::runtime_error "Invalid bird " + path, or the BirdFile's own.
  BirdFile ReadBirdFile(const char* fileName) const;
  bool FileExists(const char* fileName) const;

  std::string base;
  std::string name;
  store_item_t type = STORE_ITEM_UNSET;
  KeyValueStore attributes;
};

// The build a stored file stands for in the local build list: its name up to its first
// ".bird", or the whole name when it has none.
std::string StoredBuildKey(const std::string& name);

class UpdaterStore {
public:
  // Ensures the base directory; throws std::runtime_error when it cannot be made or a
  // file stands in its place.
  explicit UpdaterStore(const char* base);

  const char* BasePath() const;
  UpdaterStoreItem AddDevice(uint32_t serial);
  UpdaterStoreItem AddDevice(const char* name);
  bool FindDevice(uint32_t serial, UpdaterStoreItem* item) const;
  bool FindDevice(const char* name, UpdaterStoreItem* item) const;
  bool FindLocalBuilds(uint32_t serial, std::vector<UpdaterStoreItem>& items) const;
  // Appends an item for each visible entry of a device's directory (FindLocalBuilds
  // without looking for the device first).
  void ListEntries(const UpdaterStoreItem& device, std::vector<UpdaterStoreItem>& items) const;

  std::string base;
};
