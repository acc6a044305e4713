// The USB stream over the access layer, against emulated devices.
#include "common/transport/aUSBStream.h"
#include "common/unix/aUSB.h"
#include "tests/usb/UsbFixture.h"

using namespace usbemu;

namespace {

using UsbStream = UsbTest;

TEST_F(UsbStream, RefusesBadArgumentsAndMissingDevices) {
  aStream* stream = reinterpret_cast<aStream*>(0x1);
  EXPECT_EQ(aStream_CreateUSB(0, &stream), aErrParam);
  EXPECT_EQ(stream, nullptr);
  EXPECT_EQ(aStream_CreateUSB(0x1234ABCD, nullptr), aErrParam);

  // Only a device whose string uses lower-case digits: "%08X" does not match it.
  bus->add(withSerial("1234abcd"));
  stream = reinterpret_cast<aStream*>(0x1);
  EXPECT_EQ(aStream_CreateUSB(0x1234ABCD, &stream), aErrNotFound);
  EXPECT_EQ(stream, nullptr);

  DeviceSpec noInterface = withSerial("0BADF00D");
  noInterface.interfaceClass = 0x03;
  bus->add(noInterface);
  EXPECT_EQ(aStream_CreateUSB(0x0BADF00D, &stream), aErrConfiguration);
  EXPECT_EQ(stream, nullptr);
}

TEST_F(UsbStream, CarriesBytesBothWaysAndReleasesTheInterfaceOnDestroy) {
  Device& emulated = bus->add(withSerial("00C0FFEE"));
  OutRecorder recorder;
  recorder.attach(emulated);
  aStream* stream = nullptr;
  ASSERT_EQ(aStream_CreateUSB(0x00C0FFEE, &stream), aErrNone);
  ASSERT_NE(stream, nullptr);
  auto* record = static_cast<aUSBStreamRecord*>(stream->reference);
  EXPECT_EQ(record->serialNumber, 0x00C0FFEEu);
  EXPECT_EQ(record->device->useLibusb, 1u);

  const uint8_t packet[] = {0x04, 0x02, 0x10, 0x20};
  EXPECT_EQ(aStream_Write(stream, packet, sizeof packet), aErrNone);  // one block write
  EXPECT_EQ(aStream_Write(stream, packet, 1), aErrNone);              // one put
  EXPECT_EQ(emulated.counters().outChunks, (std::vector<size_t>{4, 1}));
  EXPECT_EQ(recorder.bytes(), (std::vector<uint8_t>{0x04, 0x02, 0x10, 0x20, 0x04}));

  // A read that finds only part of what it wants keeps it for the next one.
  uint8_t in[4] = {0, 0, 0, 0};
  emulated.send("ab", 2);
  EXPECT_EQ(aStream_Read(stream, in, 4), aErrNotReady);
  emulated.send("cd", 2);
  EXPECT_EQ(aStream_Read(stream, in, 4), aErrNone);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(in), 4), "abcd");

  EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
  EXPECT_EQ(stream, nullptr);
  EXPECT_EQ(emulated.counters().releases, 1u);
}

// A USB read waits for the device by itself and a write may wait for the bus: the
// stream names nothing to wait on and leaves writes to the link's writer.
TEST_F(UsbStream, NamesNothingToWaitOn) {
  bus->add(withSerial("00C0FFEE"));
  aStream* stream = nullptr;
  ASSERT_EQ(aStream_CreateUSB(0x00C0FFEE, &stream), aErrNone);
  EXPECT_EQ(stream->waitFd, -1);
  EXPECT_FALSE(stream->promptWrites);
  EXPECT_FALSE(aStream_InputPending(stream));
  EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
}

}  // namespace
