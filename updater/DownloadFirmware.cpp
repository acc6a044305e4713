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

// The build asked for (0: the server's latest) from its text; the device and the server
// checked. False after the error is shown.
bool _check_download(UpdaterDisplayInterface& display, const std::string& buildText, uint32_t serial,
                     const std::string& serverUrl, uint32_t& build) {
  build = 0;
  if (!buildText.empty() && !_to_build_number(buildText, build)) {
    display.message(1, "Build number '%s' must be an number", buildText.c_str());
    return false;
  }
  if (serial == 0) {
    display.message(1, "Serial Number must be non-zero");
    return false;
  }
  if (!UpdateServerRequest::ping(serverUrl.c_str())) {
    display.message(1, "Server request failed for %s%s", serverUrl.c_str(),
                    UpdateServerRequest::LastFailure().suffix().c_str());
    return false;
  }
  return true;
}

// The device's entry in the store, made when it has none. Null after the error is shown.
UpdaterStoreItem* _download_entry(UpdaterDisplayInterface& display, RunStore& store, uint32_t serial) {
  if (!store.open(display, "Download_Firmware")) return nullptr;
  UpdaterStoreItem* entry = store.find(serial);
  if (entry != nullptr) return entry;
  Log::log(Log::DEBUG_APP, "Could not find device in our update history.\n");
  try {
    return &store.add(serial);
  } catch (const std::runtime_error&) {
    display.message(1, "Could not create directory for storing BIRD file");
    return nullptr;
  }
}

// The build to fetch (the one asked for, else the server's latest) and the version the
// server names for the device. 0 after the error is shown.
uint32_t _download_build(UpdaterDisplayInterface& display, uint32_t serial, uint32_t build,
                         const std::string& serverUrl, std::string& version) {
  std::string latestBuild;
  if (!UpdateServerRequest::QueryBuild(serial, latestBuild, version, serverUrl.c_str())) {
    display.message(1, "No build information for device%s", UpdateServerRequest::LastFailure().suffix().c_str());
    return 0;
  }
  if (build == 0 && (!_to_build_number(latestBuild, build) || build == 0)) {
    Log::log(Log::DEBUG_Updater, "Error: Could not convert %s to int.\n", latestBuild.c_str());
    // Not a build number: nothing the server could mean by it may be fetched instead.
    display.message(1, "Bad reply from the update server: build number [%s]", latestBuild.c_str());
    return 0;
  }
  display.message(0, "Retrieving build %u", build);
  return build;
}

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

// The server lists the build for the device, unless override skips the question. False
// after the error is shown.
bool _confirm_build(UpdaterDisplayInterface& display, uint32_t serial, uint32_t build, bool override,
                    const std::string& serverUrl) {
  if (override) {
    display.message(0, "Override specified, skipping validation of build %u", build);
    return true;
  }
  display.message(0, "Validating build %u with server", build);
  if (!_valid_build(serial, build, serverUrl.c_str())) {
    display.message(1, "No valid build %u%s", build, UpdateServerRequest::LastFailure().suffix().c_str());
    return false;
  }
  display.message(0, "Build %u is valid", build);
  return true;
}

// The server's reply for the build, fetched on a worker thread while the spinner turns;
// a failed request is shown (its reply may still hold something).
std::string _fetch_build(UpdaterDisplayInterface& display, uint32_t serial, const std::string& version,
                         uint32_t build, const std::string& serverUrl, bool noCal) {
  std::promise<bool> promise;
  std::future<bool> future = promise.get_future();
  std::string reply;
  ServerFailure failure;  // the worker's, read once its promise is kept
  const std::string bld = std::to_string(build);
  std::thread worker([&promise, serial, &version, bld, &reply, &failure, &serverUrl, noCal]() {
    const bool fetched =
        UpdateServerRequest::GetBuild(serial, version.c_str(), bld.c_str(), reply, serverUrl.c_str(), noCal);
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
  return reply;
}

struct FreeBytes {
  void operator()(uint8_t* bytes) const { std::free(bytes); }
};
using DecodedBytes = std::unique_ptr<uint8_t, FreeBytes>;

// The BIRD file in the reply: decoded, and loadable whole. Null after the error is shown.
DecodedBytes _decode_build(UpdaterDisplayInterface& display, const std::string& reply, size_t& length) {
  DecodedBytes bytes;
  length = 0;
  if (!reply.empty()) bytes.reset(base64_decode(reply.data(), reply.size(), &length));
  // Only what loads as a BIRD file may replace a stored build: a truncated transfer or
  // a page of something else would leave the device's latest download unusable.
  if (bytes && !BirdFile::VerifyData(bytes.get(), length)) bytes.reset();
  if (!bytes) display.message(1, "Failed to retrieve a valid BIRD file");
  return bytes;
}

// Writes the build into the device's entry and records it as the latest download, on
// the date the download ended. False after the error is shown.
bool _store_download(UpdaterDisplayInterface& display, RunStore& store, uint32_t serial, UpdaterStoreItem& entry,
                     uint32_t build, const uint8_t* bytes, size_t length) {
  const std::string when = KeyValueStore::CurrentDate();
  const std::string name = _bird_name(build);
  int error = 0;
  const aErr e = entry.WriteFile(name.c_str(), bytes, length, &error);
  // A file that is not in the store was not downloaded: recording it would point the
  // device's latest download at nothing.
  if (e != aErrNone) {
    display.message(1, "Failed to write file with %d: %s", static_cast<int>(e),
                    error != 0 ? std::strerror(error) : aError_GetErrorText(e));
    return false;
  }
  entry.attributes.Add("LATEST_DOWNLOAD", name);
  entry.attributes.Add("LAST_DOWNLOAD_DATE", when);
  if (!entry.attributes.Save(nullptr)) {
    display.message(1, "Failed to record the download in %s: %s", entry.attributes.path.c_str(),
                    entry.attributes.SaveFailure().c_str());
    store.forget(serial);
    return false;
  }
  return true;
}

}  // namespace
}  // namespace updater

uint32_t Updater::Download_Firmware(uint32_t serial, std::string buildText, bool override, bool noCal) {
  uint32_t build = 0;
  if (!updater::_check_download(display, buildText, serial, serverUrl, build)) return 0;
  UpdaterStoreItem* entry = updater::_download_entry(display, runStore, serial);
  if (entry == nullptr) return 0;
  std::string version;
  build = updater::_download_build(display, serial, build, serverUrl, version);
  if (build == 0 || !updater::_confirm_build(display, serial, build, override, serverUrl)) return 0;
  const std::string reply = updater::_fetch_build(display, serial, version, build, serverUrl, noCal);
  size_t length = 0;
  const updater::DecodedBytes bytes = updater::_decode_build(display, reply, length);
  if (!bytes) return 0;
  return updater::_store_download(display, runStore, serial, *entry, build, bytes.get(), length) ? build : 0;
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
