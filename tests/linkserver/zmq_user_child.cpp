// A program that uses the library's ZeroMQ pieces and then meets a signal or returns
// from main with them still alive; the tests run it as a child and watch how it ends.
//   signal-wait             CZMQ in use, then waits for a signal
//   discovery-exit ADDRESS  a beacon discovery running on another thread when main returns
//   stream-exit PORT        a client stream to 127.0.0.1:PORT, used and alive when main returns
//   link-exit PORT          a client link to 127.0.0.1:PORT, used and alive when main returns
//   link-wait PORT          a client link to 127.0.0.1:PORT, used, then waits for a signal
#include <arpa/inet.h>
#include <czmq.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "common/discovery/aDiscovery.h"
#include "common/aLink.h"
#include "common/transport/aZMQStream.h"
#include "common/transport/aZSys.h"

namespace {

// What main leaves open stays reachable, as a program's own handle would be: a leak
// checker must not take it for a leak of the library.
aStream* gOpenStream = nullptr;

bool ignoreAll(const linkSpec*, bool*, void*) { return true; }

uint8_t anyPacket(const aPacket*, void*) { return 1; }

// A client link that has had its address query answered; 0 when that failed.
aLinkRef usedClientLink(const char* port) {
  aLinkRef link = aLink_CreateClient(htonl(INADDR_LOOPBACK), static_cast<uint16_t>(std::atoi(port)), 0);
  if (link == 0) return 0;
  const uint8_t none = 0;
  aPacket* query = aPacket_CreateWithData(0xAD, 0, &none);
  aLink_PutPacket(link, query);
  aPacket_Destroy(&query);
  aPacket* answer = aLink_AwaitFirst(link, anyPacket, nullptr, 3000);
  const bool ok = answer != nullptr && answer->address == 0x04;
  aPacket_Destroy(&answer);
  if (!ok) aLink_Destroy(&link);
  return link;
}

bool waitForUsers(uint64_t count) {
  for (int i = 0; i < 500; i++) {
    if (aZSys_UserCount() >= count) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "signal-wait") == 0) {
    aZSys_Init();
    zsock_t* socket = zsock_new(ZMQ_DEALER);   // the library's CZMQ is up and running
    if (socket == nullptr) return 3;
    std::printf("ready\n");
    std::fflush(stdout);
    for (;;) pause();
  }
  if (argc >= 3 && std::strcmp(argv[1], "discovery-exit") == 0) {
    in_addr through{};
    if (inet_pton(AF_INET, argv[2], &through) != 1) return 2;
    std::thread([through] {
      while (!aZSys_Exiting()) aDiscovery_EnumerateModules(kLinkTypeQuivel, ignoreAll, nullptr, through.s_addr);
    }).detach();
    return waitForUsers(1) ? 0 : 4;
  }
  if (argc >= 3 && std::strcmp(argv[1], "stream-exit") == 0) {
    if (aStream_CreateClient(htonl(INADDR_LOOPBACK), static_cast<uint16_t>(std::atoi(argv[2])), &gOpenStream) != aErrNone)
      return 3;
    aStream* stream = gOpenStream;
    const uint8_t query[2] = {0xAD, 0x00};
    aStream_Write(stream, query, sizeof query);
    uint8_t answer = 0;
    for (int i = 0; i < 5 && aStream_Read(stream, &answer, 1) != aErrNone; i++) {
    }
    return answer == 0x04 ? 0 : 4;   // the stream is still open
  }
  if (argc >= 3 && std::strcmp(argv[1], "link-exit") == 0) return usedClientLink(argv[2]) != 0 ? 0 : 4;
  if (argc >= 3 && std::strcmp(argv[1], "link-wait") == 0) {
    if (usedClientLink(argv[2]) == 0) return 4;
    std::printf("ready\n");
    std::fflush(stdout);
    for (;;) pause();
  }
  return 2;
}
