// The kernel driver road: when the node "/dev/tallowick.%08X" exists, the USB stream
// moves link bytes through it and leaves libusb alone.
#include <poll.h>
#include <unistd.h>

#include <chrono>

#include "common/transport/aUSBStream.h"
#include "common/unix/aUSB.h"
#include "tests/usb/UsbFixture.h"

using namespace usbemu;

namespace {

using UsbKernelNode = UsbTest;

std::string readSome(int fd, size_t wanted, int timeoutMs) {
  std::string got;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (got.size() < wanted && std::chrono::steady_clock::now() < deadline) {
    pollfd waiter = {fd, POLLIN, 0};
    if (poll(&waiter, 1, 50) <= 0) continue;
    char buffer[64];
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0) got.append(buffer, static_cast<size_t>(n));
  }
  return got;
}

TEST_F(UsbKernelNode, StreamUsesTheNodeAndMakesNoLibusbTransfer) {
  // The same module is on the bus as well: the node must win.
  Device& emulated = bus->add(withSerial("00ABCDEF"));
  int node = bus->addKernelNode(0x00ABCDEF);
  ASSERT_GE(node, 0);
  EXPECT_TRUE(twusb_is_kernel_driver_installed(0x00ABCDEF));
  EXPECT_FALSE(twusb_is_kernel_driver_installed(0x00ABCDEE));

  aStream* stream = nullptr;
  ASSERT_EQ(aStream_CreateUSB(0x00ABCDEF, &stream), aErrNone);
  auto* record = static_cast<aUSBStreamRecord*>(stream->reference);
  EXPECT_EQ(record->device->useLibusb, 0u);
  EXPECT_GE(record->device->fd, 0);

  EXPECT_EQ(aStream_Write(stream, "\xAD\x00", 2), aErrNone);
  EXPECT_EQ(aStream_Write(stream, "Z", 1), aErrNone);
  EXPECT_EQ(readSome(node, 3, 2000), std::string("\xAD\x00Z", 3));

  ASSERT_EQ(write(node, "\x04\x00", 2), 2);
  uint8_t in[2] = {0xFF, 0xFF};
  EXPECT_EQ(aStream_Read(stream, in, 2), aErrNone);
  EXPECT_EQ(in[0], 0x04);
  EXPECT_EQ(in[1], 0x00);

  EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
  Counters counters = emulated.counters();
  EXPECT_EQ(counters.controlUrbs, 0u);
  EXPECT_EQ(counters.bulkInUrbs, 0u);
  EXPECT_EQ(counters.bulkOutUrbs, 0u);
  EXPECT_EQ(counters.claims, 0u);
}

TEST_F(UsbKernelNode, AnIdleNodeReadReturnsNotReadyInBoundedTime) {
  int node = bus->addKernelNode(0x00ABCDEF);
  ASSERT_GE(node, 0);
  twusb_device* device = twusb_create_usb(0);
  ASSERT_EQ(twusb_open_tallowick_device(device, "00ABCDEF"), aErrNone);
  EXPECT_EQ(device->state.load(), kTwusbCreated);  // the kernel road keeps state 1

  // A link's reader must get control back to notice a stop.
  uint8_t byte = 0;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(twusb_get_from_device(device, &byte), aErrNotReady);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(TWUSB_READ_TIMEOUT_MS + 1500));

  ASSERT_EQ(write(node, "q", 1), 1);
  EXPECT_EQ(twusb_get_from_device(device, &byte), aErrNone);
  EXPECT_EQ(byte, 'q');

  EXPECT_EQ(twusb_close_tallowick_device(device), aErrNone);
  EXPECT_EQ(device->fd, -1);
  EXPECT_EQ(device->state.load(), kTwusbClosed);
  EXPECT_EQ(twusb_get_from_device(device, &byte), aErrMode);
  EXPECT_EQ(twusb_close_tallowick_device(device), aErrNone);
  twusb_destroy(&device);
}

TEST_F(UsbKernelNode, MissingNodeOrPathLikeSerialTextIsRefused) {
  twusb_device* device = twusb_create_usb(0);
  EXPECT_EQ(twusb_open_tallowick_device(device, "00ABCDEF"), aErrIO);
  EXPECT_EQ(twusb_open_tallowick_device(device, "../../etc/passwd"), aErrParam);
  EXPECT_EQ(device->fd, -1);
  twusb_destroy(&device);
}

}  // namespace
