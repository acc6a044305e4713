// The beacon-interface lock around CZMQ's global interface setting.
#include <gtest/gtest.h>

#include <czmq.h>

#include <chrono>
#include <memory>
#include <future>
#include <string>
#include <thread>

#include "common/discovery/zBeaconInterface.h"

namespace {

using namespace std::chrono_literals;

// True when another thread can take and release the lock within the wait.
// (The thread is detached: a lock that is never given back must fail the test, not hang it.)
bool lockIsFree(std::chrono::milliseconds wait = 2000ms) {
  auto taken = std::make_shared<std::promise<bool>>();
  std::future<bool> result = taken->get_future();
  std::thread([taken] {
    zBeaconInterface_getAndLock();
    zBeaconInterface_unlock();
    taken->set_value(true);
  }).detach();
  return result.wait_for(wait) == std::future_status::ready && result.get();
}

TEST(BeaconInterface, OnlyAddressesEmptyOrStarLock) {
  struct Case {
    const char* text;
    bool valid;
  } cases[] = {
      {"192.168.1.10", true}, {"", true}, {"*", true}, {"0.0.0.0", true},
      {"eth0", false}, {"192.168.1.300", false}, {"192.168.1", false}, {"* ", false}, {"**", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(zBeaconInterface_setAndLock(c.text), c.valid);
    if (c.valid) {
      EXPECT_EQ(zBeaconInterface_get(), c.text);
      zBeaconInterface_unlock();
    }
    EXPECT_TRUE(lockIsFree());
    EXPECT_EQ(zBeaconInterface_backupSetAndLock(c.text), c.valid);
    if (c.valid) zBeaconInterface_restoreAndUnlock();
    EXPECT_TRUE(lockIsFree());
  }
  EXPECT_FALSE(zBeaconInterface_setAndLock(nullptr));
  EXPECT_TRUE(lockIsFree());
}

TEST(BeaconInterface, RestoreGivesBackTheSettingWholeAndFreesTheLock) {
  // A program's own setting of any length comes back as it was, not cut to a buffer.
  const std::string own(300, 'x');
  zsys_set_interface(own.c_str());
  ASSERT_TRUE(zBeaconInterface_backupSetAndLock("10.0.0.5"));
  EXPECT_EQ(zBeaconInterface_get(), "10.0.0.5");
  EXPECT_EQ(zBeaconInterface_getBackup(), own);
  zBeaconInterface_restoreAndUnlock();
  EXPECT_EQ(zBeaconInterface_get(), own);
  EXPECT_TRUE(lockIsFree());
}

TEST(BeaconInterface, SecondThreadWaitsForTheHolder) {
  ASSERT_TRUE(zBeaconInterface_setAndLock("192.0.2.1"));
  std::promise<void> started;
  auto second = std::async(std::launch::async, [&] {
    started.set_value();
    const bool locked = zBeaconInterface_setAndLock("192.0.2.2");
    const std::string seen = zBeaconInterface_get();
    if (locked) zBeaconInterface_unlock();
    return seen;
  });
  started.get_future().wait();
  EXPECT_EQ(second.wait_for(200ms), std::future_status::timeout);
  EXPECT_EQ(zBeaconInterface_get(), "192.0.2.1");
  zBeaconInterface_unlock();
  ASSERT_EQ(second.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(second.get(), "192.0.2.2");
}

TEST(BeaconInterface, HoldReleasesOnEveryRoadOut) {
  zsys_set_interface("");
  auto setUp = [](bool failEarly) {
    zBeaconInterfaceHold hold("192.0.2.7", zBeaconInterfaceHold::withBackup);
    if (!hold.locked()) return false;
    if (failEarly) return false;   // an early return between locking and releasing
    hold.release();
    return true;
  };
  EXPECT_FALSE(setUp(true));
  EXPECT_TRUE(lockIsFree());
  EXPECT_EQ(zBeaconInterface_get(), "");
  EXPECT_TRUE(setUp(false));
  EXPECT_TRUE(lockIsFree());
  {
    zBeaconInterfaceHold refused("eth0", zBeaconInterfaceHold::plain);
    EXPECT_FALSE(refused.locked());
  }
  EXPECT_TRUE(lockIsFree());
}

}  // namespace
