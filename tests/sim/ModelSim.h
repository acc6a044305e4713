#pragma once
// One simulated module with the model's behaviour, served on loopback TCP, for the
// self-tests that reach it with a RawHost.
#include <memory>

#include "tests/sim/SimDevice.h"
#include "tests/sim/SimFrontEnd.h"
#include "tests/sim/model/ModelModule.h"
#include "tests/sim/model/ModelNetwork.h"

namespace simtest {

struct ModelSim {
  explicit ModelSim(uint8_t address = 0x04, devsim::Config config = devsim::Config()) {
    devsim::model::ModuleConfig mc;
    mc.address = address;
    config.address = address;
    module = std::make_shared<devsim::model::Module>(mc);
    network = std::make_shared<devsim::model::Network>(module);
    device = std::make_unique<devsim::Device>(config);
    devsim::model::Network::attach(*device, network);
    tcp = std::make_unique<devsim::TcpFrontEnd>(*device);
  }

  std::shared_ptr<devsim::model::Module> module;
  std::shared_ptr<devsim::model::Network> network;
  std::unique_ptr<devsim::Device> device;
  std::unique_ptr<devsim::TcpFrontEnd> tcp;   // last: it stops before the device goes
};

}  // namespace simtest
