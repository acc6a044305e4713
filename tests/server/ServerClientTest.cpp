// The update-server client against the fake update server over real HTTP on
// 127.0.0.1: exact queries on the wire, answers, and every scripted fault.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "tests/fakes/BirdGenerator.h"
#include "tests/fakes/FakeUpdateServer.h"
#include "tests/support/LogCapture.h"
#include "tests/support/Subprocess.h"
#include "updater/server/HTTPRequest.h"
#include "updater/server/UpdateServerRequest.h"
#include "updater/server/base64.h"

namespace {

class ServerClientTest : public ::testing::Test {
protected:
  void SetUp() override {
    saved_ = HTTPRequest::GetLimits();
    birdFile_ = server_.directory() + "/12345.bird";
    birdgen::BirdLayout layout;
    layout.blocks.push_back(birdgen::identityBlock("12345", "2.10.4", "40F5849A", "M"));
    layout.blocks.push_back(birdgen::imageBlock(birdgen::FIRMWARE, 0, birdgen::randomImage(5000, 1)));
    bird_ = birdgen::file(layout);
    birdgen::writeFile(birdFile_, bird_);
    configure("{}");
  }
  void TearDown() override { HTTPRequest::SetLimits(saved_); }

  // The device 40F5849A with two builds; faults as a JSON object text.
  void configure(const std::string& faults) {
    server_.setConfig(R"({"devices": {"40F5849A": {"latest": "12345",
        "builds": {"12000": "2.9.0", "12345": "2.10.4"}, "birds": {"12345": ")" + birdFile_ + R"("}}},
        "recovery": {"0000000A 0000000B 0000000C 0000000D": {"serial": "40F5849A", "build": "0x3039"}},
        "faults": )" + faults + "}");
  }
  const char* url() {
    url_ = server_.url();
    return url_.c_str();
  }
  std::string lastRequest() {
    const auto requests = server_.requests();
    return requests.empty() ? std::string() : requests.back();
  }

  FakeUpdateServer server_;
  std::string url_, birdFile_;
  birdgen::Bytes bird_;
  HTTPLimits saved_;
};

TEST_F(ServerClientTest, EveryRequestSendsItsQueryInKeyOrder) {
  EXPECT_TRUE(UpdateServerRequest::ping(url()));
  EXPECT_EQ(lastRequest(), "/cgi/u?op=hi&rv=2&");

  std::string build, version;
  EXPECT_TRUE(UpdateServerRequest::QueryBuild(0x40F5849A, build, version, url()));
  EXPECT_EQ(lastRequest(), "/cgi/u?op=qu&sn=40F5849A&");
  EXPECT_EQ(build, "12345");
  EXPECT_EQ(version, "2.10.4");

  std::string text;
  EXPECT_TRUE(UpdateServerRequest::GetBuild(0x40F5849A, "2.10.4", "12345", text, url(), false));
  EXPECT_EQ(lastRequest(), "/cgi/u?bld=12345&fw=2.10.4&no_cal=false&op=bird&sn=40F5849A&");
  size_t length = 0;
  uint8_t* decoded = base64_decode(text.c_str(), text.size(), &length);
  ASSERT_NE(decoded, nullptr);
  EXPECT_EQ(birdgen::Bytes(decoded, decoded + length), bird_);
  std::free(decoded);
  EXPECT_TRUE(UpdateServerRequest::GetBuild(0x40F5849A, "2.10.4", "12345", text, url(), true));
  EXPECT_EQ(lastRequest(), "/cgi/u?bld=12345&fw=2.10.4&no_cal=true&op=bird&sn=40F5849A&");

  std::map<std::string, std::string> builds = {{"stale", "entry"}};
  EXPECT_TRUE(UpdateServerRequest::GetBuildList(0x40F5849A, builds, url()));
  EXPECT_EQ(lastRequest(), "/cgi/u?op=builds&sn=40F5849A&");
  EXPECT_EQ(builds, (std::map<std::string, std::string>{{"12000", "2.9.0"}, {"12345", "2.10.4"}}));

  const uint32_t fingerprint[4] = {0xA, 0xB, 0xC, 0xD};
  uint32_t serial = 0, number = 0;
  EXPECT_TRUE(UpdateServerRequest::GetRecoveryInfo(fingerprint, &serial, &number, url()));
  EXPECT_EQ(lastRequest(), "/cgi/u?brief=true&fp=0000000A%200000000B%200000000C%200000000D&op=fix&");
  EXPECT_EQ(serial, 0x40F5849Au);
  EXPECT_EQ(number, 12345u);

  // Serial numbers are eight upper-case digits, always.
  EXPECT_FALSE(UpdateServerRequest::QueryBuild(0xab, build, version, url()));
  EXPECT_EQ(lastRequest(), "/cgi/u?op=qu&sn=000000AB&");
}

