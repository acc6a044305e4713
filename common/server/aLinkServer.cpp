// A link server put in front of a device link: the server, and the client link through
// it that the caller holds from then on.
#include "common/server/aServer.h"
#include "common/internal/aLinkTable.h"
#include "common/unix/aTime.h"

namespace {

constexpr int kConfigureTries = 5;
constexpr uint32_t kConfigurePauseMs = 10;
constexpr uint64_t kQueryWaitMs = 1000;
// The system entity's GET of the model option, as a device answers it: [03 08 00 model].
constexpr uint8_t kSystemCommand = 0x03;
constexpr uint8_t kModelQuery[3] = {kSystemCommand, 0x48, 0x20};
constexpr uint8_t kModelReplyLength = 4;

aErr sPut(aLinkRef client, uint8_t address, uint8_t length, const uint8_t* data) {
  aPacket packet;
  const aErr e = aPacket_Fill(&packet, address, length, data);
  return e != aErrNone ? e : aLink_PutPacket(client, &packet);
}

aErr _aLink_GetModuleAddress(aLinkRef client, uint8_t* address) {
  const uint8_t none = 0;
  sPut(client, cmdSYNC, 0, &none);
  aPacket* reply = aLink_AwaitPacket(client, kQueryWaitMs);
  if (reply == nullptr) return aErrTimeout;
  const bool good = reply->dataSize == 0 && reply->address != 0;
  if (good) *address = reply->address;
  aPacket_Destroy(&reply);
  return good ? aErrNone : aErrIO;
}

aErr _aLink_GetModel(aLinkRef client, uint8_t address, uint8_t* model) {
  sPut(client, address, sizeof kModelQuery, kModelQuery);
  aPacket* reply = aLink_AwaitPacket(client, kQueryWaitMs);
  if (reply == nullptr) return aErrTimeout;
  const bool good = reply->dataSize == kModelReplyLength && reply->address == address && reply->data[0] == kSystemCommand;
  if (good) *model = reply->data[3];
  aPacket_Destroy(&reply);
  return good ? aErrNone : aErrIO;
}

aErr _aLink_ConfigureServerDetails(aLinkRef client, aServer* server) {
  uint8_t address = 0;
  aErr e = _aLink_GetModuleAddress(client, &address);
  aServer_SetModuleAddress(server, e == aErrNone ? address : 0);
  if (e == aErrNone) {
    uint8_t model = 0;
    e = _aLink_GetModel(client, address, &model);
    if (e == aErrNone) aServer_SetModel(server, model);
  }
  if (e != aErrNone) aServer_FlushFIFO(server);
  return e;
}

// Takes a server that did not come up off the device entry and destroys it: nothing
// half-made stays, and the device link is reused as if none had been tried.
aLinkRef sGiveUp(const aLinkEntryPtr& entry, aServer* server) {
  aServer* attached = server;
  if (entry->server.compare_exchange_strong(attached, nullptr)) aServer_Destroy(&server);
  return 0;
}

}  // namespace

aLinkRef aLink_CreateServer(aLinkRef deviceId, uint16_t* port, uint32_t* interfaceAddress, uint8_t localOnly) {
  if (port == nullptr || interfaceAddress == nullptr || deviceId == 0) return 0;
  aLinkEntryPtr entry = sLookupEntryByID(deviceId);
  if (!entry) return 0;
  // One server per device link: a second would leak the first and compete with it for
  // the device's replies.
  if (entry->server.load() != nullptr) return 0;
  aServer* server = aServer_Create(deviceId, *interfaceAddress, localOnly);
  if (server == nullptr) return 0;
  aServer* none = nullptr;
  if (!entry->server.compare_exchange_strong(none, server)) {
    aServer_Destroy(&server);
    return 0;
  }
  uint16_t served = 0;
  uint32_t chosen = 0;
  if (aServer_Start(server) != aErrNone || aServer_GetPort(server, &served) != aErrNone ||
      aServer_GetInterface(server, &chosen) != aErrNone)
    return sGiveUp(entry, server);
  const aLinkRef client = aLink_CreateClient(chosen, served, 0);
  if (client == 0) return sGiveUp(entry, server);
  aLinkEntryPtr clientEntry = sLookupEntryByID(client);
  if (!clientEntry) {
    aLinkRef doomed = client;
    aLink_Destroy(&doomed);
    return sGiveUp(entry, server);
  }
  // From here the caller's use of the device link belongs to the client link.
  clientEntry->linkedId = deviceId;
  aErr e = aErrTimeout;
  for (int attempt = 0; attempt < kConfigureTries; attempt++) {
    e = _aLink_ConfigureServerDetails(client, server);
    if (e == aErrNone) break;
    aTime_MSSleep(kConfigurePauseMs);
  }
  if (e != aErrNone) {
    // The device link's use goes back to the caller, who drops it itself: dropped here
    // too, it would take down another user's link that shares the device.
    clientEntry->linkedId = 0;
    aLinkRef doomed = client;
    aLink_Destroy(&doomed);
    return sGiveUp(entry, server);
  }
  *port = served;
  *interfaceAddress = chosen;
  return client;
}
