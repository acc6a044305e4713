// The download of a build's BIRD file from the update server into the device's store
// entry. The HTTP request runs on a worker thread while the main thread turns the
// spinner.
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <future>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "updater/BuildNumber.h"
#include "updater/OpenStore.h"
#include "updater/Updater.h"
#include "updater/cli/Log.h"
#include "updater/server/UpdateServerRequest.h"
#include "updater/server/base64.h"
#include "updater/store/KeyValueStore.h"
#include "updater/store/UpdaterStore.h"

namespace updater {
namespace {

bool _valid_build(uint32_t serial, uint32_t build, const char* url) {
  std::map<std::string, std::string> builds;
  if (!UpdateServerRequest::GetBuildList(serial, builds, url)) return false;
  for (const auto& entry : builds) {
    uint32_t listed = 0;
    if (!_to_build_number(entry.first, listed)) {
      Log::log(Log::DEBUG_Updater, "Error: Could not convert %s to int.\n", entry.first.c_str());
      listed = 0;
    }
    if (listed == build) return true;
  }
  return false;
}

}  // namespace
}  // namespace updater

uint32_t Updater::Download_Firmware(uint32_t serial, std::string buildText, bool override, bool noCal) {
  uint32_t build = 0;
  if (!buildText.empty() && !updater::_to_build_number(buildText, build)) {
    display.message(1, "Build number '%s' must be an number", buildText.c_str());
    return 0;
  }
  if (serial == 0) {
    display.message(1, "Serial Number must be non-zero");
    return 0;
  }
  if (!UpdateServerRequest::ping(serverUrl.c_str())) {
    display.message(1, "Server request failed for %s%s", serverUrl.c_str(),
                    UpdateServerRequest::LastFailure().suffix().c_str());
    return 0;
  }
  std::unique_ptr<UpdaterStore> store = updater::_createUpdaterStore(display, storeRoot, "Download_Firmware");
  if (!store) return 0;
  UpdaterStoreItem entry;
  if (!store->FindDevice(serial, &entry)) {
    Log::log(Log::DEBUG_APP, "Could not find device in our update history.\n");
    try {
      entry = store->AddDevice(serial);
    } catch (const std::runtime_error&) {
      display.message(1, "Could not create directory for storing BIRD file");
      return 0;
    }
  }
  std::string latestBuild, version;
  if (!UpdateServerRequest::QueryBuild(serial, latestBuild, version, serverUrl.c_str())) {
    display.message(1, "No build information for device%s", UpdateServerRequest::LastFailure().suffix().c_str());
    return 0;
  }
  if (build == 0 && (!updater::_to_build_number(latestBuild, build) || build == 0)) {
    Log::log(Log::DEBUG_Updater, "Error: Could not convert %s to int.\n", latestBuild.c_str());
    // Not a build number: nothing the server could mean by it may be fetched instead.
    display.message(1, "Bad reply from the update server: build number [%s]", latestBuild.c_str());
    return 0;
  }
  display.message(0, "Retrieving build %u", build);
  if (override) {
    display.message(0, "Override specified, skipping validation of build %u", build);
  } else {
    display.message(0, "Validating build %u with server", build);
    if (!updater::_valid_build(serial, build, serverUrl.c_str())) {
      display.message(1, "No valid build %u%s", build, UpdateServerRequest::LastFailure().suffix().c_str());
      return 0;
    }
    display.message(0, "Build %u is valid", build);
  }

  std::promise<bool> promise;
  std::future<bool> future = promise.get_future();
  std::string reply;
  ServerFailure failure;  // the worker's, read once its promise is kept
  const std::string bld = std::to_string(build);
  std::thread worker([this, &promise, serial, fw = version, bld, &reply, &failure, noCal]() {
    const bool fetched = UpdateServerRequest::GetBuild(serial, fw.c_str(), bld.c_str(), reply, serverUrl.c_str(), noCal);
    failure = UpdateServerRequest::LastFailure();
    promise.set_value(fetched);
  });
  display.update_spinner(true, "Downloading");
  while (future.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready)
    display.update_spinner(true, "Downloading");
  display.update_spinner(false, "Downloading");
  const bool fetched = future.get();
  worker.join();
  if (!fetched) display.message(1, "Download failed%s", failure.suffix().c_str());
  if (reply.empty()) {
    display.message(1, "Failed to retrieve a valid BIRD file");
    return 0;
  }
  size_t length = 0;
  uint8_t* bytes = base64_decode(reply.data(), reply.size(), &length);
  if (bytes == nullptr) {
    display.message(1, "Failed to retrieve a valid BIRD file");
    return 0;
  }
  // Only what loads as a BIRD file may replace a stored build: a truncated transfer or
  // a page of something else would leave the device's latest download unusable.
  if (!BirdFile::VerifyData(bytes, length)) {
    std::free(bytes);
    display.message(1, "Failed to retrieve a valid BIRD file");
    return 0;
  }
  const std::string when = KeyValueStore::CurrentDate();
  const std::string name = bld + ".bird";
  int error = 0;
  const aErr e = entry.WriteFile(name.c_str(), bytes, length, &error);
  std::free(bytes);
  // A file that is not in the store was not downloaded: recording it would point the
  // device's latest download at nothing.
  if (e != aErrNone) {
    display.message(1, "Failed to write file with %d: %s", static_cast<int>(e),
                    error != 0 ? std::strerror(error) : aError_GetErrorText(e));
    return 0;
  }
  entry.attributes.Add("LATEST_DOWNLOAD", name);
  entry.attributes.Add("LAST_DOWNLOAD_DATE", when);
  if (!entry.attributes.Save(nullptr)) {
    display.message(1, "Failed to record the download in %s: %s", entry.attributes.path.c_str(),
                    entry.attributes.SaveFailure().c_str());
    return 0;
  }
  return build;
}

uint32_t Updater::Download_Firmware(Fingerprint fingerprint, std::string buildText, bool override) {
  uint32_t build = 0;
  if (!updater::_to_build_number(buildText, build)) {
    Log::log(Log::DEBUG_Updater, "Error: Could not convert %s to int.\n", buildText.c_str());
    build = 0;
  }
  uint32_t serial = 0, serverBuild = 0;
  if (!UpdateServerRequest::GetRecoveryInfo(fingerprint.words, &serial, &serverBuild, serverUrl.c_str())) {
    display.message(1, "Failed to retrieve recovery information from Quenlark update server");
    return 0;
  }
  if (build == 0) build = serverBuild;
  return Download_Firmware(serial, std::to_string(build), override, false);
}
