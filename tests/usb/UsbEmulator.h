#pragma once
// Emulated USB devices for the real libusb: umockdev testbed entries (sysfs record and
// descriptors) whose usbfs device nodes answer the requests libusb's Linux back end
// makes (capabilities, claim and release, submit, reap and discard of control and bulk
// URBs). A test process must run with umockdev's preload library (see
// run-under-umockdev.sh); create the Bus before the first libusb context is made.
//
// Handlers run on umockdev's worker thread and never block. Every method here is
// thread-safe.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/aVendor.h"  // kTallowickUSBVendorId

typedef struct _UMockdevTestbed UMockdevTestbed;

namespace usbemu {

// The family's vendor-specific data interface as a device describes it. Spelled here
// instead of taken from the product's common/aVendor.h, so that a typo there fails
// the tests instead of passing on both sides (the vendor id is shared).
constexpr uint8_t kDataInterfaceClass = 0xFF;
constexpr uint8_t kDataInterfaceSubClass = 0x88;
constexpr uint8_t kDataInterfaceProtocol = 0x10;

struct EndpointSpec {
  uint8_t address;            // bit 7 set: IN
  uint8_t attributes = 0x02;  // 0x02 bulk, 0x03 interrupt
  uint16_t maxPacketSize = 64;
};

struct DeviceSpec {
  uint16_t vendorId = kTallowickUSBVendorId;
  uint16_t productId = 0x0013;
  std::string serial = "1234ABCD";   // the serial-number string descriptor
  uint8_t interfaceClass = kDataInterfaceClass;
  uint8_t interfaceSubClass = kDataInterfaceSubClass;
  uint8_t interfaceProtocol = kDataInterfaceProtocol;
  uint8_t interfaceNumber = 0;       // non-zero: an unrelated interface 0 comes first
  std::vector<EndpointSpec> endpoints = {{0x81, 0x02, 64}, {0x01, 0x02, 64}};
};

struct Counters {
  unsigned bulkOutUrbs = 0;      // submitted, failed ones included
  unsigned bulkInUrbs = 0;
  unsigned controlUrbs = 0;
  unsigned claims = 0;
  unsigned releases = 0;
  unsigned clearHalts = 0;
  unsigned reaps = 0;
  std::vector<uint8_t> clearedEndpoints;
  std::vector<size_t> outChunks; // lengths of the OUT URBs that completed
};

class Bus;

class Device {
 public:
  // Host -> device bytes of each completed OUT URB, on umockdev's worker thread.
  using OutHandler = std::function<void(const uint8_t* data, size_t length)>;

  const DeviceSpec& spec() const { return spec_; }
  const std::string& devnode() const { return devnode_; }

  void setOutHandler(OutHandler handler);
  // Device -> host: queued for the IN endpoint. A call's bytes may be split over reads,
  // never merged with a later call's when a read is pending (one URB per call at most).
  void send(const void* data, size_t length);
  // Device -> host as full packets with no end: the bytes sit in the waiting IN URB
  // (there must be one), which does not complete; the host's time-out gets them.
  bool sendUnended(const void* data, size_t length);

  // Fault injection: each later OUT (or IN) URB takes the next status of the script:
  // 0 completes it as usual, -EPIPE is a stall, -EPROTO an IO error, -ENODEV a device
  // gone. An OUT URB held while holdOut is set never completes (the host times out).
  void scriptOut(std::vector<int> statuses);
  void scriptIn(std::vector<int> statuses);
  void failOut(int status, unsigned count = 1) { scriptOut(std::vector<int>(count, status)); }
  void failIn(int status, unsigned count = 1) { scriptIn(std::vector<int>(count, status)); }
  void holdOut(bool hold);
  void failClearHalt(bool fail);
  // The device stops answering: every pending and later URB fails with -ENODEV.
  void unplug();

  Counters counters() const;
  void resetCounters();

  ~Device();

 private:
  friend class Bus;
  struct Impl;
  Device(Bus& bus, const DeviceSpec& spec, unsigned busNumber);
  DeviceSpec spec_;
  std::string devnode_;
  std::string syspath_;
  std::unique_ptr<Impl> impl_;
};

class Bus {
 public:
  Bus();
  ~Bus();
  Bus(const Bus&) = delete;
  Bus& operator=(const Bus&) = delete;

  // Attaches a device on a bus of its own. The Bus owns it.
  Device& add(const DeviceSpec& spec);
  // Detaches it (the device leaves); references to it become invalid.
  void remove(Device& device);

  // Adds the family's kernel driver node for that serial number and returns the
  // emulator's side of it (a pty master in raw mode), or -1. The node is closed with
  // the Bus.
  int addKernelNode(uint32_t serialNumber);

  UMockdevTestbed* testbed() { return testbed_; }

 private:
  UMockdevTestbed* testbed_ = nullptr;
  std::mutex mutex_;
  std::vector<std::unique_ptr<Device>> devices_;
  unsigned nextBus_ = 1;
};

// True when the process runs with umockdev's preload library.
bool inMockEnvironment();

// For a GoogleTest test (its SetUp or body) that needs the emulation: a fatal failure when
// the preload library is missing. Such a test never skips for the want of it.
#define USBEMU_REQUIRE_PRELOAD()                  \
  ASSERT_TRUE(::usbemu::inMockEnvironment())      \
      << "not running under umockdev's preload library (tests/usb/run-under-umockdev.sh)"

}  // namespace usbemu