TEST_F(ServerClientTest, ValuesThatNeedItAreEscapedOnTheWire) {
  std::string text;
  UpdateServerRequest::GetBuild(0x40F5849A, "2.10 beta&op=hi", "1/2", text, url(), false);
  EXPECT_EQ(lastRequest(), "/cgi/u?bld=1%2F2&fw=2.10%20beta%26op%3Dhi&no_cal=false&op=bird&sn=40F5849A&");
}

TEST_F(ServerClientTest, UnknownDeviceIsARefusalNotAFailureToReach) {
  LogCapture log(0x20);
  std::string build = "kept", version = "kept";
  EXPECT_FALSE(UpdateServerRequest::QueryBuild(0x1, build, version, url()));
  EXPECT_EQ(build, "kept");
  EXPECT_EQ(version, "kept");
  EXPECT_TRUE(log.contains("ServerCommClass: QueryBuild failed [" + server_.url() + "?op=qu&sn=00000001&]\n"))
      << log.text();
}

TEST_F(ServerClientTest, OtherStatusCodesFailWithStatusAndBodyLogged) {
  configure(R"({"*": {"status": 404, "body": "no such page"}})");
  LogCapture log(0x20);
  std::map<std::string, std::string> builds = {{"a", "b"}};
  EXPECT_FALSE(UpdateServerRequest::GetBuildList(0x40F5849A, builds, url()));
  EXPECT_TRUE(builds.empty());  // emptied before the request
  EXPECT_TRUE(log.contains("GetBuildList ==> [404] [no such page]\n")) << log.text();
  EXPECT_FALSE(UpdateServerRequest::ping(url()));
  EXPECT_TRUE(log.contains("PING ==> [404] [no such page]\n"));
  configure(R"({"*": {"status": 500, "body": "ok\n1\n2\n"}})");
  std::string build, version;
  EXPECT_FALSE(UpdateServerRequest::QueryBuild(0x40F5849A, build, version, url()));
  EXPECT_EQ(build, "");
}

TEST_F(ServerClientTest, ReplyShapes) {
  std::string build, version;
  configure(R"({"qu": {"first_line": "OK"}})");
  EXPECT_FALSE(UpdateServerRequest::QueryBuild(0x40F5849A, build, version, url()));
  configure(R"({"qu": {"first_line": "okay"}})");
  EXPECT_TRUE(UpdateServerRequest::QueryBuild(0x40F5849A, build, version, url()));
  EXPECT_EQ(build, "12345");

  configure(R"({"qu": {"crlf": true}})");
  EXPECT_TRUE(UpdateServerRequest::QueryBuild(0x40F5849A, build, version, url()));
  EXPECT_EQ(build, "12345\r");
  EXPECT_EQ(version, "2.10.4");

  build = version = "kept";
  configure(R"({"qu": {"truncate_lines": 1}})");
  EXPECT_TRUE(UpdateServerRequest::QueryBuild(0x40F5849A, build, version, url()));
  EXPECT_EQ(build, "kept");
  configure(R"({"qu": {"body": ""}})");
  EXPECT_FALSE(UpdateServerRequest::QueryBuild(0x40F5849A, build, version, url()));
  configure(R"({"qu": {"body": "\n\n\n"}})");
  EXPECT_FALSE(UpdateServerRequest::QueryBuild(0x40F5849A, build, version, url()));

  configure(R"({"builds": {"body": "ok\n12345;2.10.4\n12345;2.9.0\nab\n777\n"}})");
  std::map<std::string, std::string> builds;
  EXPECT_TRUE(UpdateServerRequest::GetBuildList(0x40F5849A, builds, url()));
  EXPECT_EQ(builds, (std::map<std::string, std::string>{{"12345", "2.10.4"}, {"777", ""}}));
  configure(R"({"builds": {"body": "ok\n"}})");
  EXPECT_TRUE(UpdateServerRequest::GetBuildList(0x40F5849A, builds, url()));
  EXPECT_TRUE(builds.empty());
}

