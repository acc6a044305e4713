#pragma once
// The device store of one run: opened once, at the first operation that needs it, and
// each device's entry (its ".settings" read once) shared by every operation of the run,
// so that what one operation records the next one sees without reading it again.
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "updater/cli/UpdaterDisplayInterface.h"
#include "updater/store/UpdaterStore.h"

namespace updater {

class RunStore {
 public:
  explicit RunStore(std::string root);
  RunStore(const RunStore&) = delete;
  RunStore& operator=(const RunStore&) = delete;

  // Opens the store (its base directory made when missing) at the first call. False,
  // after the store's error is shown naming the operation, when it cannot be opened; the
  // next call tries again.
  bool open(UpdaterDisplayInterface& display, const char* operation);

  // After a successful open: the device's entry, or null when the store has none.
  UpdaterStoreItem* find(uint32_t serial);
  // The same, copied into *copy (left as it is when there is none): for a reader.
  bool find(uint32_t serial, UpdaterStoreItem* copy);
  // After a successful open: the device's entry, made when missing; throws
  // std::runtime_error as UpdaterStore::AddDevice does.
  UpdaterStoreItem& add(uint32_t serial);
  // After a successful open: the visible entries of the device's directory (none
  // without one).
  std::vector<UpdaterStoreItem> localBuilds(uint32_t serial);
  // Drops the entry, so that the next use reads it again: for one whose attribute file
  // could not be saved (memory must not hold what the file lacks).
  void forget(uint32_t serial);

 private:
  std::string root_;
  std::unique_ptr<UpdaterStore> store_;
  std::map<uint32_t, UpdaterStoreItem> entries_;
};

}  // namespace updater
