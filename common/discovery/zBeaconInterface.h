#pragma once
// A process-wide lock, with one saved copy, around CZMQ's global network-interface
// setting. CZMQ's UDP beacon reads that setting when it is configured and binds to the
// interface it names; several threads may set up beacons for different interfaces (a
// client's beacon discovery, a link server's beacon), so each sets the interface and
// configures its beacon while holding this lock, and releases it once the beacon has
// answered its configuration.
//
// The lock is not recursive, and the thread that took it releases it. A caller that got
// false from a locking function does not call the releasing one.
#include <string>

// Interface texts: an IPv4 address in dotted-decimal form, "" (CZMQ chooses) or "*"
// (all interfaces). Anything else, an interface name included, is refused.
bool zBeaconInterface_isValid(const char* interfaceText);

// Takes the lock and sets CZMQ's interface. False, with nothing taken or set, for an
// invalid text.
bool zBeaconInterface_setAndLock(const char* interfaceText);
void zBeaconInterface_unlock();
// As setAndLock, saving CZMQ's current setting first; restoreAndUnlock puts the saved
// setting back and releases the lock.
bool zBeaconInterface_backupSetAndLock(const char* interfaceText);
void zBeaconInterface_restoreAndUnlock();

// Readers return copies: CZMQ frees its own text at the next change of the setting.
std::string zBeaconInterface_get();
std::string zBeaconInterface_getAndLock();
std::string zBeaconInterface_getBackup();
std::string zBeaconInterface_getBackupAndLock();

// Releases the lock when it leaves scope unless released by hand: every road out of a
// beacon set-up gives the lock back.
class zBeaconInterfaceHold {
 public:
  enum Kind { plain, withBackup };
  zBeaconInterfaceHold(const char* interfaceText, Kind kind);
  ~zBeaconInterfaceHold();
  zBeaconInterfaceHold(const zBeaconInterfaceHold&) = delete;
  zBeaconInterfaceHold& operator=(const zBeaconInterfaceHold&) = delete;
  bool locked() const { return held_; }
  void release();

 private:
  Kind kind_;
  bool held_;
};
