#pragma once
// The application's handle on one device: it owns a Link, remembers the device's
// module address (every packet to it carries that address) and the model wanted when
// discovering, and after each connection learns the device's own address from the
// device (auto-networking). It cannot be copied: it owns its Link.
#include <cstdint>
#include <memory>

#include "api/Link.h"

namespace Quenlark {
namespace Tallowick {

class Module {
 public:
  // Auto-networking on.
  explicit Module(uint8_t address = 2, uint8_t model = 0);
  Module(uint8_t address, bool networking, uint8_t model);
  virtual ~Module();
  Module(const Module&) = delete;
  Module& operator=(const Module&) = delete;

  // serial 0: aErrParam without discovery.
  aErr connect(linkType type, uint32_t serial);
  aErr discoverAndConnect(linkType type, uint32_t serial);
  // aErrBusy when already connected.
  aErr connectFromSpec(linkSpec spec);
  // Shares the core link of a router module (other); the device's address is set by
  // the caller. aErrNone at once when already connected.
  aErr connectThroughLinkModule(Module* other);
  aErr reconnect();
  aErr disconnect();
  bool isConnected() const;
  // Waits up to timeoutMs for the module's link to drop; true when it is not connected.
  bool awaitDisconnect(uint32_t timeoutMs) const;
  int getStatus() const;

  uint8_t getModuleAddress() const;
  void setModuleAddress(uint8_t address);
  aErr getLinkSpecifier(linkSpec* out) const;
  aErr getConfig(QuivelConfig* out) const;
  aErr setConfig(QuivelConfig config);
  Link* getLink() const;
  void setNetworkingMode(bool networking);
  aErr enablePacketLog(const char* path);
  aErr disablePacketLog();

  // Module information (cmdINFO) and the echo test (cmdDEBUG), 1000 ms each.
  aErr getBuild(uint32_t* build);
  // flags: 0, 0x40 (a GET of the UEI) or 0x80 (a SET); the device's answer, 0 = exists.
  aErr hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t flags);
  aErr classQuantity(uint8_t entityClass, uint8_t* count);
  aErr subClassQuantity(uint8_t entityClass, uint8_t subClass, uint8_t* count);
  aErr entityGroup(uint8_t entityClass, uint8_t subClass, uint8_t* group);
  aErr debug(const uint8_t* bytes, uint8_t count);

 private:
  aErr _autoNetwork();
  aErr infoQuery(const uint8_t* request, uint8_t length, uint8_t replyLength, uint8_t* value);

  std::unique_ptr<Link> m_link;
  uint8_t m_address;
  bool m_networking;
  uint8_t m_model;
};

}  // namespace Tallowick
}  // namespace Quenlark
