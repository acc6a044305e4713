#pragma once
// A USB HID device as the kernel's hidraw interface shows it, emulated on umockdev's
// testbed so that an unmodified hidapi (hidraw back end) lists it with hid_enumerate
// and opens it with hid_open, in this process or in a child that inherits the
// emulation.
//
// hidraw's semantics are kept: one write() is one output report (report id first),
// one read() returns one input report (cut to the reader's buffer, the rest dropped),
// poll() is ready only while an input report is queued (the node is a FIFO that holds
// one byte exactly then), and each open() starts with an empty queue. After leave()
// the device is gone: queued reports can still be read, then reads and writes fail
// with ENODEV, as they do on a device that was unplugged.
//
// Each device of the process gets names of its own (USB bus 200 and up, apart from the
// USB emulator's buses; /dev/hidraw0 and up), since a testbed keeps some links of a
// removed device.
//
// The handlers run on umockdev's worker thread and never block; every method is
// thread-safe, except that leave() and the destructor must not be called from the
// output handler (they change the testbed, which that thread serves).
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

typedef struct _UMockdevTestbed UMockdevTestbed;

namespace hidemu {

struct HidSpec {
  uint16_t vendorId = 0;
  uint16_t productId = 0;
  std::string manufacturer = "Emulated";
  std::string product = "HID device";
  std::string serial;                  // may be empty
  std::vector<uint8_t> reportDescriptor;
};

class HidrawDevice {
 public:
  // Device logic: each output report the host writes (report id first).
  using OutputHandler = std::function<void(const uint8_t* report, size_t length)>;

  HidrawDevice(UMockdevTestbed* testbed, const HidSpec& spec, OutputHandler onOutput);
  ~HidrawDevice();
  HidrawDevice(const HidrawDevice&) = delete;
  HidrawDevice& operator=(const HidrawDevice&) = delete;

  // Device -> host: one input report (report id first). Dropped when no one has the
  // node open, as hidraw does.
  void send(const uint8_t* report, size_t length);
  // The device leaves the bus.
  void leave();

  const std::string& node() const;
  // Every output report written, verbatim, oldest first.
  std::vector<std::vector<uint8_t>> outputs() const;
  void clearOutputs();
  unsigned opens() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// A report descriptor for the i.MX serial downloader's reports: vendor page, output
// reports 1 (16 bytes) and 2 (1024 bytes), input reports 3 (4 bytes) and 4 (64 bytes).
std::vector<uint8_t> sdpReportDescriptor();

}  // namespace hidemu
