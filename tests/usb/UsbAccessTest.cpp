// The USB access layer against the real libusb, with the devices emulated.
#include <errno.h>

#include <chrono>
#include <numeric>

#include "common/unix/aUSB.h"
#include "tests/usb/UsbFixture.h"

using namespace usbemu;

namespace {

class UsbAccess : public UsbTest {
 protected:
  void TearDown() override {
    if (device != nullptr) {
      if (device->handle != nullptr) twusb_close_tallowick_device(device);
      twusb_destroy(&device);
    }
    UsbTest::TearDown();
  }

  aErr open(const char* serialText) {
    if (device == nullptr) device = twusb_create_usb(1);
    return twusb_open_tallowick_device(device, serialText);
  }

  std::vector<uint8_t> pattern(size_t length) {
    std::vector<uint8_t> data(length);
    for (size_t i = 0; i < length; ++i) data[i] = static_cast<uint8_t>(i * 7 + 3);
    return data;
  }

  twusb_device* device = nullptr;
};

TEST_F(UsbAccess, OpensOnlyTheDeviceWhoseSerialTextMatchesExactly) {
  Device& lower = bus->add(withSerial("1234abcd"));
  Device& other = bus->add(withSerial("CAFE0001"));
  Device& upper = bus->add(withSerial("1234ABCD"));
  ASSERT_EQ(open("1234ABCD"), aErrNone);
  EXPECT_EQ(device->state.load(), kTwusbReady);
  EXPECT_STREQ(device->serialText, "1234ABCD");
  EXPECT_EQ(upper.counters().claims, 1u);
  EXPECT_EQ(lower.counters().claims, 0u);
  EXPECT_EQ(other.counters().claims, 0u);
}

TEST_F(UsbAccess, NoMatchLeavesTheRecordCreated) {
  bus->add(withSerial("1234abcd"));
  EXPECT_EQ(open("1234ABCD"), aErrNotFound);
  EXPECT_EQ(device->state.load(), kTwusbCreated);
  EXPECT_EQ(device->handle, nullptr);
}

TEST_F(UsbAccess, OnlyTheFamilyVendorWithAProductIdBelow0x8000IsOpened) {
  Device& high = bus->add(withSerial("11112222", 0x8000));
  DeviceSpec foreign = withSerial("33334444");
  foreign.vendorId = static_cast<uint16_t>(kTallowickUSBVendorId + 1);
  Device& stranger = bus->add(foreign);
  Device& top = bus->add(withSerial("55556666", 0x7FFF));

  EXPECT_EQ(open("11112222"), aErrNotFound);
  EXPECT_EQ(open("33334444"), aErrNotFound);
  // Never opened: no string descriptor was ever asked of them.
  EXPECT_EQ(high.counters().controlUrbs, 0u);
  EXPECT_EQ(stranger.counters().controlUrbs, 0u);
  EXPECT_EQ(open("55556666"), aErrNone);
  EXPECT_EQ(top.counters().claims, 1u);
}

struct InterfaceCase {
  const char* name;
  uint8_t cls, sub, proto, number;
  std::vector<EndpointSpec> endpoints;
  aErr expected;
  uint8_t in, out;
};

TEST_F(UsbAccess, FindsTheDataInterfaceAndItsEndpoints) {
  const std::vector<InterfaceCase> cases = {
      {"data interface", 0xFF, 0x88, 0x10, 0, {{0x81, 2, 64}, {0x01, 2, 64}}, aErrNone, 0x81, 0x01},
      {"second interface", 0xFF, 0x88, 0x10, 1, {{0x82, 2, 512}, {0x02, 2, 512}}, aErrNone, 0x82, 0x02},
      {"interrupt endpoints", 0xFF, 0x88, 0x10, 0, {{0x83, 3, 64}, {0x04, 3, 64}}, aErrNone, 0x83, 0x04},
      {"wrong class", 0xFE, 0x88, 0x10, 0, {{0x81, 2, 64}, {0x01, 2, 64}}, aErrConfiguration, 0, 0},
      {"wrong subclass", 0xFF, 0x87, 0x10, 0, {{0x81, 2, 64}, {0x01, 2, 64}}, aErrConfiguration, 0, 0},
      {"wrong protocol", 0xFF, 0x88, 0x11, 0, {{0x81, 2, 64}, {0x01, 2, 64}}, aErrConfiguration, 0, 0},
      {"no OUT endpoint", 0xFF, 0x88, 0x10, 0, {{0x81, 2, 64}}, aErrConfiguration, 0, 0},
      {"isochronous OUT", 0xFF, 0x88, 0x10, 0, {{0x81, 2, 64}, {0x01, 1, 64}}, aErrConfiguration, 0, 0},
  };
  uint32_t serial = 0xA0000000;
  for (const InterfaceCase& c : cases) {
    SCOPED_TRACE(c.name);
    char text[16];
    std::snprintf(text, sizeof text, "%08X", ++serial);
    DeviceSpec spec = withSerial(text);
    spec.interfaceClass = c.cls;
    spec.interfaceSubClass = c.sub;
    spec.interfaceProtocol = c.proto;
    spec.interfaceNumber = c.number;
    spec.endpoints = c.endpoints;
    Device& emulated = bus->add(spec);
    twusb_device* record = twusb_create_usb(1);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(twusb_open_tallowick_device(record, text), c.expected);
    if (c.expected == aErrNone) {
      EXPECT_EQ(record->state.load(), kTwusbReady);
      EXPECT_EQ(record->interfaceNumber, c.number);
      EXPECT_EQ(record->inEndpoint, c.in);
      EXPECT_EQ(record->outEndpoint, c.out);
      EXPECT_EQ(emulated.counters().claims, 1u);
      EXPECT_EQ(twusb_close_tallowick_device(record), aErrNone);
      EXPECT_EQ(emulated.counters().releases, 1u);
    } else {
      EXPECT_EQ(record->state.load(), kTwusbClosed);
      EXPECT_EQ(record->handle, nullptr);
    }
    twusb_destroy(&record);
  }
}

struct ChunkCase {
  uint16_t maxPacket;
  size_t length;
  std::vector<size_t> chunks;
};

TEST_F(UsbAccess, WritesGoOutInChunksOfAtMostOnePacket) {
  const std::vector<ChunkCase> cases = {
      {512, 1000, {511, 489}},
      {512, 1024, {511, 511, 2}},
      {512, 512, {511, 1}},
      {64, 130, {64, 64, 2}},
      {64, 1, {1}},
      // A device that reports a size of 0 still gets its bytes, in 64-byte packets.
      {0, 130, {64, 64, 2}},
  };
  uint32_t serial = 0xB0000000;
  for (const ChunkCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "max packet " << c.maxPacket << ", " << c.length << " bytes");
    char text[16];
    std::snprintf(text, sizeof text, "%08X", ++serial);
    DeviceSpec spec = withSerial(text);
    spec.endpoints = {{0x81, 2, c.maxPacket}, {0x01, 2, c.maxPacket}};
    Device& emulated = bus->add(spec);
    OutRecorder recorder;
    recorder.attach(emulated);
    twusb_device* record = twusb_create_usb(1);
    ASSERT_EQ(twusb_open_tallowick_device(record, text), aErrNone);
    std::vector<uint8_t> data = pattern(c.length);
    EXPECT_EQ(twusb_write_to_device(record, data.data(), data.size()), aErrNone);
    EXPECT_EQ(emulated.counters().outChunks, c.chunks);
    EXPECT_EQ(recorder.bytes(), data);
    twusb_close_tallowick_device(record);
    twusb_destroy(&record);
  }
}