TEST_F(ServerClientTest, BadBase64AndCrlfBirdTextAreRefusedByTheDecoder) {
  std::string text;
  for (const char* fault : {R"({"bird": {"bad_base64": true}})", R"({"bird": {"crlf": true}})"}) {
    configure(fault);
    ASSERT_TRUE(UpdateServerRequest::GetBuild(0x40F5849A, "2.10.4", "12345", text, url(), false)) << fault;
    ASSERT_FALSE(text.empty());
    size_t length = 77;
    EXPECT_EQ(base64_decode(text.c_str(), text.size(), &length), nullptr) << fault;
  }
  configure(R"({"bird": {"truncate_lines": 1}})");
  text = "old";
  EXPECT_TRUE(UpdateServerRequest::GetBuild(0x40F5849A, "2.10.4", "12345", text, url(), false));
  EXPECT_EQ(text, "");
}

TEST_F(ServerClientTest, LargeBodyInSlowChunksArrivesWhole) {
  birdgen::BirdLayout layout;
  layout.blocks.push_back(birdgen::imageBlock(birdgen::FIRMWARE, 0, birdgen::randomImage(3u << 20, 2)));
  bird_ = birdgen::file(layout);
  birdgen::writeFile(birdFile_, bird_);
  configure(R"({"bird": {"chunk": 65536, "delay_ms": 2}})");
  std::string text;
  ASSERT_TRUE(UpdateServerRequest::GetBuild(0x40F5849A, "2.10.4", "12345", text, url(), false));
  size_t length = 0;
  uint8_t* decoded = base64_decode(text.c_str(), text.size(), &length);
  ASSERT_NE(decoded, nullptr);
  EXPECT_TRUE(birdgen::Bytes(decoded, decoded + length) == bird_);
  std::free(decoded);
}

TEST_F(ServerClientTest, BodyOverTheSizeCapIsRefused) {
  HTTPLimits limits = saved_;
  limits.maxBodySize = 4096;
  HTTPRequest::SetLimits(limits);
  configure(R"({"qu": {"pad_lines": 100, "chunk": 512}})");
  LogCapture log(0x20);
  std::string build, version;
  EXPECT_FALSE(UpdateServerRequest::QueryBuild(0x40F5849A, build, version, url()));
  EXPECT_TRUE(log.contains("QueryBuild ==> [Reply larger than 4096 bytes]\n")) << log.text();
  EXPECT_EQ(build, "");
}

TEST_F(ServerClientTest, StalledServerIsAbandonedAtTheLowSpeedLimit) {
  HTTPLimits limits = saved_;
  limits.connectTimeoutMs = 2000;
  limits.lowSpeedTimeS = 1;
  HTTPRequest::SetLimits(limits);
  for (const char* fault : {R"({"*": {"stall": true, "stall_s": 60}})",
                            R"({"*": {"stall_after_headers": true, "stall_s": 60}})"}) {
    configure(fault);
    // In a child, so that a client without a time-out fails the test instead of
    // hanging it.
    testsupport::RunOptions options;
    options.timeoutMs = 30000;
    const testsupport::RunResult result = testsupport::RunInChild(
        [&]() {
          LogCapture log(0x20);
          if (UpdateServerRequest::ping(url())) return 1;
          return log.contains("ping ==> [Timeout was reached]\n") ? 0 : 2;
        },
        options);
    EXPECT_EQ(result.status, 0) << fault << result.err;
  }
}

