#pragma once
// The link server's record, shared by its files: aServer.cpp (create, start, tear-down,
// accessors), aServerDiscovery.cpp (discovery answering), aServerBroker.cpp (the broker
// actor), aServerWorker.cpp (the sync-command actor) and aServerStream.cpp (the stream
// filter and its batch).
//
// Threads and owners:
// - the caller's thread creates, starts and destroys the server and sets model and
//   module address (atomics, read by the broker and the responder);
// - the broker actor owns the frontend, the broker ends of both internal pairs, the
//   beacon's pipe (once started), the pools, the expected-replies count and its own
//   requester queue and subscriber list;
// - the sync-command actor owns the sync worker end and reaches the device link only
//   through the link's calls by id;
// - the stream filter end and the batch are guarded by batchMutex: the device link's
//   read role (the filter) and the broker (the age check) both send batches through it;
// - the multicast responder owns its two multicast sockets.
// Lock order: the device link's filter mutex, then batchMutex.
#include <czmq.h>

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/aLinkSpecifier.h"
#include "common/aPacket.h"
#include "common/server/aServer.h"
#include "common/unix/aTime.h"

#define aSERVER_BATCH_SIZE 4096
// A batch is sent once it holds more than this (an append adds at most 30 bytes).
#define aSERVER_BATCH_SEND_ABOVE 0xFE1

// Signals of the actors on their pipes: the start handshake and the ready signal carry
// kServerReady; an actor that cannot run sends kServerFailed instead, so that its
// creator never takes a dead actor for a live one.
constexpr uint8_t kServerReady = 0;
constexpr uint8_t kServerFailed = 1;
// The flush signal the caller sends the broker.
constexpr uint8_t kServerFlushSignal = 5;

// One client's byte-sequence write being gathered, so that its chunks reach the device
// as one run with no other client's packet between them.
struct aServerPool {
  std::string identity;
  std::vector<aPacket> packets;   // copies, in arrival order
  uint8_t sequence = 0;           // of the last chunk taken
  uint32_t timeToLive = 2000;     // lowered by every UEI payload from any client
  bool broken = false;            // a chunk came out of sequence: the write is dropped whole
};

class aServerExitStop;

struct aServer {
  // The device link behind the server.
  aLinkRef deviceId = 0;
  uint32_t serial = 0;
  uint32_t specType = 0;          // 5, 6 or 7
  std::atomic<uint8_t> model{0};
  std::atomic<uint8_t> moduleAddress{0};
  uint8_t localOnly = 1;
  uint32_t interfaceAddress = 0;  // network byte order
  uint32_t beaconHost = 0;        // the address discovery answers carry

  // Beacon answering (broker thread).
  aTime beaconStart = 0;          // monotonic milliseconds
  bool publishing = false;

  zactor_t* broker = nullptr;
  zactor_t* sync = nullptr;
  zactor_t* discovery = nullptr;
  bool discoveryIsBeacon = false;

  // Set once bound, after the multicast responder, which reads it, has started.
  std::atomic<uint16_t> frontendPort{0};
  zsock_t* frontend = nullptr;    // ROUTER
  zsock_t* syncWorker = nullptr;  // DEALER, connected
  zsock_t* syncBroker = nullptr;  // DEALER, bound
  zsock_t* streamFilter = nullptr;   // DEALER, connected; under batchMutex
  zsock_t* streamBroker = nullptr;   // DEALER, bound
  bool syncConnected = false;
  bool streamConnected = false;

  // The stream batch, filled by the device link's read role.
  std::mutex batchMutex;
  uint8_t batch[aSERVER_BATCH_SIZE] = {};
  uint16_t batchLength = 0;
  aTime batchSince = 0;           // when its oldest sample arrived
  bool batchClosed = false;       // the filter end is gone: samples are left to the link

  std::unique_ptr<std::list<aServerPool>> pools;
  uint16_t expectedReplies = 0;

  // Set first at tear-down: the actors end their current step at once.
  std::atomic<bool> stopping{false};
  bool started = false;

  // Stops the ZeroMQ side at process exit if the server is still alive then.
  std::shared_ptr<aServerExitStop> exitStop;
  uint64_t exitToken = 0;
};

// --- shared between the server's files ------------------------------------------------
// In a namespace of their own: names with a leading underscore are reserved at global
// scope.
namespace aserver {

// A packet from a packet frame: 2 to 30 bytes whose length byte fits; null otherwise.
aPacket* _zFrame_To_aPacket(const uint8_t* frame, size_t size);
// The packet frame of a packet (length + 2 bytes) into out; returns its size.
size_t _aPacket_To_zFrame(const aPacket* packet, uint8_t out[aPACKET_MAX_WIRE]);
// Whether the server answers the packet: not for route control, and (innerChunk) not
// for a full byte-sequence chunk that announces more. The broker and the worker both
// ask with innerChunk set, so that the broker queues a requester exactly when the
// worker will answer.
bool _isResponseRequired(const aPacket* packet, bool innerChunk);
bool _doesPacketContinue(const aPacket* packet);
// Route control from a client (address 0xAF, one data byte): never forwarded.
bool _isBlacklistedPacket(const aPacket* packet);

// The 128-byte discovery answer, made afresh from the server's current state.
void _createNetworkSpec(const aServer* server, uint8_t out[aLINKSPEC_SIZE]);

// Discovery set-up on the caller's thread: the beacon on a real interface, or the
// multicast responder. False when it could not be made.
bool _configureInterface(aServer* server);
// The broker's part of beacon answering: a beacon heard, and the silencing check.
void _serverWorker_broker_beacon(aServer* server);
void _serverBeaconSilencing(aServer* server);

// The actors.
void _serverWorker_broker(zsock_t* pipe, void* args);
void _serverWorker_syncCommands(zsock_t* pipe, void* args);
void _serverWorker_multicastDiscovery(zsock_t* pipe, void* args);

// The stream filter (the device link's user filter) and the broker's age check.
uint8_t _streamingPacketFilter(const aPacket* packet, void* server);
void _serverSendAgedBatch(aServer* server);
// Closes the batch for good and destroys the filter end.
void _serverCloseBatch(aServer* server);

// Ends an actor of the server: a stop signal it answers, both waits bounded, then the
// destroy, which waits for its thread.
void _signalWaitDestroyActor(zactor_t** actor);

}  // namespace aserver