TEST_F(UsbAccess, TenFailedTransfersInAWriteGiveWriteError) {
  DeviceSpec spec = withSerial("0000BEEF");
  Device& emulated = bus->add(spec);
  ASSERT_EQ(open("0000BEEF"), aErrNone);
  std::vector<uint8_t> data = pattern(64 * 12);

  // Not in a row: every other transfer fails.
  std::vector<int> script;
  for (int i = 0; i < 10; ++i) script.insert(script.end(), {-EPROTO, 0});
  emulated.scriptOut(script);
  EXPECT_EQ(twusb_write_to_device(device, data.data(), data.size()), aErrWrite);
  EXPECT_EQ(emulated.counters().bulkOutUrbs, 19u);  // the 10th failure ends the call

  // In a row.
  emulated.resetCounters();
  emulated.failOut(-EPROTO, 10);
  EXPECT_EQ(twusb_write_to_device(device, data.data(), 64), aErrWrite);
  EXPECT_EQ(emulated.counters().bulkOutUrbs, 10u);
  // aErrWrite is not an IO error: the device stays usable.
  EXPECT_EQ(device->state.load(), kTwusbReady);
  EXPECT_EQ(twusb_write_to_device(device, data.data(), 64), aErrNone);
}

TEST_F(UsbAccess, StalledWriteClearsTheHaltAndResendsTheSameChunk) {
  Device& emulated = bus->add(withSerial("0000BEEF"));
  OutRecorder recorder;
  recorder.attach(emulated);
  ASSERT_EQ(open("0000BEEF"), aErrNone);
  std::vector<uint8_t> data = pattern(150);
  emulated.scriptOut({0, -EPIPE});
  EXPECT_EQ(twusb_write_to_device(device, data.data(), data.size()), aErrNone);
  Counters counters = emulated.counters();
  EXPECT_EQ(counters.clearedEndpoints, std::vector<uint8_t>{0x01});
  EXPECT_EQ(counters.outChunks, (std::vector<size_t>{64, 64, 22}));
  EXPECT_EQ(recorder.bytes(), data);
}

