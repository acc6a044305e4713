#include "api/Module.h"

#include <cstring>

#include "common/aUEI.h"
#include "common/unix/aTime.h"

namespace Quenlark {
namespace Tallowick {

namespace {
constexpr int kAddressTries = 4;
constexpr aTime kAddressRetryMs = 5;
constexpr int kNoLinkStatus = 8;
constexpr uint8_t kInfoBuild = 0xFF;
constexpr uint8_t kInfoHasUEI = 0x01;
constexpr uint8_t kInfoClassQuantity = 0x04;
constexpr uint8_t kInfoSubClassQuantity = 0x05;
constexpr uint8_t kInfoEntityGroup = 0x06;
constexpr uint8_t kMaxEcho = aPACKET_MAX_DATA - 1;
}  // namespace

Module::Module(uint8_t address, uint8_t model) : Module(address, true, model) {}

Module::Module(uint8_t address, bool networking, uint8_t model)
    : m_link(std::make_unique<Link>("Link")), m_address(address), m_networking(networking), m_model(model) {}

Module::~Module() = default;

aErr Module::_autoNetwork() {
  if (!m_networking || m_link == nullptr) return aErrNone;
  uint8_t address = 0;
  aErr e = aErrNotReady;
  for (int i = 0; i < kAddressTries && e == aErrNotReady; i++) {
    e = m_link->getModuleAddress(&address);
    if (e != aErrNone) aTime_MSSleep(kAddressRetryMs);
  }
  if (e == aErrNone && address != 0 && address != m_address) m_address = address;
  return e;
}

aErr Module::connect(linkType type, uint32_t serial) {
  if (serial == 0) return aErrParam;
  return discoverAndConnect(type, serial);
}

aErr Module::discoverAndConnect(linkType type, uint32_t serial) {
  if (m_link == nullptr) return aErrInitialization;
  const aErr e = m_link->discoverAndConnect(type, serial, m_model);
  return e == aErrNone ? _autoNetwork() : e;
}

aErr Module::connectFromSpec(linkSpec spec) {
  if (m_link == nullptr) return aErrInitialization;
  if (m_link->isConnected()) return aErrBusy;
  m_link->setLinkSpecifier(spec);
  const aErr e = m_link->connect();
  return e == aErrNone ? _autoNetwork() : e;
}

aErr Module::connectThroughLinkModule(Module* other) {
  if (m_link == nullptr) return aErrInitialization;
  if (m_link->isConnected()) return aErrNone;
  if (other == nullptr || other->m_link == nullptr) return aErrInitialization;
  linkSpec spec;
  aErr e = other->m_link->getLinkSpecifier(&spec);
  QuivelConfig config;
  if (e == aErrNone) e = other->m_link->getConfig(&config);
  if (e == aErrNone) e = m_link->setConfig(config);
  if (e == aErrNone && config.enabled) {
    // Reach the router's device link through the link server in front of it.
    std::memset(&spec.t, 0, sizeof spec.t);
    spec.type = kLinkTypeQuivel;
    spec.t.ip.address = config.interfaceAddress;
    spec.t.ip.port = config.port;
  }
  if (e == aErrNone) e = m_link->setLinkSpecifier(spec);
  if (e == aErrNone) e = m_link->connectThroughLinkModule(*other->m_link);
  if (e == aErrNone) m_networking = false;
  return e;
}

aErr Module::reconnect() {
  if (m_link == nullptr) return aErrInitialization;
  const aErr e = m_link->connect();
  return e == aErrNone ? _autoNetwork() : e;
}

aErr Module::disconnect() {
  if (m_link == nullptr) return aErrInitialization;
  return m_link->disconnect();
}

bool Module::isConnected() const { return m_link != nullptr && m_link->isConnected(); }

bool Module::awaitDisconnect(uint32_t timeoutMs) const { return m_link == nullptr || m_link->awaitDisconnect(timeoutMs); }

int Module::getStatus() const { return m_link == nullptr ? kNoLinkStatus : m_link->getStatus(); }

uint8_t Module::getModuleAddress() const { return m_address; }

void Module::setModuleAddress(uint8_t address) { m_address = address; }

aErr Module::getLinkSpecifier(linkSpec* out) const {
  if (m_link == nullptr) return aErrNotReady;
  return m_link->getLinkSpecifier(out);
}

aErr Module::getConfig(QuivelConfig* out) const {
  if (out == nullptr) return aErrParam;
  if (m_link == nullptr) return aErrNotReady;
  return m_link->getConfig(out);
}

aErr Module::setConfig(QuivelConfig config) {
  if (m_link == nullptr) return aErrNotReady;
  return m_link->setConfig(config);
}

Link* Module::getLink() const { return m_link.get(); }

void Module::setNetworkingMode(bool networking) { m_networking = networking; }

aErr Module::enablePacketLog(const char* path) {
  if (m_link == nullptr) return aErrConfiguration;
  return m_link->enablePacketLog(path);
}

aErr Module::disablePacketLog() {
  if (m_link == nullptr) return aErrConfiguration;
  return m_link->disablePacketLog();
}

// Sends request (its first byte the command) and waits for a packet starting with the
// command byte. An answer has replyLength bytes, repeats the request's bytes 1 to
// replyLength - 2 and carries its value in its last byte; anything else is aErrUnknown.
aErr Module::infoQuery(const uint8_t* request, uint8_t length, uint8_t replyLength, uint8_t* value) {
  aErr e = m_link->sendPacket(m_address, request[0], static_cast<uint8_t>(length - 1), request + 1);
  if (e != aErrNone) return e;
  uint8_t reply[aPACKET_MAX_DATA];
  uint8_t count = 1;
  e = m_link->receivePacket(m_address, request, &count, reply);
  if (e != aErrNone) return e;
  if (count != replyLength || std::memcmp(&reply[1], &request[1], replyLength - 2u) != 0) return aErrUnknown;
  *value = reply[replyLength - 1];
  return aErrNone;
}

aErr Module::getBuild(uint32_t* build) {
  if (build == nullptr) return aErrParam;
  if (m_link == nullptr) return aErrInitialization;
  if (!m_link->isConnected()) return aErrConnection;
  const uint8_t request[] = {cmdINFO, kInfoBuild};
  aErr e = m_link->sendPacket(m_address, cmdINFO, 1, &request[1]);
  if (e != aErrNone) return e;
  uint8_t reply[aPACKET_MAX_DATA];
  uint8_t length = 2;
  e = m_link->receivePacket(m_address, request, &length, reply);
  if (e != aErrNone) return e;
  if (length != 6) return aErrSize;
  *build = aUEI_RetrieveInt(&reply[2]);
  return aErrNone;
}

aErr Module::hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t flags) {
  if (m_link == nullptr || !m_link->isConnected()) return aErrConnection;
  if (flags != 0 && flags != 0x40 && flags != 0x80) return aErrParam;
  // The answer takes the place of the flags: 0 when the UEI exists, else its code.
  const uint8_t request[] = {cmdINFO, kInfoHasUEI, command, option, index, flags};
  uint8_t answer = 0;
  const aErr e = infoQuery(request, sizeof request, sizeof request, &answer);
  return e != aErrNone ? e : static_cast<aErr>(answer);
}

aErr Module::classQuantity(uint8_t entityClass, uint8_t* count) {
  if (count != nullptr) *count = 0;
  if (m_link == nullptr || !m_link->isConnected()) return aErrConnection;
  if (count == nullptr) return aErrParam;
  const uint8_t request[] = {cmdINFO, kInfoClassQuantity, entityClass};
  return infoQuery(request, sizeof request, sizeof request + 1, count);
}

aErr Module::subClassQuantity(uint8_t entityClass, uint8_t subClass, uint8_t* count) {
  if (count != nullptr) *count = 0;
  if (m_link == nullptr || !m_link->isConnected()) return aErrConnection;
  if (count == nullptr) return aErrParam;
  const uint8_t request[] = {cmdINFO, kInfoSubClassQuantity, entityClass, subClass};
  return infoQuery(request, sizeof request, sizeof request + 1, count);
}

aErr Module::entityGroup(uint8_t entityClass, uint8_t subClass, uint8_t* group) {
  if (group != nullptr) *group = 0;
  if (m_link == nullptr || !m_link->isConnected()) return aErrConnection;
  if (group == nullptr) return aErrParam;
  const uint8_t request[] = {cmdINFO, kInfoEntityGroup, entityClass, subClass};
  return infoQuery(request, sizeof request, sizeof request + 1, group);
}

aErr Module::debug(const uint8_t* bytes, uint8_t count) {
  if (m_link == nullptr || !m_link->isConnected()) return aErrConnection;
  if (count > kMaxEcho || (count > 0 && bytes == nullptr)) return aErrParam;
  aErr e = m_link->sendPacket(m_address, cmdDEBUG, count, bytes);
  if (e != aErrNone) return e;
  const uint8_t match = cmdDEBUG;
  uint8_t reply[aPACKET_MAX_DATA];
  uint8_t length = 1;
  e = m_link->receivePacket(m_address, &match, &length, reply);
  if (e != aErrNone) return e;
  if (length != count + 1 || (count > 0 && std::memcmp(&reply[1], bytes, count) != 0)) return aErrIO;
  return aErrNone;
}

}  // namespace Tallowick
}  // namespace Quenlark
