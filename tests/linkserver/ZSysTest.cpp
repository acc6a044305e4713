// What the library's use of CZMQ does to the whole process: signals keep their usual
// effect, an interrupt is handed on once, and a program may return from main with the
// library's ZeroMQ users alive. Each case runs in a child process.
#include <gtest/gtest.h>

#include <czmq.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "common/transport/aZSys.h"
#include "common/transport/zSysInterruptHandler.h"
#include "tests/support/PrivateNetwork.h"
#include "tests/linkserver/FakeLinkServer.h"
#include "tests/support/BackgroundProcess.h"

namespace {

using testsupport::BackgroundProcess;

volatile sig_atomic_t sInterrupts = 0;
void countInterrupt(int) { sInterrupts = sInterrupts + 1; }

std::unique_ptr<BackgroundProcess> child(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {ZMQ_USER_CHILD};
  argv.insert(argv.end(), args.begin(), args.end());
  return std::make_unique<BackgroundProcess>(argv);
}

TEST(ZSys, InterruptIsHandedOnOnce) {
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    struct sigaction counting {};
    counting.sa_handler = countInterrupt;
    sigemptyset(&counting.sa_mask);
    aZSys_Init();
    sigaction(SIGINT, &counting, nullptr);
    zSysInterruptHandler_process();   // not interrupted: nothing happens
    if (sInterrupts != 0) _exit(10);
    zsys_interrupted = 1;             // as CZMQ's own handler would have set it
    zSysInterruptHandler_process();
    zSysInterruptHandler_process();
    _exit(sInterrupts == 1 ? 0 : 20 + sInterrupts);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(ZSys, SignalsStillEndAProgramThatUsesZeroMQ) {
  for (int sig : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(sig);
    auto program = child({"signal-wait"});
    ASSERT_TRUE(program->waitFor("ready"));
    ASSERT_EQ(kill(program->pid(), sig), 0);
    int status = 0;
    ASSERT_TRUE(program->waitExit(2000, &status)) << "the signal was swallowed";
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), sig);
  }
}

TEST(ZSys, ReturningFromMainDuringADiscoveryExitsCleanly) {
  NETTEST_ENTER_PRIVATE_NETWORK(true);
  for (int run = 0; run < 10; run++) {
    SCOPED_TRACE(run);
    auto program = child({"discovery-exit", nettest::kFirstAddress});
    int status = 0;
    ASSERT_TRUE(program->waitExit(10000, &status));
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status) << ": " << program->errors();
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(program->errors(), "");
    EXPECT_TRUE(program->lines().empty());
  }
}

TEST(ZSys, ReturningFromMainWithAClientStreamOrLinkOpenExitsCleanly) {
  NETTEST_ENTER_PRIVATE_NETWORK(false);
  lstest::FakeLinkServer fake;
  ASSERT_TRUE(fake.ok());
  for (int run = 0; run < 40; run++) {
    SCOPED_TRACE(run);
    auto program = child({run % 2 == 0 ? "link-exit" : "stream-exit", std::to_string(fake.port())});
    int status = 0;
    ASSERT_TRUE(program->waitExit(10000, &status));
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status) << ": " << program->errors();
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(program->errors(), "");
    EXPECT_TRUE(program->lines().empty());
  }
}

TEST(ZSys, SignalsEndAProgramHoldingAClientLink) {
  NETTEST_ENTER_PRIVATE_NETWORK(false);
  lstest::FakeLinkServer fake;
  ASSERT_TRUE(fake.ok());
  for (int sig : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(sig);
    auto program = child({"link-wait", std::to_string(fake.port())});
    ASSERT_TRUE(program->waitFor("ready"));
    ASSERT_EQ(kill(program->pid(), sig), 0);
    int status = 0;
    ASSERT_TRUE(program->waitExit(2000, &status)) << "the signal was swallowed";
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), sig);
  }
}

}  // namespace
