// A program that holds a Module with the default network-link configuration on a
// simulated module of its own (served on 127.0.0.1), so that tests can reach the link
// server in front of it from another process.
//   server_holder [--serial HEX] [--model N] [--no-model-answer] [--exit-live]
// Prints "DEVICE <port>" (the simulated module's TCP port), then "PORT <port>" (the
// link server's frontend), or "FAILED <aErr>" when the Module could not connect. With
// --exit-live it then returns from main with the Module, its server and client link
// alive. Otherwise it takes commands on standard input:
//   tcp      a direct TCP/IP link for the same device, in this process: "TCP <id>"
//   model    the model read through the Module: "MODEL <n>" or "MODEL-FAILED <aErr>"
//   destroy  destroys the Module: "DESTROYED"
//   quit     (or the end of input) ends the program
#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>

#include "api/Module.h"
#include "api/SystemClass.h"
#include "common/aLink.h"
#include "tests/sim/SimDevice.h"
#include "tests/sim/SimFrontEnd.h"
#include "tests/sim/model/ModelModule.h"
#include "tests/sim/model/ModelNetwork.h"

namespace {

using Quenlark::Tallowick::Module;
using Quenlark::Tallowick::QuivelConfig;
using Quenlark::Tallowick::SystemClass;

// The simulated module, with the serial number and model given.
struct Sim {
  explicit Sim(const devsim::Config& config) {
    devsim::model::ModuleConfig mc;
    mc.address = config.address;
    mc.model = config.model;
    mc.serial = config.serial;
    network = std::make_shared<devsim::model::Network>(std::make_shared<devsim::model::Module>(mc));
    device = std::make_unique<devsim::Device>(config);
    devsim::model::Network::attach(*device, network);
    tcp = std::make_unique<devsim::TcpFrontEnd>(*device);
  }
  std::shared_ptr<devsim::model::Network> network;
  std::unique_ptr<devsim::Device> device;
  std::unique_ptr<devsim::TcpFrontEnd> tcp;   // last: it stops before the device goes
};

// What main leaves open stays reachable, as a program's own handles would be: a leak
// checker must not take it for a leak of the library.
Sim* gSim = nullptr;
Module* gModule = nullptr;

linkSpec tcpSpec(uint32_t serial, uint16_t port) {
  linkSpec spec;
  std::memset(&spec, 0, sizeof spec);
  spec.type = kLinkTypeTCPIP;
  spec.serialNumber = serial;
  spec.t.ip.address = htonl(INADDR_LOOPBACK);
  spec.t.ip.port = port;
  return spec;
}

void say(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  uint32_t serial = 0x1234ABCD;
  devsim::Config config;
  bool exitLive = false;
  for (int i = 1; i < argc; i++) {
    const std::string a = argv[i];
    if (a == "--serial" && i + 1 < argc) {
      serial = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 16));
    } else if (a == "--model" && i + 1 < argc) {
      config.model = static_cast<uint8_t>(std::strtoul(argv[++i], nullptr, 0));
    } else if (a == "--no-model-answer") {
      config.answerModelQuery = false;
    } else if (a == "--exit-live") {
      exitLive = true;
    } else {
      std::fprintf(stderr, "server_holder: unknown argument %s\n", argv[i]);
      return 2;
    }
  }
  config.serial = serial;
  config.address = 0x04;
  gSim = new Sim(config);
  if (!gSim->tcp->ok()) return 3;
  say("DEVICE " + std::to_string(gSim->tcp->port()));

  gModule = new Module(0x04);   // the default configuration: a server in front
  const aErr e = gModule->connectFromSpec(tcpSpec(serial, gSim->tcp->port()));
  if (e != aErrNone) {
    say("FAILED " + std::to_string(e));
  } else {
    QuivelConfig c;
    gModule->getConfig(&c);
    say("PORT " + std::to_string(c.port));
  }
  if (exitLive) return 0;

  std::string command;
  while (std::getline(std::cin, command)) {
    if (command == "tcp") {
      say("TCP " + std::to_string(aLink_CreateTCPIP(serial, htonl(INADDR_LOOPBACK), gSim->tcp->port())));
    } else if (command == "model") {
      SystemClass system;
      system.init(gModule, 0);
      uint8_t model = 0;
      const aErr read = system.getModel(&model);
      say(read == aErrNone ? "MODEL " + std::to_string(model) : "MODEL-FAILED " + std::to_string(read));
    } else if (command == "destroy") {
      delete gModule;
      gModule = nullptr;
      say("DESTROYED");
    } else if (command == "quit") {
      break;
    }
  }
  delete gModule;
  gModule = nullptr;
  delete gSim;
  gSim = nullptr;
  return 0;
}
