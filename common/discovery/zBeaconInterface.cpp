#include "common/discovery/zBeaconInterface.h"

#include <arpa/inet.h>
#include <czmq.h>

#include <cstring>
#include <mutex>

#include "common/transport/aZSys.h"

namespace {

constexpr size_t kBackupCapacity = 100;

// Never destroyed: a beacon may still be set up by a thread while the process ends.
std::mutex& sInterfaceLock() {
  static std::mutex* lock = new std::mutex;
  return *lock;
}

// The saved setting, an owned copy of whatever length CZMQ's text had. Its own small
// lock lets the readers that do not take the interface lock copy it safely.
struct Backup {
  std::mutex lock;
  std::string text;
};

Backup& sBackup() {
  static Backup* backup = new Backup;
  return *backup;
}

void _configureBackup(Backup& backup) {
  if (backup.text.capacity() < kBackupCapacity) backup.text.reserve(kBackupCapacity);
}

void sSaveBackup(std::string text) {
  Backup& b = sBackup();
  std::lock_guard<std::mutex> hold(b.lock);
  _configureBackup(b);
  b.text = std::move(text);
}

std::string sReadBackup() {
  Backup& b = sBackup();
  std::lock_guard<std::mutex> hold(b.lock);
  _configureBackup(b);
  return b.text;
}

bool _isValidIpAddress(const char* text) {
  in_addr parsed{};
  return inet_pton(AF_INET, text, &parsed) == 1;
}

bool _isValidBeaconConfig(const char* text) { return text[0] == '\0' || std::strcmp(text, "*") == 0; }

std::string sCurrentSetting() {
  const char* current = zsys_interface();
  return current != nullptr ? std::string(current) : std::string();
}

}  // namespace

bool zBeaconInterface_isValid(const char* text) {
  return text != nullptr && (_isValidIpAddress(text) || _isValidBeaconConfig(text));
}

bool zBeaconInterface_setAndLock(const char* text) {
  if (!zBeaconInterface_isValid(text)) return false;
  aZSys_Init();
  sInterfaceLock().lock();
  zsys_set_interface(text);
  return true;
}

void zBeaconInterface_unlock() { sInterfaceLock().unlock(); }

bool zBeaconInterface_backupSetAndLock(const char* text) {
  if (!zBeaconInterface_isValid(text)) return false;
  aZSys_Init();
  sInterfaceLock().lock();
  sSaveBackup(sCurrentSetting());
  zsys_set_interface(text);
  return true;
}

void zBeaconInterface_restoreAndUnlock() {
  zsys_set_interface(sReadBackup().c_str());
  sInterfaceLock().unlock();
}

std::string zBeaconInterface_get() {
  aZSys_Init();
  return sCurrentSetting();
}

std::string zBeaconInterface_getAndLock() {
  aZSys_Init();
  sInterfaceLock().lock();
  return sCurrentSetting();
}

std::string zBeaconInterface_getBackup() { return sReadBackup(); }

std::string zBeaconInterface_getBackupAndLock() {
  sInterfaceLock().lock();
  return sReadBackup();
}

zBeaconInterfaceHold::zBeaconInterfaceHold(const char* text, Kind kind)
    : kind_(kind),
      held_(kind == withBackup ? zBeaconInterface_backupSetAndLock(text) : zBeaconInterface_setAndLock(text)) {}

zBeaconInterfaceHold::~zBeaconInterfaceHold() { release(); }

void zBeaconInterfaceHold::release() {
  if (!held_) return;
  held_ = false;
  if (kind_ == withBackup) {
    zBeaconInterface_restoreAndUnlock();
  } else {
    zBeaconInterface_unlock();
  }
}
