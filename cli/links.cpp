// SPDX-License-Identifier: MIT
#include "cli/links.h"

#include <chrono>
#include <thread>

#include "catalogue/model_table.h"
#include "discovery/usb.h"
#include "discovery/usb_plc.h"
#include "link/serial.h"
#include "sim/plc_sim.h"
#include "sim/sim_link.h"

namespace {

// The simulated wire: every byte takes its time at the line speed in force,
// sped up so that a 2 MB image takes half a minute rather than three.
class PacedLink final : public Link {
 public:
  explicit PacedLink(std::unique_ptr<Link> inner) : inner_(std::move(inner)) {}
  size_t Write(const uint8_t* data, size_t n) override { return Pace(inner_->Write(data, n)); }
  size_t Read(uint8_t* data, size_t n) override { return Pace(inner_->Read(data, n)); }
  size_t Drain(uint8_t* data, size_t n, uint32_t quietMs) override {
    return Pace(inner_->Drain(data, n, quietMs));
  }
  void SetTimeouts(const Timeouts& timeouts) override { inner_->SetTimeouts(timeouts); }
  void ApplyLineSettings(const LineSettings& settings) override {
    baudRate_ = settings.baudRate;
    inner_->ApplyLineSettings(settings);
  }

 private:
  static constexpr uint32_t kSpeedUp = 8;
  static constexpr uint32_t kBitsPerByte = 10;  // start, 7 or 8 data, parity or not, stop
  size_t Pace(size_t bytes) {
    std::this_thread::sleep_for(std::chrono::microseconds(
        bytes * kBitsPerByte * 1000000 / (static_cast<uint64_t>(baudRate_) * kSpeedUp)));
    return bytes;
  }
  std::unique_ptr<Link> inner_;
  uint32_t baudRate_ = kApplicationLineSettings.baudRate;
};

LinkOpening Paced(std::unique_ptr<Link> link) {
  if (!link) return {nullptr, OpenFailure::kBusy, "the simulated PLC is open already"};
  return {std::make_unique<PacedLink>(std::move(link)), OpenFailure::kNone, {}};
}

}  // namespace

LinkSource PlcLinks(const std::string& usbPath) {
  LinkSource links;
  links.openSerial = [](const std::string& port) { return OpenSerialLink(port); };
  links.openUsb = [usbPath]() -> LinkOpening {
    if (usbPath.empty()) return OpenMyDevPipe();
    return OpenWithinReopenWindow([&usbPath] { return OpenUsbDevicePath(usbPath); }, SleepFor);
  };
  return links;
}

LinkSource UsbPlcLinksAt(const std::string& location) {
  LinkSource links;
  links.openSerial = [](const std::string& port) { return OpenSerialLink(port); };
  links.openUsb = [location] { return OpenUsbPlcAt(location); };
  links.usbSerialNow = [location] {
    for (const UsbPlc& plc : ListUsbPlcs()) {
      if (plc.location == location) return plc.serial;
    }
    return std::string();
  };
  return links;
}

LinkSource SimulatedLinks(const std::string& model, uint32_t imageSize) {
  auto plc = std::make_shared<PlcSimulator>(DefaultPlcSettings(*FindModel(model), imageSize));
  LinkSource links;
  links.openSerial = [plc](const std::string&) { return Paced(OpenSimLink(*plc)); };
  links.openUsb = [plc]() { return Paced(OpenSimLink(*plc)); };
  return links;
}
