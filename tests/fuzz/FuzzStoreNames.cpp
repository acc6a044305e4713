// libFuzzer target: names in the store directory. The input names the entries of a real
// store (device directories and files at its base, files and directories inside one
// device's directory); the store's searches must find exactly the entries a model of
// the target's own says they match, and the local build list's keys follow the names.
//
// Input: one byte whose bit 0 says whether the device's directory 0000ABCD exists, then
// entries, each a kind byte (bit 0 directory, bit 1 inside the device's directory), a
// length byte and the name (a "/" or NUL in it is dropped).
#include <dirent.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "updater/store/UpdaterStore.h"

namespace {

std::string base;
std::string made;  // the directory this run made, removed when it ends

int removeEntry(const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }

void makeEntry(const std::string& path, bool directory) {
  if (directory) {
    ::mkdir(path.c_str(), 0755);
  } else if (FILE* f = std::fopen(path.c_str(), "w")) {
    std::fclose(f);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // In memory where there is a tmpfs: attribute files are synced as they are written.
  char shm[] = "/dev/shm/fuzz-store-XXXXXX";
  char tmp[] = "/tmp/fuzz-store-XXXXXX";
  const char* dir = mkdtemp(shm);
  if (dir == nullptr) dir = mkdtemp(tmp);
  if (dir == nullptr) std::abort();
  made = dir;
  base = made + "/updater";
  std::atexit([] { nftw(made.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS); });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  nftw(base.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
  if (::mkdir(base.c_str(), 0755) != 0) std::abort();
  if (size == 0) return 0;
  const std::string device = "0000ABCD";
  const std::string deviceDir = base + "/" + device;
  const bool hasDevice = (data[0] & 1) != 0;
  if (hasDevice) makeEntry(deviceDir, true);

  std::map<std::string, bool> atBase, inDevice;  // name -> is a directory
  if (hasDevice) atBase[device] = true;
  size_t at = 1;
  while (at + 2 <= size && atBase.size() + inDevice.size() < 24) {
    const uint8_t kind = data[at];
    const size_t length = data[at + 1] % 64;
    at += 2;
    std::string name;
    for (size_t i = 0; i < length && at < size; i++, at++)
      if (data[at] != '/' && data[at] != 0) name += static_cast<char>(data[at]);
    if (name.empty() || name == "." || name == "..") continue;
    const bool directory = (kind & 1) != 0;
    const bool inside = (kind & 2) != 0 && hasDevice;
    auto& where = inside ? inDevice : atBase;
    if (where.count(name) != 0) continue;
    where[name] = directory;
    makeEntry((inside ? deviceDir : base) + "/" + name, directory);
  }

  UpdaterStore store(base.c_str());
  UpdaterStoreItem item;
  const bool found = store.FindDevice(0xABCD, &item);
  if (found != (atBase.count(device) != 0)) std::abort();
  if (found && (item.name != device || item.base != base || item.type != (atBase[device] ? STORE_ITEM_DIRECTORY : STORE_ITEM_FILE)))
    std::abort();

  // Every base entry is found by its own name exactly, unless the name begins with ".".
  for (const auto& entry : atBase) {
    const bool expected = entry.first[0] != '.';
    if (store.FindDevice(entry.first.c_str(), nullptr) != expected) std::abort();
    if (store.FindDevice((entry.first + "x").c_str(), nullptr) != (atBase.count(entry.first + "x") != 0 && expected))
      std::abort();
  }

  std::vector<UpdaterStoreItem> items;
  store.FindLocalBuilds(0xABCD, items);
  std::set<std::string> listed;
  for (const UpdaterStoreItem& i : items) {
    if (i.base != deviceDir || !listed.insert(i.name).second) std::abort();
    const size_t dot = i.name.find(".bird");
    if (StoredBuildKey(i.name) != (dot == std::string::npos ? i.name : i.name.substr(0, dot))) std::abort();
  }
  std::set<std::string> expected;
  if (found && atBase[device])
    for (const auto& entry : inDevice)
      if (entry.first[0] != '.') expected.insert(entry.first);
  if (listed != expected) std::abort();
  return 0;
}
