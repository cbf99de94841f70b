// SPDX-License-Identifier: MIT
// The PLC's application firmware: Modbus ASCII at station 0x00, function
// 0x64 for the tool's commands and 0x03 for the variant registers. The erase
// request, and its confirmation, make the PLC restart into its loader.
#include "sim/framing.h"
#include "sim/plc_sim.h"

using sim::kAck;

std::string PlcSimulator::ApplicationOutOfOrder(PlcRequest request, bool confirmExpected) const {
  if (request == PlcRequest::kConfirmA && !confirmExpected) {
    return "erase confirmation not right after an accepted erase request";
  }
  return {};
}

std::vector<uint8_t> PlcSimulator::ActApplication(PlcRequest request) {
  const uint8_t sub = sim::SubCodeOf(request, model_.aio);
  switch (request) {
    case PlcRequest::kWakeUp: return WakeUpReply();
    case PlcRequest::kCommCheck: return sim::Function64Reply(sub, 0x05, 0, 0);
    case PlcRequest::kIdentityA:
      return sim::Function64Reply(sub, kAck, static_cast<uint8_t>(settings_.applicationId >> 8),
                                  static_cast<uint8_t>(settings_.applicationId));
    case PlcRequest::kReadD1386: return sim::RegisterReply(settings_.d1386);
    case PlcRequest::kReadD1001: return sim::RegisterReply(settings_.d1001);
    case PlcRequest::kReadD1148: return sim::RegisterReply(settings_.d1148);
    case PlcRequest::kVersionA:
      return sim::Function64Reply(sub, settings_.applicationVersion, 0, 0);
    case PlcRequest::kEraseA:
      if (settings_.eraseRestartsSilently) {
        Restart();
        return {};
      }
      eraseAccepted_ = true;
      return sim::Function64Reply(sub, kAck, 0, 0);
    case PlcRequest::kConfirmA: Restart(); return {};
    default: return {};
  }
}

// The loader answers the wake-up frames as the firmware does.
std::vector<uint8_t> PlcSimulator::WakeUpReply() const {
  return settings_.answerWakeUp ? sim::ExceptionReply(0x7F, 0x01) : std::vector<uint8_t>{};
}

void PlcSimulator::Restart() {
  if (settings_.staysInApplication) return;
  // R4 models keep the link and start the loader at once; the others wait
  // for the replug or the power cycle.
  if (model_.keepsLink) {
    mode_ = PlcMode::kLoader;
    StartLoaderDialogue();
  } else {
    mode_ = PlcMode::kRestarting;
  }
  restartPending_ = false;
}
