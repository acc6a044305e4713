#include "common/aLibusb.h"

#include <pthread.h>

#include <map>

namespace {

pthread_mutex_t _libusbContextLock = PTHREAD_MUTEX_INITIALIZER;
libusb_context* _libusbContext = nullptr;

// Users of every live context, the current one and those retired by a refresh.
std::map<libusb_context*, unsigned>& users() {
  static std::map<libusb_context*, unsigned>* table = new std::map<libusb_context*, unsigned>();
  return *table;
}

libusb_context* currentLocked() {
  if (_libusbContext == nullptr) {
    libusb_context* made = nullptr;
    if (libusb_init(&made) == 0) {
      _libusbContext = made;
      users()[made] = 0;
    }
  }
  return _libusbContext;
}

}  // namespace

libusb_context* Tallowick_libusb_context() {
  pthread_mutex_lock(&_libusbContextLock);
  libusb_context* context = currentLocked();
  pthread_mutex_unlock(&_libusbContextLock);
  return context;
}

libusb_context* Tallowick_libusb_init() { return Tallowick_libusb_context(); }

int Tallowick_libusb_exit() {
  pthread_mutex_lock(&_libusbContextLock);
  libusb_context* old = _libusbContext;
  _libusbContext = nullptr;
  if (old != nullptr) {
    auto entry = users().find(old);
    if (entry == users().end() || entry->second == 0) {
      if (entry != users().end()) users().erase(entry);
      libusb_exit(old);
    }
  }
  return pthread_mutex_unlock(&_libusbContextLock);
}

libusb_context* Tallowick_libusb_acquire() {
  pthread_mutex_lock(&_libusbContextLock);
  libusb_context* context = currentLocked();
  if (context != nullptr) ++users()[context];
  pthread_mutex_unlock(&_libusbContextLock);
  return context;
}

void Tallowick_libusb_release(libusb_context* context) {
  if (context == nullptr) return;
  pthread_mutex_lock(&_libusbContextLock);
  auto entry = users().find(context);
  if (entry != users().end() && entry->second > 0) {
    --entry->second;
    if (entry->second == 0 && context != _libusbContext) {
      users().erase(entry);
      libusb_exit(context);
    }
  }
  pthread_mutex_unlock(&_libusbContextLock);
}
