#include "tests/imx/SdpHidFrontEnd.h"

#include <algorithm>

namespace sdpsim {

namespace {
constexpr uint16_t kVendor = 0x1FC9;
constexpr uint16_t kProduct = 0x0130;
constexpr uint8_t kCommandReport = 1;
constexpr uint8_t kDataReport = 2;
constexpr uint8_t kStateReport = 3;
constexpr uint8_t kAnswerReport = 4;
constexpr size_t kAnswerBytes = 64;
}  // namespace

HidFrontEnd::HidFrontEnd(Rom& rom, UMockdevTestbed* testbed) : rom_(rom) {
  hidemu::HidSpec spec;
  spec.vendorId = kVendor;
  spec.productId = kProduct;
  spec.manufacturer = "Emulated";
  spec.product = "Serial downloader";
  spec.reportDescriptor = hidemu::sdpReportDescriptor();
  std::lock_guard<std::mutex> guard(mutex_);
  device_ = std::make_unique<hidemu::HidrawDevice>(
      testbed, spec, [this](const uint8_t* report, size_t length) { output(report, length); });
}

HidFrontEnd::~HidFrontEnd() {
  std::unique_ptr<hidemu::HidrawDevice> device;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    device = std::move(device_);  // a report still arriving is dropped
  }
  device.reset();  // waits for the device's last handler
}

unsigned HidFrontEnd::strayDataReports() const { return strayData_; }

void HidFrontEnd::output(const uint8_t* report, size_t length) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (!device_) return;
  std::vector<Answer> answers;
  if (report[0] == kCommandReport && length >= 1 + kFrameBytes) {
    rom_.command(report + 1, answers);
  } else if (report[0] == kDataReport) {
    const size_t expected = rom_.dataExpected();
    if (expected == 0) {
      strayData_++;
    } else {
      rom_.data(report + 1, std::min(expected, length - 1), answers);
    }
  }
  for (const Answer& a : answers) {
    if (a.kind == Answer::SecurityState) {
      std::vector<uint8_t> r = {kStateReport};
      r.insert(r.end(), a.bytes.begin(), a.bytes.end());
      device_->send(r.data(), r.size());
      continue;
    }
    // Longer answers (register reads of many words) take several reports.
    size_t at = 0;
    do {
      std::vector<uint8_t> r(1 + kAnswerBytes, 0);
      r[0] = kAnswerReport;
      const size_t n = std::min(kAnswerBytes, a.bytes.size() - at);
      std::copy(a.bytes.begin() + static_cast<std::ptrdiff_t>(at),
                a.bytes.begin() + static_cast<std::ptrdiff_t>(at + n), r.begin() + 1);
      device_->send(r.data(), r.size());
      at += n;
    } while (at < a.bytes.size());
  }
}

}  // namespace sdpsim
