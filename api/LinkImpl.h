#pragma once
// The private state of a Link, shared by the units that implement its operations.
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "api/Link.h"
#include "common/aLinkSpecifier.h"

namespace Quenlark {
namespace Tallowick {

// A link specifier made by the core (aLinkSpec_Create, _Copy, aDiscovery_FindModule) is
// handed back to the core to be freed.
struct LinkSpecRelease {
  void operator()(linkSpec* spec) const { aLinkSpec_Destroy(&spec); }
};
using LinkSpecPtr = std::unique_ptr<linkSpec, LinkSpecRelease>;

struct StreamEntry {
  uint64_t key = 0;
  uint8_t fresh = 0;
  Link::StreamCallback callback;
  void* ref = nullptr;
  uint32_t value = 0;
};

class Link::impl {
 public:
  impl(Link& owner, const char* name);
  ~impl();
  impl(const impl&) = delete;
  impl& operator=(const impl&) = delete;

  aErr setSpecifier(const linkSpec& spec);
  aErr getSpecifier(linkSpec* out) const;
  const char* getName() const;
  // Creates the core link for the stored specifier and waits until it runs. borrowed:
  // a core link of another Link whose use the creation shares (0 for none).
  aErr connectHelper(aLinkRef borrowed);
  aErr linkCreateHelper(const linkSpec& spec, aLinkRef borrowed);
  aErr waitForLink(uint16_t polls);
  aErr discoveryAndConnectHelper(linkType type, uint32_t serial, uint8_t model, Link* link);

  Link& owner;
  aLinkRef coreLink = 0;
  QuivelConfig config;
  std::map<uint64_t, StreamEntry> streams;
  std::mutex streamsLock;
  bool hasName = false;
  std::string name;
  LinkSpecPtr spec;
};

}  // namespace Tallowick
}  // namespace Quenlark
