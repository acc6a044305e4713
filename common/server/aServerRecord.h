#pragma once
// The link server's shared record: what the caller, the device link's stream filter and
// the server's actors really share. Each actor keeps the rest of its state in a record
// of its own, made and destroyed inside the actor: the broker's clients, queues, pools,
// subscribers, beacon state and sockets (aServerBroker.cpp, aServerClients.h), the
// worker's socket (aServerWorker.cpp), the multicast responder's two sockets
// (aServerDiscovery.cpp).
//
// Who writes what, here:
// - the caller's thread creates, starts and destroys the server: everything up to the
//   actors' start is written before they run (the start hand-over orders it), and only
//   read afterwards; it sets model and module address at any time (atomics, read by the
//   broker and the responder);
// - the broker binds the frontend and publishes its port (atomic, read by the caller and
//   by the responder's answers); the beacon actor is made by the caller and its pipe is
//   the broker's while the broker runs;
// - the stream filter end and the batch are guarded by batchMutex: the device link's
//   read role (the filter) and the broker (the age check) both send batches through it;
// - stopping is set first at tear-down; the worker ends its current wait at once.
// Lock order: the device link's filter mutex, then batchMutex.
#include <czmq.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

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
// The flush command the caller sends the broker.
constexpr uint8_t kServerFlushSignal = 5;

// A request travels to the worker as [identity][ticket][packet frames], and its answer
// comes back as [identity][ticket][reply frames]: the envelope names the client, so the
// broker never pairs answers with requests by their order.
constexpr int kServerEnvelopeFrames = 2;

class aServerExitStop;

struct aServer {
  // The device link behind the server, fixed at creation.
  aLinkRef deviceId = 0;
  uint32_t serial = 0;
  uint32_t specType = 0;          // 5, 6 or 7
  uint8_t localOnly = 1;
  // Set at the start, before the actors that read them run.
  uint32_t interfaceAddress = 0;  // network byte order
  uint32_t beaconHost = 0;        // the address discovery answers carry
  std::string frontendEndpoint;   // where the broker binds the frontend ("tcp://a.b.c.d:*")
  std::string syncEndpoint;       // the broker-worker pair (in-process)
  std::string streamEndpoint;     // the filter-broker pair (in-process)
  zactor_t* discovery = nullptr;  // the beacon (its pipe is the broker's) or the responder
  bool discoveryIsBeacon = false;

  std::atomic<uint8_t> model{0};
  std::atomic<uint8_t> moduleAddress{0};
  // Published by the broker once bound; 0 until then or when the bind failed.
  std::atomic<uint16_t> frontendPort{0};

  // The caller's.
  zactor_t* broker = nullptr;
  zactor_t* sync = nullptr;
  bool started = false;

  // The stream batch, filled by the device link's read role.
  std::mutex batchMutex;
  zsock_t* streamFilter = nullptr;   // DEALER, connected to streamEndpoint
  uint8_t batch[aSERVER_BATCH_SIZE] = {};
  uint16_t batchLength = 0;
  aTime batchSince = 0;           // when its oldest sample arrived
  bool batchClosed = false;       // the filter end is gone: samples are left to the link

  std::atomic<bool> stopping{false};

  // Stops the ZeroMQ side at process exit if the server is still alive then.
  std::shared_ptr<aServerExitStop> exitStop;
  uint64_t exitToken = 0;
};

// The broker's state of beacon answering (broker thread only).
struct aServerBeacon {
  aTime start = 0;                // monotonic milliseconds
  bool publishing = false;
};

// --- shared between the server's files ------------------------------------------------
// In a namespace of their own: names with a leading underscore are reserved at global
// scope.
namespace aserver {

// A packet from a packet frame: 2 to 30 bytes, exactly its length byte + 2; null
// otherwise (a frame that lies about its length is dropped whole).
aPacket* _zFrame_To_aPacket(const uint8_t* frame, size_t size);
// The packet frame of a packet (length + 2 bytes) into out; returns its size.
size_t _aPacket_To_zFrame(const aPacket* packet, uint8_t out[aPACKET_MAX_WIRE]);
// Whether the device is asked for an answer: not for route control, and (innerChunk)
// not for a full byte-sequence chunk that announces more.
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
void _serverWorker_broker_beacon(aServer* server, aServerBeacon& beacon);
void _serverBeaconSilencing(aServer* server, aServerBeacon& beacon);

// The actors.
void _serverWorker_broker(zsock_t* pipe, void* args);
void _serverWorker_syncCommands(zsock_t* pipe, void* args);
void _serverWorker_multicastDiscovery(zsock_t* pipe, void* args);

// The stream filter (the device link's user filter) and the broker's age check.
uint8_t _streamingPacketFilter(const aPacket* packet, void* server);
void _serverSendAgedBatch(aServer* server);
// Closes the batch for good and destroys the filter end.
void _serverCloseBatch(aServer* server);


}  // namespace aserver
