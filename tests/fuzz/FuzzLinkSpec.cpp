// libFuzzer target: linkSpec records in their 128-byte wire form (the payload link
// servers answer discovery with). Every field the reader takes is checked against the
// bytes, the record must survive writing and reading back unchanged, the test a link
// server's reply passes must take exactly the link-server kinds with a real port and
// address, and a row made of it (with names and numbers from the input) goes through
// the device table's printer.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/discovery/aDiscoveryQuivel.h"
#include "common/aLinkSpecifier.h"
#include "updater/DiscoveredDevices.h"
#include "updater/cli/CLI_Display.h"
#include "updater/cli/Printers.h"

namespace {

uint32_t word(const uint8_t* at) {
  return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 | static_cast<uint32_t>(at[2]) << 16 |
         static_cast<uint32_t>(at[3]) << 24;
}

CLI_Display* display = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The printed table goes nowhere; what matters is that it is made.
  const int null = open("/dev/null", O_WRONLY);
  if (null >= 0) dup2(null, STDOUT_FILENO);
  display = new CLI_Display();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < aLINKSPEC_SIZE) return 0;
  linkSpec spec;
  aLinkSpec_Deserialize(data, &spec);
  if (static_cast<uint32_t>(spec.type) != word(data) || spec.serialNumber != word(data + 4) ||
      spec.module != word(data + 8) || spec.router != word(data + 12) || spec.routerSerialNumber != word(data + 16) ||
      spec.model != word(data + 20))
    std::abort();
  if (spec.type == kLinkTypeUSB && spec.t.usb.serialNumber != word(data + 24)) std::abort();
  if (spec.type == kLinkTypeTCPIP && (std::memcmp(&spec.t.ip.address, data + 24, 4) != 0 || spec.t.ip.port != word(data + 28)))
    std::abort();
  if (spec.type == kLinkTypeSerial) {
    if (spec.t.serial.baudRate != word(data + 24)) std::abort();
    if (std::memcmp(spec.t.serial.portName, data + 28, aLINKSPEC_PORT_NAME_SIZE - 1) != 0) std::abort();
    if (spec.t.serial.portName[aLINKSPEC_PORT_NAME_SIZE - 1] != 0) std::abort();  // always terminated
  }

  uint8_t wire[aLINKSPEC_SIZE];
  aLinkSpec_Serialize(&spec, wire);
  linkSpec again;
  aLinkSpec_Deserialize(wire, &again);
  if (std::memcmp(&spec, &again, sizeof spec) != 0) std::abort();
  // As a link server's discovery reply: the fallback and required addresses from the
  // input's tail, when there is one.
  const uint32_t fallback = size >= aLINKSPEC_SIZE + 4 ? word(data + size - 4) : 0;
  const uint32_t required = size >= aLINKSPEC_SIZE + 8 ? word(data + size - 8) : 0;
  linkSpec server;
  std::memset(&server, 0x5A, sizeof server);
  const bool accepted = aDiscovery_AcceptServerReply(data, fallback, required, &server);
  const bool serverKind = spec.type >= kLinkTypeQuivelUSB && spec.type <= kLinkTypeQuivelSerial;
  uint32_t address = 0;
  std::memcpy(&address, data + 24, 4);
  if (address == 0) address = fallback;
  const uint32_t port = word(data + 28);
  const bool expected = serverKind && port >= 1 && port <= 0xFFFF && address != 0 &&
                        (required == 0 || address == required);
  if (accepted != expected) std::abort();
  if (accepted && (server.type != spec.type || server.t.ip.address != address || server.t.ip.port != port)) std::abort();
  if (!accepted && server.serialNumber != 0x5A5A5A5Au) std::abort();

  linkSpec* copy = aLinkSpec_Copy(&spec);
  if (copy == nullptr || std::memcmp(copy, &spec, sizeof spec) != 0) std::abort();
  aLinkSpec_Destroy(&copy);

  // The row as discovery would list it, the rest of the input for its numbers and names.
  DeviceInfo row;
  row.spec = spec;
  const uint8_t* rest = data + aLINKSPEC_SIZE;
  const size_t left = size - aLINKSPEC_SIZE;
  if (left >= 12) {
    row.build = word(rest);
    row.major = rest[4];
    row.minor = rest[5];
    row.patch = word(rest + 6);
    row.error = static_cast<int32_t>(rest[10]) - 128;
    row.networkAddress = rest[11];
    const std::string names(reinterpret_cast<const char*>(rest + 12), left - 12);
    const size_t cut = names.find('\0');
    row.deviceName = names.substr(0, cut);
    row.modelName = cut == std::string::npos ? std::string() : names.substr(cut + 1);
  }
  std::vector<DeviceInfo> list(2, row);
  for (linkType link : {kLinkTypeNone, kLinkTypeUSB, kLinkTypeTCPIP, spec.type})
    _display_device_list(*display, list, link);

  // The same device twice is one row.
  std::vector<DeviceInfo> rows;
  updater::Collection collection{&rows, 0, false};
  bool found = false;
  updater::_discovered_device(&spec, &found, &collection);
  found = false;
  updater::_discovered_device(&spec, &found, &collection);
  if (found || rows.size() != 1) std::abort();
  return 0;
}
