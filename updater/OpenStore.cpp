#include "updater/OpenStore.h"

#include <stdexcept>

namespace updater {

std::unique_ptr<UpdaterStore> _createUpdaterStore(UpdaterDisplayInterface& display, const std::string& root,
                                                  const char* operation) {
  try {
    return std::make_unique<UpdaterStore>(root.c_str());
  } catch (const std::runtime_error& e) {
    display.message(1, "Failed to Create UpdaterStore in: %s - Exception: %s", operation, e.what());
    return nullptr;
  }
}

}  // namespace updater