TEST_F(UsbAccess, FailedHaltClearingIsAnIOErrorThatTheToleranceHidesFourTimes) {
  Device& emulated = bus->add(withSerial("0000BEEF"));
  OutRecorder recorder;
  recorder.attach(emulated);
  ASSERT_EQ(open("0000BEEF"), aErrNone);
  emulated.failClearHalt(true);
  std::vector<uint8_t> data = pattern(10);
  for (int i = 1; i <= 4; ++i) {
    SCOPED_TRACE(i);
    emulated.scriptOut({-EPIPE});
    EXPECT_EQ(twusb_write_to_device(device, data.data(), data.size()), aErrNone);
    EXPECT_EQ(device->state.load(), kTwusbReady);
  }
  emulated.scriptOut({-EPIPE});
  EXPECT_EQ(twusb_write_to_device(device, data.data(), data.size()), aErrIO);
  EXPECT_EQ(device->state.load(), kTwusbErrorLimit);
  // Every write still delivered its bytes: only the halt clearing failed.
  EXPECT_EQ(recorder.bytes().size(), 5 * data.size());

  // In the error state no transfer is made.
  unsigned before = emulated.counters().bulkOutUrbs;
  uint8_t byte = 0;
  EXPECT_EQ(twusb_write_to_device(device, data.data(), data.size()), aErrIO);
  EXPECT_EQ(twusb_get_from_device(device, &byte), aErrIO);
  EXPECT_EQ(emulated.counters().bulkOutUrbs, before);
  EXPECT_EQ(emulated.counters().bulkInUrbs, 0u);

  // Closing and opening again recovers.
  EXPECT_EQ(twusb_close_tallowick_device(device), aErrNone);
  ASSERT_EQ(open("0000BEEF"), aErrNone);
  EXPECT_EQ(twusb_write_to_device(device, data.data(), data.size()), aErrNone);
}

TEST_F(UsbAccess, ReadsAreBufferedAndATimeOutIsNotAnError) {
  Device& emulated = bus->add(withSerial("0000BEEF"));
  ASSERT_EQ(open("0000BEEF"), aErrNone);
  emulated.send("abc", 3);
  uint8_t byte = 0;
  for (char expected : std::string("abc")) {
    ASSERT_EQ(twusb_get_from_device(device, &byte), aErrNone);
    EXPECT_EQ(byte, static_cast<uint8_t>(expected));
  }
  EXPECT_EQ(emulated.counters().bulkInUrbs, 1u);

  // The buffer is empty: a new transfer, which times out with nothing.
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(twusb_get_from_device(device, &byte), aErrNotReady);
  auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(TWUSB_READ_TIMEOUT_MS - 100));
  EXPECT_EQ(emulated.counters().bulkInUrbs, 2u);
  EXPECT_EQ(device->ioErrorCount, 0);

  // Data that arrives during a wait is handed out at once.
  std::thread later([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    emulated.send("z", 1);
  });
  EXPECT_EQ(twusb_get_from_device(device, &byte), aErrNone);
  EXPECT_EQ(byte, 'z');
  later.join();
}

