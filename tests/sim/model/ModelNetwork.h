#pragma once
// The modules behind one link. The front module is the one the link reaches (it answers
// the link's sync requests); in router mode further modules sit behind it on its I2C
// network, each reached at its own module address over the same link, and the front
// module's I2C bus answers probes of their addresses. A probe of an address where no
// module sits is answered at once with a failure status.
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "tests/sim/SimDevice.h"
#include "tests/sim/model/ModelModule.h"

namespace devsim {
namespace model {

class Network {
 public:
  // Sees each packet before the modules do; true when it answered (or dropped) it.
  using Intercept = std::function<bool(const WirePacket&, std::vector<WirePacket>&)>;

  explicit Network(std::shared_ptr<Module> front);

  std::shared_ptr<Module> front() const;
  // Puts a module behind the front module (router mode) or takes it away.
  void addBehind(std::shared_ptr<Module> module);
  void removeBehind(uint8_t address);
  std::shared_ptr<Module> at(uint8_t address) const;
  void setIntercept(Intercept intercept);

  // Answers a packet; false when no module speaks it (the device's built-ins may).
  bool handle(const WirePacket& in, std::vector<WirePacket>& out);
  // The modules' unasked packets due by nowMs; returns when the next is due.
  uint64_t takeDue(uint64_t nowMs, std::vector<WirePacket>& out);
  // Handed to every module, present and later ones (Module::setWaker).
  void setWaker(std::function<void()> waker);

  // Installs the network as the device's handler and as a source of its timed packets.
  // The device's sync answers use its own configured address, so keep that equal to the
  // front module's.
  static void attach(Device& device, const std::shared_ptr<Network>& network);
  // A network of one module with the device's address, model and serial number,
  // attached to it: the whole device behaviour for a standalone simulator.
  static std::shared_ptr<Network> install(Device& device);

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<Module> front_;
  std::map<uint8_t, std::shared_ptr<Module>> behind_;
  Intercept intercept_;
  std::function<void()> waker_;
};

}  // namespace model
}  // namespace devsim
