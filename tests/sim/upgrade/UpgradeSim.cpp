#include "tests/sim/upgrade/UpgradeSim.h"

#include <cstdio>
#include <fstream>
#include <sstream>

namespace devsim {
namespace upgrade {

namespace {
constexpr uint32_t kReturnWaitMs = 20000;
constexpr uint32_t kAcknowledgeDelayMs = 300;

bool writeWhole(const std::string& path, const std::string& bytes) {
  const std::string temporary = path + ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out.flush()) return false;
  }
  return std::rename(temporary.c_str(), path.c_str()) == 0;
}

std::string hex8(uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "%08X", v);
  return text;
}
}  // namespace

UpgradeSim::UpgradeSim(const SimOptions& options) : options_(options) {
  front_ = std::make_shared<model::Module>(options.module);
  network_ = std::make_shared<model::Network>(front_);
  Config dc;
  dc.address = options.module.address;
  dc.model = options.module.model;
  dc.serial = options.module.serial;
  device_ = std::make_unique<Device>(dc);
  model::Network::attach(*device_, network_);

  auto frontUpgrade = std::make_unique<UpgradeDevice>(options.module.address, options.upgrade);
  frontUpgrade->setLoadAcknowledgedBySink(options.loadLeaveMs >= 0);
  UpgradeDevice* raw = frontUpgrade.get();
  frontUpgrade->setEventSink([this, raw](Event event) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      events_.push_back(Pending{event, raw});
    }
    wake_.notify_all();
  });
  if (options.upgrade.acceptUeiData) front_->addUEI(kCmdUpgrade, kDataUei);
  upgrades_.emplace_back(options.module.serial, std::move(frontUpgrade));

  for (const BehindModule& b : options.behind) {
    model::ModuleConfig mc = options.module;
    mc.address = b.address;
    mc.serial = b.serial;
    mc.model = b.model;
    mc.router = options.module.address;
    auto m = std::make_shared<model::Module>(mc);
    if (options.upgrade.acceptUeiData) m->addUEI(kCmdUpgrade, kDataUei);
    network_->addBehind(m);
    upgrades_.emplace_back(b.serial, std::make_unique<UpgradeDevice>(b.address, options.upgrade));
  }

  // After the model: packets of command 0x5F reach this handler because no model
  // module speaks that command.
  device_->addHandler([this](const WirePacket& in, Device& dev) {
    for (auto& u : upgrades_) {
      std::vector<WirePacket> out;
      if (!u.second->handle(in, out)) continue;
      for (const auto& p : out) dev.reply(p);
      if (u.second->takeOverDue()) {
        UpgradeDevice* taken = u.second.get();
        tcp_->takeOverAfterReplies([taken] { taken->otherHostPiece(); });
      }
      return true;
    }
    return false;
  });

  tcp_ = std::make_unique<TcpFrontEnd>(*device_, options.tcpPort, options.accept);
  port_ = tcp_->port();
  controller_ = std::thread([this] { control(); });
}

UpgradeSim::~UpgradeSim() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (controller_.joinable()) controller_.join();
  tcp_.reset();
}

UpgradeDevice* UpgradeSim::upgrade(uint32_t serial) {
  if (serial == 0) return upgrades_.front().second.get();
  for (auto& u : upgrades_)
    if (u.first == serial) return u.second.get();
  return nullptr;
}

std::vector<std::pair<uint32_t, UpgradeDevice*>> UpgradeSim::upgrades() {
  std::vector<std::pair<uint32_t, UpgradeDevice*>> out;
  for (auto& u : upgrades_) out.emplace_back(u.first, u.second.get());
  return out;
}

void UpgradeSim::control() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stopping_ || !events_.empty(); });
    if (stopping_) return;
    Pending p = events_.front();
    events_.pop_front();
    lock.unlock();
    if (p.event == Event::LoaderStarted && options_.loadLeaveMs >= 0)
      leave(static_cast<uint32_t>(options_.loadLeaveMs), true, p.from);
    else if (p.event == Event::Rebooted && options_.rebootLeaveMs >= 0)
      leave(static_cast<uint32_t>(options_.rebootLeaveMs), false, p.from);
    lock.lock();
  }
}

// Runs on the controller thread: the front end's own thread must stay free to carry
// out the requests posted to it.
void UpgradeSim::leave(uint32_t awayMs, bool acknowledgeLoad, UpgradeDevice* from) {
  tcp_->setListening(false);
  tcp_->closeConnection();
  if (options_.neverReturn) return;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    if (wake_.wait_for(lock, std::chrono::milliseconds(awayMs), [this] { return stopping_; })) return;
  }
  const uint32_t before = device_->connections();
  tcp_->setListening(true);
  if (!acknowledgeLoad) return;
  const uint64_t deadline = nowMs() + kReturnWaitMs;
  while (device_->connections() == before) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (wake_.wait_for(lock, std::chrono::milliseconds(20), [this] { return stopping_; })) return;
    if (nowMs() >= deadline) return;
  }
  // The host synchronises its new link first; then the loader announces itself.
  std::unique_lock<std::mutex> lock(mutex_);
  if (wake_.wait_for(lock, std::chrono::milliseconds(kAcknowledgeDelayMs), [this] { return stopping_; })) return;
  lock.unlock();
  device_->send(from->loadAcknowledgement());
}

bool UpgradeSim::dump(const std::string& dir) {
  bool good = true;
  for (auto& u : upgrades_) {
    const std::string base = dir + "/" + hex8(u.first);
    uint32_t flashLow = 0, loaderLow = 0;
    const std::vector<uint8_t> flash = u.second->image(&flashLow);
    const std::vector<uint8_t> loader = u.second->loaderImage(&loaderLow);
    good = writeWhole(base + ".flash", std::string(flash.begin(), flash.end())) && good;
    good = writeWhole(base + ".loader", std::string(loader.begin(), loader.end())) && good;
    std::ostringstream stats;
    stats << u.second->report() << "flash_base=0x" << hex8(flashLow) << "\nloader_base=0x" << hex8(loaderLow)
          << "\nstate=" << u.second->stateName() << "\nconnections=" << device_->connections()
          << "\nturned_away=" << tcp_->turnedAway() << "\nfirst_connection_ms=" << device_->firstConnectedMs()
          << "\n";
    good = writeWhole(base + ".stats", stats.str()) && good;
  }
  if (options_.trace) {
    std::ostringstream lines;
    for (const Received& r : device_->received()) {
      lines << r.atMs;
      char byte[4];
      std::snprintf(byte, sizeof byte, " %02X", r.packet.address);
      lines << byte;
      std::snprintf(byte, sizeof byte, " %02X", static_cast<unsigned>(r.packet.data.size()));
      lines << byte;
      for (uint8_t b : r.packet.data) {
        std::snprintf(byte, sizeof byte, " %02X", b);
        lines << byte;
      }
      lines << "\n";
    }
    good = writeWhole(dir + "/" + hex8(options_.module.serial) + ".packets", lines.str()) && good;
  }
  return good;
}

}  // namespace upgrade
}  // namespace devsim
