// The standalone devsim program with the knobs given on its command line, as a test in
// another process (a client through a link server, say) uses it: reached over a bare
// socket, bytes written by hand.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>
#include <vector>

#include "tests/support/SimProcess.h"
#include "tests/sim/RawHost.h"

namespace {

using simtest::Bytes;
using simtest::RawHost;
using simtest::run;
using simtest::wire;

Bytes continued(unsigned n) {
  Bytes p = wire({0x06, 0x1C, 0x03, 0x32, 0x00}, run(static_cast<uint8_t>(n * 24), 24));
  p.push_back(static_cast<uint8_t>(0x80 | (n & 0x7F)));
  return p;
}

TEST(DevsimProgram, CommandLineKnobsShapeTheAnswers) {
  testsupport::SimProcess sim;
  ASSERT_TRUE(sim.start(DEVSIM_BINARY, {"--tcp", "0", "--address", "6", "--stream-period-ms", "20",
                                        "--stream-timestamp", "0x0000000100000002", "--continued", "3:50:2",
                                        "--unsolicited", "060199:1", "--no-model-answer", "--slot", "1:2:16:0A0B",
                                        "--slot-fault", "4:refuse=5", "--factory", "3:010203", "--factory-fault",
                                        "end:nocode"}))
      << sim.error();
  RawHost host(static_cast<uint16_t>(sim.port()));
  ASSERT_TRUE(host.ok());
  // The first reply comes after the unsolicited packet, the second alone.
  EXPECT_EQ(host.ask({0x06, 0x02, 0x17, 0x01}, 7), (Bytes{0x06, 0x01, 0x99, 0x06, 0x02, 0x17, 0x01}));
  EXPECT_EQ(host.ask({0x06, 0x02, 0x17, 0x02}, 4), (Bytes{0x06, 0x02, 0x17, 0x02}));
  ASSERT_TRUE(host.send({0x06, 0x03, 0x03, 0x48, 0x20}));
  EXPECT_EQ(host.quiet(200), Bytes());
  ASSERT_TRUE(host.send({0x06, 0x03, 0x03, 0x72, 0x20}));
  EXPECT_EQ(host.packet(), continued(0));
  EXPECT_EQ(host.packet(), continued(1));
  EXPECT_EQ(host.packet(), (Bytes{0x06, 0x04, 0x03, 0x32, 0x00, 0x02}));
  EXPECT_EQ(host.ask({0x06, 0x04, 0x04, 0x02, 0x01, 0x02}, 8), (Bytes{0x06, 0x06, 0x04, 0x02, 0x01, 0x02, 0x00, 0x02}));
  EXPECT_EQ(host.ask({0x06, 0x04, 0x04, 0x01, 0x01, 0x02}, 8), (Bytes{0x06, 0x06, 0x04, 0x01, 0x01, 0x02, 0x00, 0x10}));
  EXPECT_EQ(host.ask({0x06, 0x04, 0x04, 0x04, 0x01, 0x02}, 7), (Bytes{0x06, 0x05, 0x04, 0x84, 0x01, 0x02, 0x05}));
  EXPECT_EQ(host.ask({0x06, 0x02, 0x5E, 0x43}, 7), (Bytes{0x06, 0x05, 0x5E, 0x03, 0x01, 0x02, 0x03}));
  EXPECT_EQ(host.ask({0x06, 0x04, 0x5E, 0x20, 0x00, 0x03}, 4), (Bytes{0x06, 0x02, 0x5E, 0x80}));
  // Streaming the model number (0x13 by default) of module 6.
  EXPECT_EQ(host.ask({0x06, 0x07, 0x5D, 0x81, 0x20, 0x06, 0x03, 0x08, 0x00}, 5), (Bytes{0x06, 0x03, 0x5D, 0xC1, 0x00}));
  EXPECT_EQ(host.packet(), (Bytes{0x06, 0x0E, 0x03, 0x08, 0x40, 0x01, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x02, 0x13, 0x00}));
  EXPECT_TRUE(sim.stop());
}

TEST(DevsimProgram, SigusrOneEndsAnEndlessRun) {
  testsupport::SimProcess sim;
  ASSERT_TRUE(sim.start(DEVSIM_BINARY, {"--tcp", "0", "--address", "6", "--continued", "3:50:-1"})) << sim.error();
  RawHost host(static_cast<uint16_t>(sim.port()));
  ASSERT_TRUE(host.ok());
  ASSERT_TRUE(host.send({0x06, 0x03, 0x03, 0x72, 0x20}));
  unsigned n = 0;
  for (; n < 150; n++) ASSERT_EQ(host.packet(), continued(n)) << "packet " << n;
  ASSERT_TRUE(sim.signal(SIGUSR1));
  Bytes p = host.packet();
  for (; p.size() == 30 && n < 100000; n++) {
    ASSERT_EQ(p, continued(n));
    p = host.packet();
  }
  EXPECT_EQ(p, (Bytes{0x06, 0x04, 0x03, 0x32, 0x00, static_cast<uint8_t>(n & 0x7F)}));
  // Still running, answering as before the choice (option 50: invalid option, 29).
  EXPECT_EQ(host.ask({0x06, 0x03, 0x03, 0x72, 0x20}, 6), (Bytes{0x06, 0x04, 0x03, 0x32, 0x80, 0x1D}));
  EXPECT_TRUE(sim.stop());
}

class DevsimRefusedLine : public ::testing::TestWithParam<std::vector<std::string>> {};

TEST_P(DevsimRefusedLine, NeverComesUp) {
  std::vector<std::string> args = {"--tcp", "0"};
  args.insert(args.end(), GetParam().begin(), GetParam().end());
  testsupport::SimProcess sim;
  EXPECT_FALSE(sim.start(DEVSIM_BINARY, args, 3000));
}

INSTANTIATE_TEST_SUITE_P(
    Options, DevsimRefusedLine,
    ::testing::Values(std::vector<std::string>{"--slot-fault", "4:bogus"},
                      std::vector<std::string>{"--slot-fault", "4:short:1:2:3"},
                      std::vector<std::string>{"--unsolicited", "0402AA"},   // length byte says 2
                      std::vector<std::string>{"--unsolicited", "04019"},
                      std::vector<std::string>{"--continued", "3:64:1"},
                      std::vector<std::string>{"--factory", "16:00"},
                      std::vector<std::string>{"--factory-fault", "middle:short"},
                      std::vector<std::string>{"--slot", "0:0:2:AABBCC"},   // more than its capacity
                      std::vector<std::string>{"--stream-period-ms", "-5"},
                      std::vector<std::string>{"--stream-timestamp"}));

}  // namespace
