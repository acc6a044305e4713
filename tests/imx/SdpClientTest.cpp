// The Serial Download Protocol client (SDPLoader with its HID and serial transports)
// against the simulated boot ROM: over the unmodified hidapi hidraw back end on an
// emulated hidraw device, and over a pty. Expected bytes are written out by hand from
// the boot ROM's published command layout.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "common/aLibusb.h"
#include "tests/imx/SdpHidFrontEnd.h"
#include "tests/sim/sdp/SdpRom.h"
#include "tests/sim/sdp/SdpSerialPty.h"
#include "tests/usb/UsbEmulator.h"
#include "updater/recovery/HID_SDPLoader.h"
#include "updater/recovery/IMX1050.h"
#include "updater/recovery/SDPLoader.h"
#include "updater/recovery/Serial_SDPLoader_unix.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kBaud = 115200;

Bytes image(size_t length, uint8_t seed = 1) {
  Bytes b(length);
  uint32_t x = seed * 2654435761u + 1;
  for (auto& v : b) {
    x = x * 1103515245u + 12345u;
    v = static_cast<uint8_t>(x >> 16);
  }
  return b;
}

Bytes zeros(size_t n) { return Bytes(n, 0); }

Bytes join(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

// What the client handed its transport, and what the transport said it sent.
struct WriteRecord {
  std::vector<size_t> sizes;
  std::vector<ssize_t> results;
};

class RecordingTransport : public SDPLoader_Interface {
 public:
  RecordingTransport(SDPLoader_Interface* inner, std::shared_ptr<WriteRecord> record)
      : inner_(inner), record_(std::move(record)) {}
  bool init() override { return inner_->init(); }
  ssize_t writeData(const Bytes& bytes) override {
    const ssize_t r = inner_->writeData(bytes);
    record_->sizes.push_back(bytes.size());
    record_->results.push_back(r);
    return r;
  }
  ssize_t readData(Bytes& answer, uint32_t timeoutMs) override { return inner_->readData(answer, timeoutMs); }
  bool getDataFromBuffer(const Bytes& answer, uint32_t index, uint32_t& value) override {
    return inner_->getDataFromBuffer(answer, index, value);
  }
  bool padFrame() override { return inner_->padFrame(); }

 private:
  std::unique_ptr<SDPLoader_Interface> inner_;
  std::shared_ptr<WriteRecord> record_;
};

// ----- the answer layouts, bytes by hand -----

TEST(SdpAnswerLayout, HidAnswerIsReportThreeThenReportFourWithTheWordAtBytesSixToNine) {
  Bytes answer = join({{0x03, 0x56, 0x78, 0x78, 0x56}, {0x04, 0x88, 0x88, 0x88, 0x88}, zeros(60)});
  ASSERT_EQ(answer.size(), 70u);
  HID_SDPLoader hid(IMX1050::VID, IMX1050::PID);
  uint32_t value = 0;
  EXPECT_TRUE(hid.getDataFromBuffer(answer, 0, value));
  EXPECT_EQ(value, 0x88888888u);

  answer[6] = 0x12, answer[7] = 0x34, answer[8] = 0x56, answer[9] = 0x78;
  value = 0;
  EXPECT_TRUE(hid.getDataFromBuffer(answer, 0, value));
  EXPECT_EQ(value, 0x78563412u);  // little-endian

  // Anything but exactly one state report and one answer report holds no word.
  for (size_t size : {5u, 65u, 69u, 71u, 135u}) {
    Bytes other(size, 0x88);
    value = 0;
    EXPECT_FALSE(hid.getDataFromBuffer(other, 0, value)) << size;
  }
  EXPECT_FALSE(hid.getDataFromBuffer(answer, 16, value));
}

TEST(SdpAnswerLayout, SerialAnswerIsTheStateThenTheWordAtBytesFourToSeven) {
  Serial_SDPLoader serial("/nonexistent");
  uint32_t value = 0;
  EXPECT_TRUE(serial.getDataFromBuffer({0x56, 0x78, 0x78, 0x56, 0x88, 0x88, 0x88, 0x88}, 0, value));
  EXPECT_EQ(value, 0x88888888u);
  value = 0;
  EXPECT_TRUE(serial.getDataFromBuffer({0x56, 0x78, 0x78, 0x56, 0x12, 0x34, 0x56, 0x78}, 0, value));
  EXPECT_EQ(value, 0x78563412u);
  value = 0;
  EXPECT_FALSE(serial.getDataFromBuffer({0x56, 0x78, 0x78, 0x56, 0x88, 0x88, 0x88}, 0, value));
  EXPECT_FALSE(serial.getDataFromBuffer({0x56, 0x78, 0x78, 0x56}, 0, value));
  EXPECT_FALSE(serial.getDataFromBuffer(zeros(80), 16, value));
}

// ----- set-up and opening -----

TEST(SdpLoaderSetup, OneTransportOnlyAndInitNeedsOne) {
  SDPLoader loader;
  EXPECT_EQ(loader.init(), SDPLoader::SDP_NO_TRANSPORT);
  EXPECT_FALSE(loader.setLoader(nullptr));
  auto* first = new Serial_SDPLoader("/nonexistent/first");
  EXPECT_TRUE(loader.setLoader(first));
  std::unique_ptr<Serial_SDPLoader> second(new Serial_SDPLoader("/nonexistent/second"));
  EXPECT_FALSE(loader.setLoader(second.get()));  // refused, still the test's to delete
  EXPECT_EQ(loader.init(), SDPLoader::SDP_NOT_OPENED);
}

TEST(SdpLoaderSetup, ASerialPathThatIsNoTerminalDoesNotOpen) {
  char file[] = "/tmp/sdp-not-a-tty-XXXXXX";
  const int fd = mkstemp(file);
  ASSERT_GE(fd, 0);
  close(fd);
  for (const char* path : {static_cast<const char*>(file), "/dev/null", "/nonexistent/tty"}) {
    SDPLoader loader;
    ASSERT_TRUE(loader.setLoader(new Serial_SDPLoader(path)));
    EXPECT_EQ(loader.init(), SDPLoader::SDP_NOT_OPENED) << path;
  }
  unlink(file);
}

// ----- over USB HID -----

class HidRom : public ::testing::Test {
 protected:
  void SetUp() override {
    USBEMU_REQUIRE_PRELOAD();
    bus = std::make_unique<usbemu::Bus>();
    front = std::make_unique<sdpsim::HidFrontEnd>(rom, bus->testbed());
  }
  void TearDown() override {
    front.reset();
    Tallowick_libusb_exit();
    bus.reset();
  }
  std::unique_ptr<SDPLoader> open() {
    auto loader = std::make_unique<SDPLoader>();
    loader->setLoader(new HID_SDPLoader(IMX1050::VID, IMX1050::PID));
    EXPECT_EQ(loader->init(), SDPLoader::SDP_OK);
    return loader;
  }
  std::vector<Bytes> outputs() { return front->device().outputs(); }

  sdpsim::Rom rom;
  std::unique_ptr<usbemu::Bus> bus;
  std::unique_ptr<sdpsim::HidFrontEnd> front;
};

const Bytes kStatusReport = join({{0x01, 0x05, 0x05}, zeros(14)});

TEST_F(HidRom, TheJumpIsOneCommandReportWithNoStatusCommandBefore) {
  auto loader = open();
  loader->startLoader(0x20000400);
  const Bytes expected = join({{0x01, 0x0B, 0x0B, 0x20, 0x00, 0x04, 0x00}, zeros(10)});
  ASSERT_EQ(outputs().size(), 1u);
  EXPECT_EQ(outputs()[0], expected);
  ASSERT_TRUE(rom.jumpAddress().has_value());
  EXPECT_EQ(*rom.jumpAddress(), 0x20000400u);
}

TEST_F(HidRom, AnImageGoesOutAfterOneWriteFileInReportsOf1024Bytes) {
  const Bytes data = image(2500);
  auto loader = open();
  EXPECT_EQ(loader->writeLoader(data, 0x20000000), SDPLoader::SDP_OK);

  const auto out = outputs();
  ASSERT_EQ(out.size(), 5u);
  EXPECT_EQ(out[0], kStatusReport);
  EXPECT_EQ(out[1], join({{0x01, 0x04, 0x04, 0x20, 0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x09, 0xC4}, zeros(5)}));
  const size_t sizes[3] = {1025, 1025, 453};
  Bytes carried;
  for (int i = 0; i < 3; i++) {
    ASSERT_EQ(out[2 + i].size(), sizes[i]) << "data report " << i;
    EXPECT_EQ(out[2 + i][0], 0x02);
    carried.insert(carried.end(), out[2 + i].begin() + 1, out[2 + i].end());
  }
  EXPECT_EQ(carried, data);
  EXPECT_EQ(rom.memory(0x20000000, data.size()), data);
  EXPECT_EQ(front->strayDataReports(), 0u);
}

TEST_F(HidRom, TheFuseWordsAreReadWithTwoRegisterReads) {
  sdpsim::Knobs k;
  k.fuse[0] = 0x11223344;
  k.fuse[1] = 0xA5A55A5A;
  rom.setKnobs(k);
  auto loader = open();
  uint64_t value = 0;
  EXPECT_EQ(loader->getFingerprint(value), SDPLoader::SDP_OK);
  EXPECT_EQ(value, 0xA5A55A5A11223344ull);
  const auto frames = rom.frames();
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(outputs()[1], join({{0x01, 0x01, 0x01, 0x40, 0x1F, 0x44, 0x10, 0x20, 0x00, 0x00, 0x00, 0x04}, zeros(5)}));
  EXPECT_EQ(frames[2].address, 0x401F4420u);
}

TEST_F(HidRom, NoDeviceWithTheIdsDoesNotOpen) {
  SDPLoader loader;
  loader.setLoader(new HID_SDPLoader(IMX1050::VID, 0x0131));
  EXPECT_EQ(loader.init(), SDPLoader::SDP_NOT_OPENED);
}

// ----- over a serial line -----

class SerialRom : public ::testing::Test {
 protected:
  void start(uint32_t baud = 0) { pty = std::make_unique<sdpsim::SerialPty>(rom, baud); }
  std::unique_ptr<SDPLoader> open(std::shared_ptr<WriteRecord> record = nullptr) {
    auto loader = std::make_unique<SDPLoader>();
    SDPLoader_Interface* t = new Serial_SDPLoader(pty->path().c_str());
    if (record) t = new RecordingTransport(t, record);
    loader->setLoader(t);
    EXPECT_EQ(loader->init(), SDPLoader::SDP_OK);
    return loader;
  }
  sdpsim::Rom rom;
  std::unique_ptr<sdpsim::SerialPty> pty;
};

TEST_F(SerialRom, TheLineCarriesTheSixteenCommandBytesAndTheImageWithoutReportIds) {
  start();
  const Bytes data = image(2500, 3);
  auto record = std::make_shared<WriteRecord>();
  {
    auto loader = open(record);
    EXPECT_EQ(loader->writeLoader(data, 0x20000000), SDPLoader::SDP_OK);
    loader->startLoader(0x20000400);
  }
  const Bytes status = join({{0x05, 0x05}, zeros(14)});
  const Bytes writeFile = join({{0x04, 0x04, 0x20, 0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x09, 0xC4}, zeros(5)});
  const Bytes jump = join({{0x0B, 0x0B, 0x20, 0x00, 0x04, 0x00}, zeros(10)});
  ASSERT_TRUE(pty->waitForReceived(16 + 16 + 2500 + 16, 5000));
  EXPECT_EQ(pty->received(), join({status, writeFile, data, jump}));
  // The client hands over reports with their id; the line takes all but the id.
  EXPECT_EQ(record->sizes, (std::vector<size_t>{17, 17, 1025, 1025, 453, 17}));
  EXPECT_EQ(record->results, (std::vector<ssize_t>{16, 16, 1024, 1024, 452, 16}));
  EXPECT_EQ(*rom.jumpAddress(), 0x20000400u);
}

TEST_F(SerialRom, AFiveThousandByteLoaderCompletesOnAPacedLine) {
  // 5000 bytes need about 0.43 s at 115200 baud: the completion comes long after a
  // fixed 100 ms wait would have given up.
  start(kBaud);
  const Bytes data = image(5000, 4);
  auto loader = open();
  EXPECT_EQ(loader->writeLoader(data, 0x20000000), SDPLoader::SDP_OK);
  EXPECT_EQ(rom.memory(0x20000000, data.size()), data);
}

TEST_F(SerialRom, StrayBytesBeforeTheFirstCommandAreSurvived) {
  // What another protocol's probe leaves on the line: the ROM holds a partial frame,
  // and every command after it arrives shifted until filler bytes complete it.
  start();
  const Bytes data = image(300, 5);
  for (size_t stray : {1u, 7u, 15u}) {
    SCOPED_TRACE(stray);
    rom.setKnobs(sdpsim::Knobs());
    const size_t before = pty->received().size();
    {
      const int fd = ::open(pty->path().c_str(), O_RDWR | O_NOCTTY);
      ASSERT_GE(fd, 0);
      const Bytes probe(stray, '?');
      ASSERT_EQ(write(fd, probe.data(), probe.size()), static_cast<ssize_t>(stray));
      close(fd);
    }
    ASSERT_TRUE(pty->waitForReceived(before + stray, 2000));
    const uint32_t address = 0x20000000 + static_cast<uint32_t>(stray) * 0x1000;
    auto loader = open();
    EXPECT_EQ(loader->writeLoader(data, address), SDPLoader::SDP_OK);
    EXPECT_EQ(rom.memory(address, data.size()), data);
  }
  EXPECT_GT(rom.ignoredFrames(), 0u);
}

// ----- what the client counts as failure, over both transports -----

enum class Road { Hid, Serial };

struct FailureCase {
  const char* name;
  Road road;
  uint8_t expected;
};

class SdpFailures : public ::testing::TestWithParam<FailureCase> {
 protected:
  void SetUp() override {
    if (GetParam().road == Road::Hid) {
      USBEMU_REQUIRE_PRELOAD();
      bus = std::make_unique<usbemu::Bus>();
      hid = std::make_unique<sdpsim::HidFrontEnd>(rom, bus->testbed());
    }
  }
  void TearDown() override {
    hid.reset();
    pty.reset();
    Tallowick_libusb_exit();
    bus.reset();
  }
  std::unique_ptr<SDPLoader> open(uint32_t baud) {
    auto loader = std::make_unique<SDPLoader>();
    if (GetParam().road == Road::Hid) {
      loader->setLoader(new HID_SDPLoader(IMX1050::VID, IMX1050::PID));
    } else {
      pty = std::make_unique<sdpsim::SerialPty>(rom, baud);
      loader->setLoader(new Serial_SDPLoader(pty->path().c_str()));
    }
    EXPECT_EQ(loader->init(), SDPLoader::SDP_OK);
    return loader;
  }
  unsigned writeFiles() {
    unsigned n = 0;
    for (const auto& f : rom.frames()) n += f.type == sdpsim::kWriteFile;
    return n;
  }

  sdpsim::Rom rom;
  std::unique_ptr<usbemu::Bus> bus;
  std::unique_ptr<sdpsim::HidFrontEnd> hid;
  std::unique_ptr<sdpsim::SerialPty> pty;
};

TEST_P(SdpFailures, ResultAndWhatWentOut) {
  const FailureCase& c = GetParam();
  const bool serial = c.road == Road::Serial;
  sdpsim::Knobs k;
  // Over the serial line a stray byte can only be seen while the client still waits
  // for room on the line: a paced line and an image larger than what the pty buffers.
  size_t length = 2500;
  uint32_t baud = 0;
  switch (c.expected) {
    case SDPLoader::SDP_NO_ANSWER: k.dropStatusAnswers = -1; break;
    case SDPLoader::SDP_UNEXPECTED_INPUT:
      k.strayDuringImage = true;
      if (serial) length = 48 * 1024, baud = kBaud;
      break;
    case SDPLoader::SDP_NOT_COMPLETED: k.completionWord = 0x12345678; break;
  }
  rom.setKnobs(k);
  auto loader = open(baud);
  EXPECT_EQ(loader->writeLoader(image(length), 0x20000000), c.expected);

  switch (c.expected) {
    case SDPLoader::SDP_NO_ANSWER:
      EXPECT_EQ(writeFiles(), 0u);
      if (!serial) {
        EXPECT_EQ(rom.statusCommands(), 5u);
        break;
      }
      // Five status commands, then sixteen more each after one filler byte. A ROM that
      // was never out of step sees those shifted, except the last, after the sixteenth
      // filler byte.
      EXPECT_EQ(pty->received().size(), 5u * 16 + 16u * 17);
      EXPECT_EQ(rom.statusCommands(), 6u);
      EXPECT_EQ(rom.ignoredFrames(), 16u);
      break;
    case SDPLoader::SDP_UNEXPECTED_INPUT:
      ASSERT_EQ(writeFiles(), 1u);
      EXPECT_FALSE(rom.writes()[0].complete);
      if (!serial) {
        EXPECT_EQ(hid->device().outputs().size(), 3u);  // status, WRITE_FILE, one data report
      }
      break;
    case SDPLoader::SDP_NOT_COMPLETED:
      ASSERT_EQ(writeFiles(), 1u);
      EXPECT_TRUE(rom.writes()[0].complete);
      break;
  }
}

INSTANTIATE_TEST_SUITE_P(
    BothTransports, SdpFailures,
    ::testing::Values(FailureCase{"HidNoStatusAnswer", Road::Hid, SDPLoader::SDP_NO_ANSWER},
                      FailureCase{"HidStrayByte", Road::Hid, SDPLoader::SDP_UNEXPECTED_INPUT},
                      FailureCase{"HidWrongCompletion", Road::Hid, SDPLoader::SDP_NOT_COMPLETED},
                      FailureCase{"SerialNoStatusAnswer", Road::Serial, SDPLoader::SDP_NO_ANSWER},
                      FailureCase{"SerialStrayByte", Road::Serial, SDPLoader::SDP_UNEXPECTED_INPUT},
                      FailureCase{"SerialWrongCompletion", Road::Serial, SDPLoader::SDP_NOT_COMPLETED}),
    [](const ::testing::TestParamInfo<FailureCase>& param) { return std::string(param.param.name); });

// ----- the serial transport's own handling of its line -----

// A raw pty pair held by the test: the far end reads only when told to.
struct RawPty {
  RawPty() {
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    grantpt(master);
    unlockpt(master);
    char name[128];
    ptsname_r(master, name, sizeof name);
    path = name;
  }
  ~RawPty() {
    if (master >= 0) close(master);
  }
  int master = -1;
  std::string path;
};

TEST(SerialTransport, ClosedIsNoDescriptorAndItsPathIsItsOwnCopy) {
  RawPty line;
  auto* text = new std::string(line.path);
  Serial_SDPLoader transport(text->c_str());
  delete text;  // the caller's text is gone before the port opens
  Bytes answer;
  EXPECT_EQ(transport.writeData({0x01, 0x05, 0x05}), -1);
  EXPECT_EQ(transport.readData(answer, 0), 0);
  ASSERT_TRUE(transport.init());
  EXPECT_EQ(transport.writeData({0x01, 0x05, 0x05}), 2);
}

TEST(SerialTransport, AWriteTheLineNeverTakesEndsWithAFailure) {
  RawPty line;  // nobody reads the far end
  Serial_SDPLoader transport(line.path.c_str());
  ASSERT_TRUE(transport.init());
  // Reports go into the pty's buffer until it is full; the one that finds no room
  // gives up after its line time and a margin.
  auto writes = std::async(std::launch::async, [&] {
    const Bytes report(1025, 0x55);
    for (int i = 0; i < 200; i++)
      if (transport.writeData(report) < 0) return i;
    return -1;
  });
  ASSERT_EQ(writes.wait_for(std::chrono::seconds(60)), std::future_status::ready);
  EXPECT_GT(writes.get(), 0);
}

TEST(SerialTransport, AWriteToALineThatWentAwayFailsAtOnce) {
  RawPty line;
  Serial_SDPLoader transport(line.path.c_str());
  ASSERT_TRUE(transport.init());
  close(line.master);
  line.master = -1;
  auto write = std::async(std::launch::async, [&] { return transport.writeData(Bytes(1025, 0x55)); });
  ASSERT_EQ(write.wait_for(std::chrono::seconds(60)), std::future_status::ready);
  EXPECT_EQ(write.get(), -1);
}

TEST_F(SerialRom, ClosingKeepsWhatWasWrittenButNotYetRead) {
  start(kBaud);
  const Bytes report = join({{0x02}, image(3000, 7)});
  {
    Serial_SDPLoader transport(pty->path().c_str());
    ASSERT_TRUE(transport.init());
    ASSERT_EQ(transport.writeData(report), 3000);
  }  // closed while most of it still waits for the line
  ASSERT_TRUE(pty->waitForReceived(3000, 5000));
  EXPECT_EQ(pty->received(), Bytes(report.begin() + 1, report.end()));
}

TEST_F(SerialRom, ATimeOutOfZeroTakesOnlyWhatIsThere) {
  start(1200);  // 24 bytes take 200 ms each way here
  Serial_SDPLoader transport(pty->path().c_str());
  ASSERT_TRUE(transport.init());
  ASSERT_EQ(transport.writeData(kStatusReport), 16);
  Bytes answer;
  EXPECT_EQ(transport.readData(answer, 0), 0);
  EXPECT_TRUE(answer.empty());
  // The answer does come, and a wait takes it whole.
  EXPECT_EQ(transport.readData(answer, 2000), 8);
}

}  // namespace
