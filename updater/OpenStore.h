#pragma once
// Opening the store for one operation: each operation opens its own and ends with its
// failure value when that fails.
#include <memory>
#include <string>

#include "updater/cli/UpdaterDisplayInterface.h"
#include "updater/store/UpdaterStore.h"

namespace updater {

// Empty, after the store's error is shown naming the operation, when the store cannot be
// opened.
std::unique_ptr<UpdaterStore> _createUpdaterStore(UpdaterDisplayInterface& display, const std::string& root,
                                                  const char* operation);

}  // namespace updater
