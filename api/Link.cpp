#include "api/Link.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>
#include <mutex>
#include <utility>

#include "api/LinkImpl.h"
#include "common/unix/aTime.h"

namespace Quenlark {
namespace Tallowick {

namespace {

// Every core link creation of the process, by any Link, runs under this lock.
std::mutex linkCreateHelperSerializer;

constexpr uint64_t kAddressQueryTimeoutMs = 1000;
constexpr uint16_t kConnectPolls = 200;
constexpr aTime kPollMs = 10;
constexpr int kNoCoreLinkStatus = 8;   // what callers have always seen without a link

bool isQUIVEL(linkType type) { return type >= kLinkTypeQuivel && type <= kLinkTypeQuivelSerial; }

bool _fallbackHelper(aErr result, linkType type, bool fallback) {
  const bool retryable = result == aErrNotFound || result == aErrInitialization || result == aErrConnection;
  const bool kind = type == kLinkTypeUSB || type == kLinkTypeTCPIP || isQUIVEL(type);
  return retryable && kind && fallback;
}

// The wanted record is the link specifier being prepared: its model (0 = any) selects the device.
bool cbModelCallback(const linkSpec* found, bool* counted, void* ref) {
  linkSpec* wanted = static_cast<linkSpec*>(ref);
  if (found == nullptr || wanted == nullptr || counted == nullptr) return true;
  if (wanted->model != 0 && wanted->model != found->model) return true;
  std::memcpy(wanted, found, sizeof(linkSpec));
  *counted = true;
  return false;
}

uint8_t MatchMagic(const aPacket* packet, void*) { return packet != nullptr && packet->dataSize == 0 ? 1 : 0; }

}  // namespace

QuivelConfig::QuivelConfig()
    : enabled(1), fallback(1), localOnly(1), port(0), interfaceAddress(htonl(INADDR_LOOPBACK)) {}

// --- impl -----------------------------------------------------------------------------

Link::impl::impl(Link& o, const char* n) : owner(o) {
  if (n != nullptr) {
    hasName = true;
    name.assign(n, strnlen(n, LINK_NAME_MAX));
  }
}

Link::impl::~impl() {
  // The filter refers to this object: it goes first, also from a core link that other
  // Links still hold.
  withdrawStreamFilter();
  stopStreaming();
  if (coreLink != 0) aLink_Destroy(&coreLink);
  spec.reset();
  // Its thread only reads the core link's log by id, which is gone by now: it idles.
  aLogger_Destroy(&packetLogger);
}

aErr Link::impl::setSpecifier(const linkSpec& s) {
  if (owner.isConnected()) return aErrBusy;
  LinkSpecPtr copy(aLinkSpec_Copy(&s));
  if (!copy) return aErrMemory;
  spec = std::move(copy);
  return aErrNone;
}

aErr Link::impl::getSpecifier(linkSpec* out) const {
  if (out == nullptr) return aErrParam;
  if (spec == nullptr) return aErrNotFound;
  std::memcpy(out, spec.get(), sizeof(linkSpec));
  return aErrNone;
}

const char* Link::impl::getName() const { return hasName ? name.c_str() : nullptr; }

aErr Link::impl::connectHelper(aLinkRef borrowed) {
  if (spec == nullptr) return aErrConfiguration;
  linkSpec copy;
  std::memcpy(&copy, spec.get(), sizeof copy);
  const aErr e = linkCreateHelper(copy, borrowed);
  if (e != aErrNone) return e;
  if (coreLink == 0) return aErrConnection;
  return waitForLink(kConnectPolls);
}

aErr Link::impl::linkCreateHelper(const linkSpec& s, aLinkRef borrowed) {
  std::lock_guard<std::mutex> lock(linkCreateHelperSerializer);
  aLinkRef created = 0;
  switch (s.type) {
    case kLinkTypeUSB:
    case kLinkTypeTCPIP:
    case kLinkTypeSerial:
      if (s.type == kLinkTypeUSB) {
        created = aLink_CreateUSBAt(s.serialNumber, s.t.usb.bus, s.t.usb.address);
      } else if (s.type == kLinkTypeTCPIP) {
        created = aLink_CreateTCPIP(s.serialNumber, s.t.ip.address, static_cast<uint16_t>(s.t.ip.port));
      } else {
        char port[sizeof s.t.serial.portName + 1];
        std::memcpy(port, s.t.serial.portName, sizeof s.t.serial.portName);
        port[sizeof s.t.serial.portName] = '\0';
        created = aLink_CreateSerial(s.serialNumber, port, s.t.serial.baudRate);
      }
      if (config.enabled) {
        // A link server in front of the new device link; this Link holds the client link
        // through it, which holds the device link. Without a server the device link is
        // dropped again (its use was this Link's alone: the core never drops it itself).
        aLinkRef device = created;
        created = aLink_CreateServer(device, &config.port, &config.interfaceAddress, config.localOnly);
        if (created == 0 && device != 0) aLink_Destroy(&device);
      }
      break;
    default:
      if (!isQUIVEL(s.type)) return aErrMode;
      if (!config.enabled) return aErrConfiguration;
      // borrowed is non-zero only on the road through a router module: the core then
      // takes one more use of that link instead of making a new one.
      created = aLink_CreateClient(s.t.ip.address, static_cast<uint16_t>(s.t.ip.port), borrowed);
      break;
  }
  coreLink = created;
  return aErrNone;
}

aErr Link::impl::waitForLink(uint16_t polls) {
  int32_t status = aLink_GetStatus(coreLink);
  switch (status) {
    case kLinkStatusRunning:
      return aErrNone;
    case kLinkStatusStopping:
      return aErrBusy;
    case kLinkStatusNoStream:
    case kLinkStatusIOError:
    case kLinkStatusPacketError:
      return aErrConnection;
    case kLinkStatusStopped:
    case kLinkStatusStarting:
    case kLinkStatusSyncing:
      break;
    default:
      return aErrDuplicate;
  }
  // As long as polls checks kPollMs apart would take, but woken by the change itself.
  status = aLink_AwaitStatus(coreLink, kLinkStatusRunning, static_cast<uint64_t>(polls) * kPollMs);
  return status == kLinkStatusRunning ? aErrNone : aErrConnection;
}

aErr Link::impl::discoveryAndConnectHelper(linkType type, uint32_t serial, uint8_t model, Link* link) {
  LinkSpecPtr found;
  if (serial != 0) {
    found.reset(aDiscovery_FindModule(type, serial, config.interfaceAddress));
  } else {
    found.reset(aLinkSpec_Create(type));
    if (found) {
      found->serialNumber = 0;
      found->module = 0;
      found->router = 0;
      found->model = model;
      if (aDiscovery_EnumerateModules(type, cbModelCallback, found.get(), config.interfaceAddress) == 0)
        found.reset();
    }
  }
  if (!found) return aErrNotFound;
  link->m_impl->setSpecifier(*found);
  found.reset();
  return link->connect();
}

// --- Link -----------------------------------------------------------------------------

Link::Link(const char* name) : m_impl(std::make_unique<impl>(*this, name)) {}

Link::Link(linkSpec spec, const char* name) : m_impl(std::make_unique<impl>(*this, name)) {
  m_impl->setSpecifier(spec);
}

Link::~Link() = default;

const char* Link::getName() const { return m_impl->getName(); }

aErr Link::getConfig(QuivelConfig* out) const {
  if (out == nullptr) return aErrParam;
  *out = m_impl->config;
  return aErrNone;
}

aErr Link::setConfig(QuivelConfig config) {
  if (isConnected()) return aErrMode;
  m_impl->config = config;
  return aErrNone;
}

aErr Link::getLinkSpecifier(linkSpec* out) const { return m_impl->getSpecifier(out); }

aErr Link::setLinkSpecifier(linkSpec spec) { return m_impl->setSpecifier(spec); }

aErr Link::discoverAndConnect(linkType type, uint32_t serial, uint8_t model) {
  const aErr first = m_impl->discoveryAndConnectHelper(type, serial, model, this);
  if (!_fallbackHelper(first, type, m_impl->config.fallback != 0)) return first;
  const linkType other = isQUIVEL(type) ? kLinkTypeUSB : kLinkTypeQuivel;
  // With the feature off a link-server attempt could only end in aErrConfiguration, after
  // a discovery that may take up to a second per held offset: it is not made.
  if (isQUIVEL(other) && !m_impl->config.enabled) return first;
  return m_impl->discoveryAndConnectHelper(other, serial, model, this);
}

aErr Link::connect() {
  if (m_impl->coreLink != 0) return aErrConnection;
  return m_impl->connectHelper(0);
}

aErr Link::connectThroughLinkModule(Link& other) {
  if (other.m_impl->coreLink == 0) return aErrInitialization;
  if (m_impl->coreLink != 0) return aErrConnection;
  // The other Link's id is only lent to the creation, which takes a use of its own; it
  // is never kept here without that use.
  return m_impl->connectHelper(other.m_impl->coreLink);
}

bool Link::isConnected() const {
  return m_impl->coreLink != 0 && aLink_GetStatus(m_impl->coreLink) == kLinkStatusRunning;
}

bool Link::awaitDisconnect(uint32_t timeoutMs) const {
  if (m_impl->coreLink == 0) return true;
  return aLink_AwaitStatusChange(m_impl->coreLink, kLinkStatusRunning, timeoutMs) != kLinkStatusRunning;
}

int Link::getStatus() const {
  if (m_impl->coreLink == 0) return kNoCoreLinkStatus;
  return aLink_GetStatus(m_impl->coreLink);
}

aErr Link::getConnection(uint64_t* number) const {
  if (number == nullptr) return aErrParam;
  *number = m_impl->coreLink != 0 ? aLink_GetConnection(m_impl->coreLink) : 0;
  return *number != 0 ? aErrNone : aErrConnection;
}

aErr Link::disconnect() {
  // A core link shared with other Links lives on: it must not call this Link's filter.
  m_impl->withdrawStreamFilter();
  if (m_impl->coreLink != 0) aLink_Destroy(&m_impl->coreLink);
  return aErrNone;
}

aErr Link::reset() {
  if (m_impl->coreLink != 0) {
    aLink_Reset(m_impl->coreLink);
    m_impl->resumePacketLog();
  }
  return aErrNone;
}

aErr Link::getModuleAddress(uint8_t* address) {
  if (address == nullptr) return aErrParam;
  *address = 0;
  if (!isConnected()) return aErrNotReady;
  // A packet without data still needs a valid data pointer to be made.
  const uint8_t none = 0;
  aPacket* query = aPacket_CreateWithData(cmdSYNC, 0, &none);
  if (query != nullptr) {
    aLink_PutPacket(m_impl->coreLink, query);
    aPacket_Destroy(&query);
  }
  aPacket* reply = aLink_AwaitFirst(m_impl->coreLink, MatchMagic, nullptr, kAddressQueryTimeoutMs);
  if (reply == nullptr) return aErrNotReady;
  *address = reply->address;
  aPacket_Destroy(&reply);
  return aErrNone;
}

aErr Link::enablePooledPackets(bool on) { return aLink_EnablePooledPackets(m_impl->coreLink, on ? 1 : 0); }

}  // namespace Tallowick
}  // namespace Quenlark