TEST_F(UsbAccess, BytesThatArriveBeforeAReadTimesOutAreKept) {
  Device& emulated = bus->add(withSerial("0000BEEF"));
  ASSERT_EQ(open("0000BEEF"), aErrNone);
  uint8_t byte = 0;
  std::thread feeder([&] {
    // Three bytes reach the waiting transfer, which never ends: it times out holding them.
    EXPECT_TRUE(eventually([&] { return emulated.sendUnended("xyz", 3); }));
  });
  ASSERT_EQ(twusb_get_from_device(this->device, &byte), aErrNone);
  feeder.join();
  EXPECT_EQ(byte, 'x');
  for (char expected : std::string("yz")) {
    ASSERT_EQ(twusb_get_from_device(this->device, &byte), aErrNone);
    EXPECT_EQ(byte, static_cast<uint8_t>(expected));
  }
  EXPECT_EQ(emulated.counters().bulkInUrbs, 1u);
  emulated.send("!", 1);
  ASSERT_EQ(twusb_get_from_device(this->device, &byte), aErrNone);
  EXPECT_EQ(byte, '!');
  EXPECT_EQ(emulated.counters().bulkInUrbs, 2u);
}

TEST_F(UsbAccess, ReadIOErrorsAreHiddenFourTimesInARow) {
  Device& emulated = bus->add(withSerial("0000BEEF"));
  ASSERT_EQ(open("0000BEEF"), aErrNone);
  uint8_t byte = 0;

  // Four failures, a success, four more: the count starts again after the success.
  emulated.scriptIn({-EPROTO, -EPROTO, -EPROTO, -EPROTO, 0, -EPROTO, -EPROTO, -EPROTO, -EPROTO});
  for (int i = 0; i < 4; ++i) EXPECT_EQ(twusb_get_from_device(device, &byte), aErrNotReady) << i;
  emulated.send("k", 1);
  EXPECT_EQ(twusb_get_from_device(device, &byte), aErrNone);
  EXPECT_EQ(byte, 'k');
  for (int i = 0; i < 4; ++i) EXPECT_EQ(twusb_get_from_device(device, &byte), aErrNotReady) << i;
  EXPECT_EQ(device->state.load(), kTwusbReady);

  emulated.scriptIn({-EPROTO});
  EXPECT_EQ(twusb_get_from_device(device, &byte), aErrIO);
  EXPECT_EQ(device->state.load(), kTwusbErrorLimit);
  unsigned transfers = emulated.counters().bulkInUrbs;
  EXPECT_EQ(twusb_get_from_device(device, &byte), aErrIO);
  EXPECT_EQ(emulated.counters().bulkInUrbs, transfers);
}

TEST_F(UsbAccess, StalledReadClearsTheINHalt) {
  Device& emulated = bus->add(withSerial("0000BEEF"));
  ASSERT_EQ(open("0000BEEF"), aErrNone);
  uint8_t byte = 0;
  emulated.scriptIn({-EPIPE});
  EXPECT_EQ(twusb_get_from_device(device, &byte), aErrNotReady);
  EXPECT_EQ(emulated.counters().clearedEndpoints, std::vector<uint8_t>{0x81});
  EXPECT_EQ(device->ioErrorCount, 0);
  emulated.send("q", 1);
  EXPECT_EQ(twusb_get_from_device(device, &byte), aErrNone);
  EXPECT_EQ(byte, 'q');
}

