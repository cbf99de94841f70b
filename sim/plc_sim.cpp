// SPDX-License-Identifier: MIT
// The simulated PLC's state and the order in which it takes what it hears.
// How bytes become requests is in framing.cpp, what each request does in
// application_dialogue.cpp and loader_dialogue.cpp, and the faults in
// faults.cpp.
#include "sim/plc_sim.h"

#include <algorithm>

#include "sim/faults.h"
#include "sim/framing.h"
#include "sim/sim_text.h"

namespace {

using sim::Format;

// What the record keeps, so that a long run of noise cannot eat the memory.
constexpr size_t kMaxRequests = 500000;
constexpr size_t kMaxViolations = 10000;
constexpr size_t kMaxKeptBytes = 600;
constexpr size_t kBlockHeader = 3;

std::string LineText(const LineSettings& line, bool speedOnly) {
  if (line.baudRate == 0) return "a line never configured";
  if (speedOnly) return Format("%u baud", line.baudRate);
  const char parity = line.parity == 0 ? 'N' : line.parity == 1 ? 'O' : 'E';
  const char* stop = line.stopBits == 0 ? "1" : line.stopBits == 1 ? "1.5" : "2";
  return Format("%u baud %u%c%s", line.baudRate, line.byteSize, parity, stop);
}

bool SameLine(const LineSettings& a, const LineSettings& b, bool speedOnly) {
  if (a.baudRate != b.baudRate) return false;
  return speedOnly ||
         (a.byteSize == b.byteSize && a.parity == b.parity && a.stopBits == b.stopBits);
}

}  // namespace

std::string_view PlcModeName(PlcMode mode) {
  switch (mode) {
    case PlcMode::kApplication: return "application";
    case PlcMode::kRestarting: return "restarting";
    case PlcMode::kLoader: return "loader";
  }
  return "?";
}

PlcSimulator::PlcSimulator(PlcSettings settings)
    : settings_(std::move(settings)),
      model_(sim::PlcModelAt(settings_.model)),
      plan_(sim::ImagePlanOf(model_, settings_.imageSize)),
      mode_(settings_.startMode),
      noise_(settings_.bitErrorSeed) {
  settings_.model = model_.index;
  if (mode_ == PlcMode::kRestarting) mode_ = PlcMode::kApplication;
  if (plan_.tooSmall) {
    Violation(
        Format("an image of %u bytes is below the 4096 bytes this model needs; the tool "
               "refuses it, so no count can be checked",
               settings_.imageSize));
  }
  blockTries_.assign(plan_.blocks, 0);
  for (const PlcFault& fault : settings_.faults) {
    const std::string problem = PlcFaultProblem(fault);
    if (!problem.empty()) Violation("settings: " + problem);
  }
}

bool PlcSimulator::Connect() {
  if (connected_) return false;
  connected_ = true;
  linkDropped_ = false;
  ++record_.connections;
  pending_.clear();
  output_.clear();
  outputLate_ = false;
  lastReplyLost_ = false;
  eraseAccepted_ = false;
  // The replug or power cycle: a PLC told to start its loader now does; a
  // loader whose update completed starts the new firmware; a loader
  // otherwise begins its dialogue afresh.
  if (mode_ == PlcMode::kRestarting) {
    mode_ = PlcMode::kLoader;
  } else if (mode_ == PlcMode::kLoader && restartPending_) {
    restartPending_ = false;
    switch (settings_.restartAfterUpdate) {
      case RestartAfterUpdate::kNewFirmware: mode_ = PlcMode::kApplication; break;
      case RestartAfterUpdate::kLoader: break;
      case RestartAfterUpdate::kSilent: dead_ = true; break;
    }
  }
  StartLoaderDialogue();
  return true;
}

void PlcSimulator::Disconnect() {
  if (!connected_) return;
  if (!pending_.empty() && !linkDropped_) {
    Violation(
        Format("the link was closed with %zu bytes of an incomplete request", pending_.size()));
  }
  connected_ = false;
  pending_.clear();
  output_.clear();
  outputLate_ = false;
}

void PlcSimulator::Receive(std::span<const uint8_t> bytes, const LineSettings& line,
                           bool speedOnly) {
  if (!connected_ || linkDropped_) return;
  if (pending_.empty()) {
    pendingLine_ = line;
    pendingSpeedOnly_ = speedOnly;
  }
  pending_.insert(pending_.end(), bytes.begin(), bytes.end());
  while (!pending_.empty() && !linkDropped_) {
    const sim::FramedRequest framed = sim::NextRequest(pending_, ListensFor());
    if (framed.length == 0) break;
    Handle(framed);
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(framed.length));
    // Whatever is left arrived with this call.
    pendingLine_ = line;
    pendingSpeedOnly_ = speedOnly;
  }
  if (linkDropped_) pending_.clear();
}

void PlcSimulator::LineIdle() {
  if (pending_.empty()) return;
  Handle({pending_.size(), PlcRequest::kUnknown,
          Format("incomplete request of %zu bytes given up when the line went quiet",
                 pending_.size())});
  pending_.clear();
}

