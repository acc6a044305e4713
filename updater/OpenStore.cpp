#include "updater/OpenStore.h"

#include <stdexcept>
#include <utility>

namespace updater {

RunStore::RunStore(std::string root) : root_(std::move(root)) {}

bool RunStore::open(UpdaterDisplayInterface& display, const char* operation) {
  if (store_) return true;
  try {
    store_ = std::make_unique<UpdaterStore>(root_.c_str());
  } catch (const std::runtime_error& e) {
    display.message(1, "Failed to Create UpdaterStore in: %s - Exception: %s", operation, e.what());
    return false;
  }
  return true;
}

UpdaterStoreItem* RunStore::find(uint32_t serial) {
  auto known = entries_.find(serial);
  if (known != entries_.end()) return &known->second;
  UpdaterStoreItem entry;
  if (!store_ || !store_->FindDevice(serial, &entry)) return nullptr;
  return &entries_.emplace(serial, std::move(entry)).first->second;
}

bool RunStore::find(uint32_t serial, UpdaterStoreItem* copy) {
  const UpdaterStoreItem* entry = find(serial);
  if (entry != nullptr && copy != nullptr) *copy = *entry;
  return entry != nullptr;
}

UpdaterStoreItem& RunStore::add(uint32_t serial) {
  if (UpdaterStoreItem* known = find(serial)) return *known;
  if (!store_) throw std::runtime_error("UpdaterStore: not open");
  return entries_.emplace(serial, store_->AddDevice(serial)).first->second;
}

std::vector<UpdaterStoreItem> RunStore::localBuilds(uint32_t serial) {
  std::vector<UpdaterStoreItem> items;
  if (const UpdaterStoreItem* entry = find(serial)) store_->ListEntries(*entry, items);
  return items;
}

void RunStore::forget(uint32_t serial) { entries_.erase(serial); }

}  // namespace updater