TEST_F(UsbAccess, StatesAndModesRefuseTransfers) {
  bus->add(withSerial("0000BEEF"));
  uint8_t byte = 0;
  device = twusb_create_usb(1);
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(device->fd, -1);
  EXPECT_EQ(twusb_get_from_device(device, &byte), aErrNotReady);
  EXPECT_EQ(twusb_write_to_device(device, &byte, 1), aErrNotReady);
  EXPECT_EQ(twusb_close_tallowick_device(device), aErrMode);  // no handle
  // Kernel variants on a libusb record.
  EXPECT_EQ(twusb_write_to_kernel_device(device, &byte, 1), aErrMode);
  EXPECT_EQ(twusb_get_from_kernel_device(device, &byte), aErrMode);
  EXPECT_EQ(twusb_open_tallowick_kernel_device(device, "0000BEEF"), aErrMode);

  ASSERT_EQ(open("0000BEEF"), aErrNone);
  EXPECT_EQ(twusb_close_tallowick_device(device), aErrNone);
  EXPECT_EQ(device->state.load(), kTwusbClosed);
  EXPECT_EQ(twusb_get_from_device(device, &byte), aErrConnection);
  EXPECT_EQ(twusb_write_to_device(device, &byte, 1), aErrConnection);

  twusb_device* kernel = twusb_create_usb(0);
  EXPECT_EQ(twusb_open_tallowick_USBlib_device(kernel, "0000BEEF"), aErrMode);
  EXPECT_EQ(twusb_get_from_USBlib_device(kernel, &byte), aErrMode);
  // No node open: kernel transfers refuse, closing does nothing.
  EXPECT_EQ(twusb_get_from_device(kernel, &byte), aErrMode);
  EXPECT_EQ(twusb_write_to_device(kernel, &byte, 1), aErrMode);
  EXPECT_EQ(twusb_close_tallowick_device(kernel), aErrNone);
  EXPECT_EQ(twusb_destroy(&kernel), aErrNone);
  EXPECT_EQ(kernel, nullptr);
  EXPECT_EQ(twusb_destroy(&kernel), aErrParam);
}

TEST_F(UsbAccess, ContextRefreshWhileAHandleIsOpenKeepsTheHandleWorking) {
  Device& emulated = bus->add(withSerial("0000BEEF"));
  OutRecorder recorder;
  recorder.attach(emulated);
  ASSERT_EQ(open("0000BEEF"), aErrNone);
  libusb_context* before = Tallowick_libusb_context();
  ASSERT_EQ(device->context, before);
  EXPECT_EQ(Tallowick_libusb_exit(), 0);
  libusb_context* after = Tallowick_libusb_context();
  ASSERT_NE(after, nullptr);
  // A new context: the old one, retired, lives on for the open handle (so its address
  // cannot have been reused), and the handle keeps it.
  EXPECT_NE(after, before);
  EXPECT_EQ(device->context, before);

  // The open device still works on the context it was opened through.
  const uint8_t data[] = {1, 2, 3};
  EXPECT_EQ(twusb_write_to_device(device, data, sizeof data), aErrNone);
  emulated.send("x", 1);
  uint8_t byte = 0;
  EXPECT_EQ(twusb_get_from_device(device, &byte), aErrNone);
  EXPECT_EQ(byte, 'x');
  EXPECT_EQ(recorder.bytes(), std::vector<uint8_t>(data, data + 3));
  EXPECT_EQ(twusb_close_tallowick_device(device), aErrNone);

  // A new open goes through the new context.
  ASSERT_EQ(open("0000BEEF"), aErrNone);
  EXPECT_EQ(device->context, after);
}

TEST_F(UsbAccess, ADeviceThatLeavesAndComesBackIsOpenedAgainAfterARefresh) {
  Device* emulated = &bus->add(withSerial("0000BEEF"));
  ASSERT_EQ(open("0000BEEF"), aErrNone);
  const uint8_t data[] = {9, 8, 7};
  EXPECT_EQ(twusb_write_to_device(device, data, sizeof data), aErrNone);

  bus->remove(*emulated);
  // The device is gone: a write cannot deliver its bytes; reads fail, hidden at
  // first, then the error state.
  EXPECT_EQ(twusb_write_to_device(device, data, sizeof data), aErrWrite);
  uint8_t byte = 0;
  for (int i = 0; i < 4; ++i) EXPECT_EQ(twusb_get_from_device(device, &byte), aErrNotReady) << i;
  EXPECT_EQ(twusb_get_from_device(device, &byte), aErrIO);
  EXPECT_EQ(device->state.load(), kTwusbErrorLimit);
  EXPECT_EQ(twusb_close_tallowick_device(device), aErrNone);

  emulated = &bus->add(withSerial("0000BEEF"));
  OutRecorder recorder;
  recorder.attach(*emulated);
  Tallowick_libusb_exit();
  ASSERT_EQ(open("0000BEEF"), aErrNone);
  EXPECT_EQ(twusb_write_to_device(device, data, sizeof data), aErrNone);
  EXPECT_EQ(recorder.bytes(), std::vector<uint8_t>(data, data + 3));
}

}  // namespace
