#include "tests/sim/model/ModelNetwork.h"

#include <algorithm>

namespace devsim {
namespace model {

Network::Network(std::shared_ptr<Module> front) : front_(std::move(front)) {}

std::shared_ptr<Module> Network::front() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return front_;
}

void Network::addBehind(std::shared_ptr<Module> module) {
  const uint8_t address = module->address();
  std::shared_ptr<Module> front;
  std::function<void()> waker;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    behind_[address] = module;
    front = front_;
    waker = waker_;
  }
  if (waker) module->setWaker(waker);
  front->addI2CDevice(address);
}

void Network::removeBehind(uint8_t address) {
  std::shared_ptr<Module> front;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    behind_.erase(address);
    front = front_;
  }
  front->removeI2CDevice(address);
}

std::shared_ptr<Module> Network::at(uint8_t address) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (front_->address() == address) return front_;
  auto it = behind_.find(address);
  return it == behind_.end() ? nullptr : it->second;
}

void Network::setIntercept(Intercept intercept) {
  std::lock_guard<std::mutex> lock(mutex_);
  intercept_ = std::move(intercept);
}

bool Network::handle(const WirePacket& in, std::vector<WirePacket>& out) {
  Intercept intercept;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    intercept = intercept_;
  }
  if (intercept && intercept(in, out)) return true;
  // Heartbeat answers stay with the device, which keeps their count.
  if (in.data.size() == 2 && in.data[0] == 0x00) return false;
  std::shared_ptr<Module> module = at(in.address);
  // Nobody at that address: a real network has no one to answer either.
  if (!module) return true;
  return module->handle(in, out);
}

uint64_t Network::takeDue(uint64_t nowMs, std::vector<WirePacket>& out) {
  std::vector<std::shared_ptr<Module>> modules;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    modules.push_back(front_);
    for (const auto& b : behind_) modules.push_back(b.second);
  }
  uint64_t next = kNever;
  for (const auto& m : modules) next = std::min(next, m->takeDue(nowMs, out));
  return next;
}

void Network::setWaker(std::function<void()> waker) {
  std::vector<std::shared_ptr<Module>> modules;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    waker_ = waker;
    modules.push_back(front_);
    for (const auto& b : behind_) modules.push_back(b.second);
  }
  for (const auto& m : modules) m->setWaker(waker);
}

void Network::attach(Device& device, const std::shared_ptr<Network>& network) {
  device.addHandler([network](const WirePacket& in, Device& dev) {
    std::vector<WirePacket> out;
    if (!network->handle(in, out)) return false;
    for (const auto& p : out) dev.reply(p);
    return true;
  });
  network->setWaker(device.waker());
  device.addSource([network](uint64_t nowMs, std::vector<WirePacket>& out) { return network->takeDue(nowMs, out); });
}

std::shared_ptr<Network> Network::install(Device& device) {
  const Config dc = device.config();
  ModuleConfig mc;
  mc.address = dc.address;
  mc.model = dc.model;
  mc.serial = dc.serial;
  auto network = std::make_shared<Network>(std::make_shared<Module>(mc));
  attach(device, network);
  return network;
}

}  // namespace model
}  // namespace devsim
