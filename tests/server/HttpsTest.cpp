// HTTPS to the fake update server: the peer is verified against the system trust
// store. The test CA becomes trusted only inside a private mount namespace of a child
// process, where it is bind-mounted over the system bundle.
#include <gtest/gtest.h>

#include <cstdlib>

#include "tests/fakes/BirdGenerator.h"
#include "tests/fakes/FakeUpdateServer.h"
#include "tests/fakes/TestCA.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TempDir.h"
#include "updater/server/UpdateServerRequest.h"
#include "updater/server/base64.h"

namespace {

using testsupport::kUnsupported;
using testsupport::runTrustingCA;
using testsupport::testCADirectory;

std::string ca() { return testCADirectory() + "/ca.pem"; }

TEST(HttpsTest, UntrustedCertificateIsRefusedByDefault) {
  FakeUpdateServer server(testCADirectory() + "/server.pem", testCADirectory() + "/server.key");
  LogCapture log(0x20);
  const std::string url = server.url();
  EXPECT_FALSE(UpdateServerRequest::ping(url.c_str()));
  EXPECT_TRUE(log.contains("ping ==> [SSL peer certificate or SSH remote key was not OK]\n")) << log.text();
  // The handshake failed before any request was made.
  EXPECT_TRUE(server.requests().empty());
}

TEST(HttpsTest, TrustedServerAnswersEveryRequest) {
  FakeUpdateServer server(testCADirectory() + "/server.pem", testCADirectory() + "/server.key");
  testsupport::TempDir dir;
  birdgen::BirdLayout layout;
  layout.blocks.push_back(birdgen::identityBlock("5", "1.0.0", "00000005", "M"));
  const birdgen::Bytes bird = birdgen::file(layout);
  birdgen::writeFile(dir.sub("5.bird"), bird);
  server.setConfig(R"({"devices": {"00000005": {"builds": {"5": "1.0.0"}, "birds": {"5": ")" + dir.sub("5.bird") +
                   R"("}}}})");
  const std::string url = server.url();
  const testsupport::RunResult result = runTrustingCA(ca(), [&]() {
    if (!UpdateServerRequest::ping(url.c_str())) return 1;
    std::string build, version, text;
    if (!UpdateServerRequest::QueryBuild(5, build, version, url.c_str()) || build != "5" || version != "1.0.0") return 2;
    if (!UpdateServerRequest::GetBuild(5, "1.0.0", "5", text, url.c_str(), false)) return 3;
    size_t length = 0;
    uint8_t* decoded = base64_decode(text.c_str(), text.size(), &length);
    const bool same = decoded != nullptr && birdgen::Bytes(decoded, decoded + length) == bird;
    std::free(decoded);
    return same ? 0 : 4;
  });
  if (result.status == kUnsupported) GTEST_SKIP() << "no private mount namespace here";
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(server.requests().size(), 3u);
}

TEST(HttpsTest, CertificateForAnotherNameIsRefusedEvenFromATrustedCA) {
  FakeUpdateServer server(testCADirectory() + "/wrongname.pem", testCADirectory() + "/wrongname.key");
  const std::string url = server.url();
  const testsupport::RunResult result = runTrustingCA(ca(), [&]() {
    LogCapture log(0x20);
    if (UpdateServerRequest::ping(url.c_str())) return 1;
    return log.contains("ping ==> [SSL peer certificate or SSH remote key was not OK]\n") ? 0 : 2;
  });
  if (result.status == kUnsupported) GTEST_SKIP() << "no private mount namespace here";
  EXPECT_EQ(result.status, 0) << result.err;
}

}  // namespace
