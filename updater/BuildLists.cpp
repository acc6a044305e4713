// The build lists of a device: the update server's and the store's.
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "updater/OpenStore.h"
#include "updater/Updater.h"
#include "updater/cli/Log.h"
#include "updater/firmware/BirdFile.h"
#include "updater/server/UpdateServerRequest.h"
#include "updater/store/UpdaterStore.h"

std::map<std::string, std::string> Updater::Get_BuildList(uint32_t serial) {
  std::map<std::string, std::string> builds;
  if (!UpdateServerRequest::ping(serverUrl.c_str())) {
    display.message(1, "Server request failed for %s%s", serverUrl.c_str(),
                    UpdateServerRequest::LastFailure().suffix().c_str());
    return builds;
  }
  if (!UpdateServerRequest::GetBuildList(serial, builds, serverUrl.c_str()))
    display.message(1, "Failed to retrieve builds for %08X%s", serial, UpdateServerRequest::LastFailure().suffix().c_str());
  return builds;
}

std::map<std::string, std::string> Updater::Get_BuildListLocal(uint32_t serial) {
  std::map<std::string, std::string> builds;
  if (!runStore.open(display, "Get_BuildListLocal")) return builds;
  for (const UpdaterStoreItem& item : runStore.localBuilds(serial)) {
    const std::string key = StoredBuildKey(item.name);
    std::string value;
    if (item.IsValid()) {
      const std::string path = item.base + "/" + item.name;
      if (BirdFile::VerifyFile(path.c_str())) {
        // A file with a good header may still fail to load: it is listed without a version.
        try {
          const BirdFile bird(path.c_str());
          const std::string version = bird.GetVersion();
          if (!version.empty()) {
            value = version;
            Log::log(Log::DEBUG_Updater, "Found VERSION in birdfile: %s - Version: \n", path.c_str());
          }
        } catch (const std::runtime_error&) {
          Log::log(Log::DEBUG_Updater, "Could NOT load birdfile: %s\n", path.c_str());
        }
      } else {
        Log::log(Log::DEBUG_Updater, "Could NOT file VERSION in birdfile: %s\n", path.c_str());
      }
    }
    builds.insert(std::make_pair(key, value));
  }
  return builds;
}