// A server that keeps sending just fast enough for the rate still meets the deadline.
TEST_F(ServerClientTest, TricklingServerMeetsTheOverallDeadline) {
  HTTPLimits limits = saved_;
  limits.lowSpeedLimit = 1;
  limits.totalTimeoutMs = 1500;
  HTTPRequest::SetLimits(limits);
  configure(R"({"*": {"pad_lines": 100, "chunk": 8, "delay_ms": 100}})");
  testsupport::RunOptions options;
  options.timeoutMs = 30000;
  const testsupport::RunResult result = testsupport::RunInChild(
      [&]() {
        if (UpdateServerRequest::ping(url())) return 1;
        const ServerFailure& why = UpdateServerRequest::LastFailure();
        return why.transfer && why.text.find("the server was too slow") == 0 ? 0 : 2;
      },
      options);
  EXPECT_EQ(result.status, 0) << result.err;
}

TEST_F(ServerClientTest, ConnectionThatIsNeverAcceptedTimesOut) {
  // A listener that never accepts, its queue filled: the kernel drops further
  // connection requests, so the client's connect can only end by its own time-out.
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listener, 0), 0);
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
  std::vector<int> fillers;
  for (int i = 0; i < 4; i++) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    fillers.push_back(fd);
  }
  HTTPLimits limits = saved_;
  limits.connectTimeoutMs = 500;
  HTTPRequest::SetLimits(limits);
  const std::string target = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/cgi/u";
  testsupport::RunOptions options;
  options.timeoutMs = 30000;
  const testsupport::RunResult result = testsupport::RunInChild(
      [&]() {
        LogCapture log(0x20);
        if (UpdateServerRequest::ping(target.c_str())) return 1;
        return log.contains("ping ==> [Timeout was reached]\n") ? 0 : 2;
      },
      options);
  EXPECT_EQ(result.status, 0) << result.err;
  for (int fd : fillers) close(fd);
  close(listener);
}

TEST_F(ServerClientTest, ClosedPortAndDroppedConnection) {
  LogCapture log(0x20);
  const std::string closed = "http://127.0.0.1:" + std::to_string(FakeUpdateServer::closedPort()) + "/cgi/u";
  EXPECT_FALSE(UpdateServerRequest::ping(closed.c_str()));
  EXPECT_TRUE(log.contains("ping ==> [Couldn't connect to server]\n")) << log.text();

  configure(R"({"*": {"close": true}})");
  std::string build = "kept", version;
  EXPECT_FALSE(UpdateServerRequest::QueryBuild(0x40F5849A, build, version, url()));
  EXPECT_EQ(build, "kept");
  EXPECT_TRUE(log.contains("QueryBuild ==> [Server returned nothing (no headers, no data)]\n")) << log.text();
}

TEST_F(ServerClientTest, OnlyHttpAndHttpsAreSpoken) {
  LogCapture log(0x20);
  const std::string file = "file://" + birdFile_;
  EXPECT_FALSE(UpdateServerRequest::ping(file.c_str()));
  EXPECT_TRUE(log.contains("ping ==> [")) << log.text();
  std::map<std::string, std::string> none;
  EXPECT_THROW(HTTPRequest::GET(file.c_str(), none), std::runtime_error);
}

TEST_F(ServerClientTest, GetReturnsStatusBodyAndFullURL) {
  configure(R"({"*": {"status": 418, "body": "teapot\n"}})");
  std::map<std::string, std::string> query = {{"op", "hi"}};
  HTTPResponse response = HTTPRequest::GET(url(), query);
  EXPECT_EQ(response.get_status(), 418);
  EXPECT_EQ(response.get_response(), "teapot\n");
  EXPECT_EQ(std::string(response.get_request()), server_.url() + "?op=hi&");
  std::map<std::string, std::string> empty;
  EXPECT_EQ(std::string(HTTPRequest::GET(url(), empty).get_request()), server_.url());
  EXPECT_EQ(lastRequest(), "/cgi/u");
}

}  // namespace
