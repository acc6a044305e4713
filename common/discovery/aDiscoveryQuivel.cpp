#include "common/discovery/aDiscoveryQuivel.h"

#include <arpa/inet.h>
#include <czmq.h>
#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "common/discovery/aMulticast.h"
#include "common/transport/aZSys.h"
#include "common/unix/aTime.h"
#include "common/discovery/zBeaconInterface.h"
#include "common/transport/zSysInterruptHandler.h"

namespace {

constexpr aTime kExitStopWaitMs = 3000;


// The replies one discovery accepted, for the duplicate test.
class Accepted {
 public:
  bool isNew(const linkSpec& spec) const {
    for (const linkSpec& seen : seen_)
      if (seen.type == spec.type && seen.serialNumber == spec.serialNumber &&
          seen.t.ip.address == spec.t.ip.address && seen.t.ip.port == spec.t.ip.port)
        return false;
    return true;
  }
  void keep(const linkSpec& spec) { seen_.push_back(spec); }

 private:
  std::vector<linkSpec> seen_;
};

// Runs the caller's callback on a reply that passed the tests; false ends the discovery.
bool sReport(const linkSpec& spec, Accepted& accepted, aDiscoveryCallback callback, void* reference,
             uint8_t* count) {
  accepted.keep(spec);
  bool found = false;
  const bool goOn = callback(&spec, &found, reference);
  if (found) ++*count;
  return goOn;
}

// A beacon discovery running on some thread, as the exit handler sees it: asked to stop,
// it ends at its next cycle (at most one 100 ms wait) and says when it has finished.
class BeaconRun : public aZSysUser {
 public:
  BeaconRun() : owner_(std::this_thread::get_id()) {}
  void stopForExit() override {
    stop_ = true;
    // The thread that exits may be the discovery's own (its callback called exit).
    if (std::this_thread::get_id() == owner_) return;
    std::unique_lock<std::mutex> hold(lock_);
    done_.wait_for(hold, std::chrono::milliseconds(kExitStopWaitMs), [this] { return finished_; });
  }
  bool stopping() const { return stop_.load(); }
  void finish() {
    std::lock_guard<std::mutex> hold(lock_);
    finished_ = true;
    done_.notify_all();
  }

 private:
  std::thread::id owner_;
  std::atomic<bool> stop_{false};
  std::mutex lock_;
  std::condition_variable done_;
  bool finished_ = false;
};

uint8_t _findLinkSpecs_beacon(aDiscoveryCallback callback, void* reference, const char* interfaceText) {
  if (aZSys_Exiting()) return 0;
  auto run = std::make_shared<BeaconRun>();
  const uint64_t token = aZSys_AddUser(run);
  uint8_t count = 0;
  {
    // The beacon reads CZMQ's interface setting: it stays ours until the discovery ends,
    // and every road out of this block gives it back.
    zBeaconInterfaceHold hold(interfaceText, zBeaconInterfaceHold::withBackup);
    zactor_t* beacon = hold.locked() ? zactor_new(zbeacon, nullptr) : nullptr;
    if (beacon != nullptr) {
      // Bounded even if the actor never answers.
      zsock_set_rcvtimeo(beacon, static_cast<int>(aDISCOVERY_BEACON_LISTEN_MS));
      zsock_send(beacon, "si", "CONFIGURE", aDISCOVERY_BEACON_PORT);
      char* host = zstr_recv(beacon);
      // An empty answer: CZMQ found no such interface, nothing can be heard, and a
      // publishing beacon would only complain on stderr every interval.
      if (host != nullptr && host[0] != '\0') {
        zsock_send(beacon, "sbi", "PUBLISH", DISCOVERY_BEACON_FILTER, static_cast<size_t>(aDISCOVERY_BEACON_FILTER_SIZE),
                   aDISCOVERY_BEACON_INTERVAL_MS);
        zsock_send(beacon, "sb", "SUBSCRIBE", "", static_cast<size_t>(0));
        Accepted accepted;
        bool goOn = true;
        // Time, not receive cycles, bounds the listening: every beacon that arrives
        // before the deadline is read, however many servers (and clients) there are.
        const aTime deadline = aTime_GetMonotonicMSTicks() + aDISCOVERY_BEACON_LISTEN_MS;
        while (goOn && !run->stopping()) {
          const aTime now = aTime_GetMonotonicMSTicks();
          if (now >= deadline) break;
          const aTime left = deadline - now;
          zsock_set_rcvtimeo(beacon, static_cast<int>(left < aDISCOVERY_BEACON_INTERVAL_MS ? left : aDISCOVERY_BEACON_INTERVAL_MS));
          char* sender = zstr_recv(beacon);
          if (sender == nullptr) {
            zSysInterruptHandler_process();
            if (zsys_interrupted) break;   // the program was interrupted: receives fail at once
            continue;
          }
          zframe_t* content = zsock_rcvmore(beacon) ? zframe_recv(beacon) : nullptr;
          while (zsock_rcvmore(beacon)) {   // nothing more is expected: drop it
            zframe_t* extra = zframe_recv(beacon);
            if (extra == nullptr) break;
            zframe_destroy(&extra);
          }
          linkSpec spec;
          if (content != nullptr && zframe_size(content) == aLINKSPEC_SIZE &&
              aDiscovery_AcceptServerReply(zframe_data(content), aDiscovery_ParseIPv4(sender), 0, &spec) &&
              accepted.isNew(spec))
            goOn = sReport(spec, accepted, callback, reference, &count);
          zframe_destroy(&content);
          zstr_free(&sender);
        }
        zstr_sendx(beacon, "SILENCE", nullptr);
        zstr_sendx(beacon, "UNSUBSCRIBE", nullptr);
      }
      zactor_destroy(&beacon);
      zstr_free(&host);
    }
  }
  run->finish();
  aZSys_RemoveUser(token);
  return count;
}

uint8_t _findLinkSpecs_multicast(aDiscoveryCallback callback, void* reference) {
  const uint32_t loopback = aDiscovery_Loopback(), group = aDiscovery_ParseIPv4(aDISCOVERY_MULTICAST_GROUP);
  Accepted accepted;
  uint8_t count = 0;
  bool goOn = true;
  for (uint16_t k = 0; k < aDISCOVERY_MULTICAST_OFFSETS && goOn; k++) {
    // Probe: a receiver that can be made means no link server holds this offset.
    aMulticast* probe = aMulticast_Create(loopback, group, static_cast<uint16_t>(aDISCOVERY_MULTICAST_REQUEST_PORT + k), 0);
    if (probe != nullptr) {
      aMulticast_Destroy(&probe);
      continue;
    }
    // Shared, so that another discovery asking at the same moment also hears its answer.
    aMulticast* replies = aMulticast_CreateSharedReceiver(loopback, group, static_cast<uint16_t>(aDISCOVERY_MULTICAST_REPLY_PORT + k));
    aMulticast* requests = aMulticast_Create(loopback, group, static_cast<uint16_t>(aDISCOVERY_MULTICAST_REQUEST_PORT + k), 1);
    const uint32_t word = aDISCOVERY_MULTICAST_REQUEST;
    if (aMulticast_Send(requests, &word, sizeof word) == static_cast<int64_t>(sizeof word)) {
      uint8_t reply[aLINKSPEC_SIZE];
      linkSpec spec;
      if (aMulticast_Receive(replies, reply, sizeof reply) == aLINKSPEC_SIZE &&
          aDiscovery_AcceptServerReply(reply, 0, loopback, &spec) && accepted.isNew(spec))
        goOn = sReport(spec, accepted, callback, reference, &count);
    }
    aMulticast_Destroy(&requests);
    aMulticast_Destroy(&replies);
  }
  return count;
}

}  // namespace

