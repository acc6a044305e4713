#pragma once
// The firmware operations of the updater. main builds one per run, once the store
// directory exists, and calls one or two operations on it. Each operation is
// self-contained and reports through the display.
//
// IsAvailable tells main which operations this build carries; one it does not carry is
// reported by ReportUnavailable and counts as failed. (Every operation is carried now;
// the i.MX road of fingerprint and recovery refuses on its own, see updater/recovery.)
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "common/aLinkSpecifier.h"
#include "updater/firmware/BirdFile.h"
#include "updater/DeviceInfo.h"
#include "updater/Fingerprint.h"
#include "updater/cli/UpdaterDisplayInterface.h"

class Updater {
public:
  static constexpr uint32_t PLACEHOLDER_SERIAL = 0xDEADDEAD;
  static constexpr int CONNECT_ATTEMPTS = 15;
  static constexpr int BLOCK_RETRIES = 5;
  static constexpr uint8_t CHIP_FAMILY_IMX = 1;
  static constexpr uint8_t CHIP_FAMILY_LPC = 2;

  enum class Operation { Update, Download, Discovery, BuildList, LocalBuildList, Fingerprint, Recovery };

  Updater(const char* serverUrl, const char* storeRoot, UpdaterDisplayInterface& display);
  ~Updater() = default;
  Updater(const Updater&) = delete;
  Updater& operator=(const Updater&) = delete;

  static bool IsAvailable(Operation operation);
  // Shows that the operation is not part of this build.
  void ReportUnavailable(Operation operation);

  void Set_UEIBytes_Load(bool load) { ueiBytesLoad = load; }

  bool Update_Firmware(uint32_t serial, uint32_t build, std::string birdPath, uint8_t moduleAddress,
                       uint32_t routerSerial, bool override);
  // The build number fetched, 0 on failure.
  uint32_t Download_Firmware(uint32_t serial, std::string build, bool override, bool noCal);
  uint32_t Download_Firmware(Fingerprint fingerprint, std::string build, bool override);
  // link 0: USB then TCP/IP.
  std::vector<DeviceInfo> Discover_Devices(linkType link);
  // The devices behind a router module; link 0 finds the router's link first.
  std::vector<DeviceInfo> Discover_TWNetwork_Devices(uint32_t routerSerial, linkType link);
  std::map<std::string, std::string> Get_BuildList(uint32_t serial);
  std::map<std::string, std::string> Get_BuildListLocal(uint32_t serial);
  bool Get_Fingerprint(Fingerprint& fingerprint, std::string serialPort, uint32_t serial, std::string birdPath,
                       uint32_t baud, bool reset);
  bool Recover_Firmware(std::string serialPort, uint32_t build, uint32_t baud, uint32_t serial,
                        std::string birdPath, bool override);

  // The BIRD file of an operation: the path when given, else the build from the store
  // (downloaded first when missing and download is set). Throws std::runtime_error.
  BirdFile load_bird(const char* verb, std::string birdPath, uint32_t serial, uint32_t build, bool download);

  const std::string& GetServerUrl() const { return serverUrl; }
  const std::string& GetStoreRoot() const { return storeRoot; }

private:
  std::string serverUrl;
  std::string storeRoot;
  UpdaterDisplayInterface& display;
  bool ueiBytesLoad = false;
};