PlcSimulator::Output PlcSimulator::TakeOutput() {
  Output out{{output_.begin(), output_.end()},
             settings_.replyDelayMs + (outputLate_ ? settings_.lateReplyMs : 0)};
  output_.clear();
  outputLate_ = false;
  return out;
}

sim::Listening PlcSimulator::ListensFor() const {
  return {mode_ == PlcMode::kLoader, step_ == Step::kUpdating || step_ == Step::kComplete,
          model_.aio, plan_.blockBytes};
}

void PlcSimulator::Handle(const sim::FramedRequest& framed) {
  const std::span<const uint8_t> bytes(pending_.data(), framed.length);
  const PlcRequest request = framed.request;
  const bool kept = record_.requests.size() < kMaxRequests;
  if (kept) {
    PlcRequestRecord entry{
        mode_, request, record_.connections, static_cast<uint32_t>(framed.length), {}, {},
        {},    false};
    const size_t keep = request == PlcRequest::kBlock ? kBlockHeader : kMaxKeptBytes;
    entry.bytes.assign(bytes.begin(),
                       bytes.begin() + static_cast<std::ptrdiff_t>(std::min(keep, bytes.size())));
    record_.requests.push_back(std::move(entry));
  } else {
    ++record_.requestsDropped;
  }
  auto noteFault = [&](const PlcFault& fault) {
    if (kept) record_.requests.back().fault = std::string(FaultKindName(fault.kind));
  };
  auto send = [&](const std::vector<uint8_t>& reply) {
    output_.insert(output_.end(), reply.begin(), reply.end());
    if (kept) record_.requests.back().reply = reply;
  };

  const bool confirmExpected = eraseAccepted_;
  eraseAccepted_ = false;
  ++requestsHeard_;
  const uint32_t heard = ++heard_[static_cast<int>(request)];

  // A PLC whose firmware did not start hears nothing and breaks no rule.
  if (dead_) return;
  if (!framed.problem.empty()) {
    Violation(framed.problem);
    return;  // what a PLC cannot read it does not answer
  }
  if (mode_ == PlcMode::kRestarting) {
    Violation(
        Format("%s while the PLC restarts into its loader: it waits for the link to be "
               "closed and opened again (replug or power cycle)",
               std::string(PlcRequestName(request)).c_str()));
    return;
  }
  if (const std::string problem = LineProblem(request); !problem.empty()) {
    Violation(problem);
    return;
  }

  const bool retry = IsRetry(request, bytes);
  if (!retry) {
    const std::string order = mode_ == PlcMode::kApplication
                                  ? ApplicationOutOfOrder(request, confirmExpected)
                                  : LoaderOutOfOrder(request);
    if (!order.empty()) {
      Violation(order);
      return;
    }
  }

  sim::Hearing hearing{request, heard, 0, requestsHeard_};
  if (request == PlcRequest::kBlock) {
    hearing.block = record_.blocksWritten + 1;
    hearing.count = hearing.block <= blockTries_.size() ? ++blockTries_[hearing.block - 1] : 1;
  }
  const PlcFault* fault = sim::FaultFor(settings_.faults, hearing);
  if (fault != nullptr) noteFault(*fault);
  if (fault != nullptr && sim::TakesThePlaceOfTheAction(fault->kind)) {
    if (fault->kind == FaultKind::kDisconnect) {
      linkDropped_ = true;
      output_.clear();
    } else if (fault->kind != FaultKind::kSilence) {
      send(sim::ReplyInstead(*fault, request, model_.aio));
    }
    return;
  }

  std::vector<uint8_t> reply =
      mode_ == PlcMode::kApplication ? ActApplication(request) : ActLoader(request, bytes, retry);
  const std::vector<uint8_t> intended = reply;
  const bool late = fault != nullptr && fault->kind == FaultKind::kLate;
  if (fault != nullptr && !late) {
    sim::Damage(fault->kind, reply);
    if (kept && reply == intended) record_.requests.back().fault += " (left the reply unchanged)";
  }
  const bool noisy = sim::FlipBits(reply, settings_.bitErrorRate, noise_);
  if (kept) record_.requests.back().noisy = noisy;
  lastRequest_ = request;
  lastReplyLost_ = reply != intended || late;
  outputLate_ = outputLate_ || late;
  send(reply);
}

// Serial models hear a request at another speed (or frame format) as noise.
std::string PlcSimulator::LineProblem(PlcRequest request) const {
  if (!settings_.checkLineSpeed || !model_.com) return {};
  const LineSettings wanted = request == PlcRequest::kBlock || request == PlcRequest::kTransferEnd
                                  ? kLoaderLineSettings
                                  : kApplicationLineSettings;
  if (SameLine(pendingLine_, wanted, pendingSpeedOnly_)) return {};
  return Format("%s sent at %s while the PLC listens at %s: heard as noise",
                std::string(PlcRequestName(request)).c_str(),
                LineText(pendingLine_, pendingSpeedOnly_).c_str(),
                LineText(wanted, pendingSpeedOnly_).c_str());
}

void PlcSimulator::Violation(std::string reason) {
  if (record_.violations.size() >= kMaxViolations) {
    ++record_.violationsDropped;
    return;
  }
  record_.violations.push_back({requestsHeard_, std::move(reason)});
}