bool aDiscovery_AcceptServerReply(const uint8_t reply[aLINKSPEC_SIZE], uint32_t fallbackAddress,
                                  uint32_t requiredAddress, linkSpec* spec) {
  if (reply == nullptr || spec == nullptr) return false;
  linkSpec decoded;
  aLinkSpec_Deserialize(reply, &decoded);
  // Only link servers: a reply of a device kind would have the library open a USB
  // serial number, a TCP address or a serial device path that the network chose.
  if (decoded.type != kLinkTypeQuivelUSB && decoded.type != kLinkTypeQuivelTCPIP && decoded.type != kLinkTypeQuivelSerial)
    return false;
  if (decoded.t.ip.port == 0 || decoded.t.ip.port > 0xFFFF) return false;
  if (decoded.t.ip.address == 0) decoded.t.ip.address = fallbackAddress;
  if (decoded.t.ip.address == 0) return false;
  if (requiredAddress != 0 && decoded.t.ip.address != requiredAddress) return false;
  *spec = decoded;
  return true;
}

uint8_t aDiscovery_Enumerate_QuivelModules(aDiscoveryCallback callback, void* reference, uint32_t interfaceAddress) {
  if (callback == nullptr) return 0;
  if (aDiscovery_IsEveryInterface(interfaceAddress)) return _findLinkSpecs_multicast(callback, reference);
  uint32_t listed[aDISCOVERY_MAX_INTERFACES];
  const int32_t n = aDiscovery_GetIPv4Interfaces(listed, aDISCOVERY_MAX_INTERFACES);
  if (n == 0) return _findLinkSpecs_multicast(callback, reference);
  bool onHost = false;
  for (int32_t i = 0; i < n; i++) onHost = onHost || listed[i] == interfaceAddress;
  // An address that is not one of the host's interfaces reaches nobody, and CZMQ would
  // only print its complaint on stderr: nothing is asked.
  if (!onHost) return 0;
  char text[INET_ADDRSTRLEN + 1];
  if (aDiscovery_ConvertIPv4Interface(interfaceAddress, text, sizeof text) == 0) return 0;
  return _findLinkSpecs_beacon(callback, reference, text);
}

int32_t aDiscovery_GetIPv4Interfaces(uint32_t* addresses, int32_t maximum) {
  if (addresses == nullptr || maximum <= 0) return 0;
  aZSys_Init();
  ziflist_t* list = ziflist_new();
  if (list == nullptr) return 0;
  int32_t stored = 0;
  for (const char* name = ziflist_first(list); name != nullptr && stored < maximum; name = ziflist_next(list)) {
    in_addr a{};
    const char* text = ziflist_address(list);
    if (text != nullptr && inet_pton(AF_INET, text, &a) == 1) addresses[stored++] = a.s_addr;
  }
  ziflist_destroy(&list);
  return stored;
}

uint32_t aDiscovery_ConvertIPv4Interface(uint32_t address, char* buffer, uint32_t length) {
  if (buffer == nullptr || length < INET_ADDRSTRLEN) return 0;
  std::memset(buffer, 0, length);
  in_addr a{};
  a.s_addr = address;
  if (inet_ntop(AF_INET, &a, buffer, length) == nullptr) {
    std::memset(buffer, 0, length);
    return 0;
  }
  return static_cast<uint32_t>(std::strlen(buffer));
}
