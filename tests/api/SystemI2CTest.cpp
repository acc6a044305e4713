// SystemClass options against the simulated module, and the I2C bus operations.
#include <gtest/gtest.h>

#include "api/I2CClass.h"
#include "api/SystemClass.h"
#include "tests/api/SimFixture.h"

namespace apitest {
namespace {

using devsim::model::kCmdI2C;
using devsim::model::kCmdSystem;

class System : public ConnectedFixture {
 protected:
  void SetUp() override {
    ConnectedFixture::SetUp();
    sys.init(&module, 0);
  }
  SystemClass sys;
};

TEST_F(System, IdentityQueries) {
  uint8_t model = 0, address = 0, router = 0xFF;
  uint32_t serial = 0, version = 0, build = 0;
  EXPECT_EQ(sys.getModel(&model), aErrNone);
  EXPECT_EQ(model, 0x13);
  EXPECT_EQ(sys.getSerialNumber(&serial), aErrNone);
  EXPECT_EQ(serial, 0x1234ABCDu);
  EXPECT_EQ(sys.getVersion(&version), aErrNone);
  EXPECT_EQ(version, 0x02120003u);
  EXPECT_EQ(sys.getBuild(&build), aErrNone);
  EXPECT_EQ(build, 4711u);
  EXPECT_EQ(sys.getModule(&address), aErrNone);
  EXPECT_EQ(address, front->address());
  EXPECT_EQ(sys.getRouter(&router), aErrNone);
  EXPECT_EQ(router, 0);
  uint32_t words[4] = {};
  for (uint8_t i = 0; i < 4; i++) EXPECT_EQ(sys.getUEI32(systemUniqueIdentifier, i, &words[i]), aErrNone);
  EXPECT_EQ(words[0], 0x11111111u);
  EXPECT_EQ(words[3], 0x44444444u);
  EXPECT_EQ(sys.getUEI32(systemUniqueIdentifier, 4, &words[0]), aErrIndexRange);
}

TEST_F(System, SettersCallsAndSignedReadings) {
  front->setValue(kCmdSystem, 27, 0, static_cast<uint32_t>(-1250));
  int32_t temperature = 0;
  EXPECT_EQ(sys.getTemperature(&temperature), aErrNone);
  EXPECT_EQ(temperature, -1250);
  EXPECT_EQ(sys.setLED(1), aErrNone);
  uint8_t led = 0;
  EXPECT_EQ(sys.getLED(&led), aErrNone);
  EXPECT_EQ(led, 1);
  EXPECT_EQ(sys.routeToMe(1), aErrNone);
  EXPECT_EQ(front->value(kCmdSystem, 20), 1u);
  EXPECT_EQ(sys.save(), aErrNone);
  EXPECT_EQ(sys.logEvents(), aErrNone);
  EXPECT_EQ(sys.resetDeviceToFactoryDefaults(), aErrNone);
  EXPECT_EQ(front->acknowledged(kCmdSystem, 37), 1u);
  // The module's refusals come back as its codes.
  EXPECT_EQ(sys.getUEI8(20, &led), aErrMode);        // route-to-me is set only
  EXPECT_EQ(sys.setUEI32(9, 5), aErrPermission);    // the serial number is read-only
  EXPECT_EQ(sys.getUEI8(5, &led), aErrInvalidOption);
  uint32_t features = 0;
  front->setValue(kCmdSystem, 45, 0, 0x80000001u);
  EXPECT_EQ(sys.getProtocolFeatures(&features), aErrNone);
  EXPECT_EQ(features, 0x80000001u);
}

TEST_F(System, NameAndPowerBehaviourConfig) {
  const Bytes name = {'p', 'u', 'm', 'p', ' ', '3'};
  EXPECT_EQ(sys.setName(name.data(), name.size()), aErrNone);
  uint8_t buffer[32];
  uint64_t count = 0;
  EXPECT_EQ(sys.getName(buffer, sizeof buffer, &count), aErrNone);
  EXPECT_EQ(Bytes(buffer, buffer + count), name);

  const uint32_t words[3] = {0x01020304, 0xA0B0C0D0, 7};
  EXPECT_EQ(sys.setInputPowerBehaviorConfig(words, 3), aErrNone);
  const Bytes stored = front->bytes(kCmdSystem, 31);
  ASSERT_EQ(stored.size(), 12u);
  EXPECT_EQ(std::memcmp(stored.data(), words, 12), 0);   // memory order, no conversion
  uint32_t back[4] = {};
  EXPECT_EQ(sys.getInputPowerBehaviorConfig(back, 4, &count), aErrNone);
  EXPECT_EQ(count, 3u);
  EXPECT_EQ(std::memcmp(back, words, 12), 0);
  front->setBytes(kCmdSystem, 31, Bytes(10, 1));
  EXPECT_EQ(sys.getInputPowerBehaviorConfig(back, 4, &count), aErrMemory);
}

class I2C : public ConnectedFixture {
 protected:
  void SetUp() override {
    ConnectedFixture::SetUp();
    bus.init(&module, 0);
    front->addI2CDevice(0x40);
  }
  void answer(Bytes replyData) {
    network->setIntercept([=](const devsim::WirePacket& in, std::vector<devsim::WirePacket>& out) {
      if (in.data.empty() || in.data[0] != kCmdI2C) return false;
      out.push_back(devsim::WirePacket{in.address, replyData});
      return true;
    });
  }
  I2CClass bus;
};

TEST_F(I2C, SpeedCode) {
  uint8_t code = 9;
  EXPECT_EQ(bus.getSpeed(&code), aErrNone);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(bus.setSpeed(3), aErrNone);
  EXPECT_EQ(bus.setSpeed(4), aErrParam);
  EXPECT_EQ(bus.getSpeed(&code), aErrNone);
  EXPECT_EQ(code, 3);
  expectOnlyTheFenceReceived();
}

TEST_F(I2C, WriteThenReadBack) {
  ASSERT_EQ(bus.setSpeed(3), aErrNone);
  const uint8_t data[] = {0xAA, 0x55};
  EXPECT_EQ(bus.write(0x40, 2, data), aErrNone);
  EXPECT_EQ(sent(front->address()).back(), (Bytes{0x08, 0x00, 0x40, 0x02, 0x03, 0xAA, 0x55}));
  uint8_t buffer[23] = {};
  EXPECT_EQ(bus.read(0x40, 2, buffer), aErrNone);
  EXPECT_EQ(sent(front->address()).back(), (Bytes{0x08, 0x00, 0x41, 0x02, 0x03}));
  EXPECT_EQ(buffer[0], 0xAA);
  EXPECT_EQ(buffer[1], 0x55);
  EXPECT_EQ(bus.read(0x40, 23, buffer), aErrNone);
  EXPECT_EQ(sent(front->address()).back(), (Bytes{0x08, 0x00, 0x41, 0x17, 0x03}));
  // Nobody at 0x42: the bus says so at once.
  EXPECT_EQ(bus.write(0x42, 2, data), aErrIO);
  EXPECT_EQ(bus.setPullup(true), aErrNone);
  EXPECT_EQ(sent(front->address()).back(), (Bytes{0x08, 0x00, 0x01, 0x01}));
  EXPECT_TRUE(front->pullup());
}

TEST_F(I2C, LimitsAndReplyFaults) {
  uint8_t buffer[32] = {};
  const uint8_t data[24] = {};
  EXPECT_EQ(bus.read(0x20, 24, buffer), aErrSize);
  EXPECT_EQ(bus.write(0x20, 24, data), aErrSize);
  expectOnlyTheFenceReceived();

  answer({0x08, 0x00, 0x40, 0x00, 0x86});
  EXPECT_EQ(bus.write(0x40, 1, data), aErrIO);
  answer({0x08, 0x00, 0x40, 0x00});
  EXPECT_EQ(bus.write(0x40, 1, data), aErrPacket);
  // A write's reply must start [8, index, address, 0].
  answer({0x08, 0x00, 0x40, 0x01, 0x00});
  EXPECT_EQ(bus.write(0x40, 1, data), aErrTimeout);
  answer({0x08, 0x00, 0x01, 0x00, 0x8E});
  EXPECT_EQ(bus.setPullup(false), aErrSize);
  // A read reply that names more bytes than it carries, or than were asked for.
  answer({0x08, 0x00, 0x41, 0x05, 0x00, 1, 2});
  EXPECT_EQ(bus.read(0x40, 5, buffer), aErrPacket);
  answer({0x08, 0x00, 0x41, 0x03, 0x00, 1, 2, 3});
  EXPECT_EQ(bus.read(0x40, 2, buffer), aErrSize);
  EXPECT_EQ(buffer[2], 0);
  answer({0x08, 0x00, 0x41, 0x02, 0x00, 1, 2});
  EXPECT_EQ(bus.read(0x40, 2, buffer), aErrNone);
  EXPECT_EQ(buffer[1], 2);
}

}  // namespace
}  // namespace apitest
