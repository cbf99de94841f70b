// SPDX-License-Identifier: MIT
// The PLC's loader: the communication check (answered with 0x06), "ID",
// "VERSION" for the models that read it, the erase steps closed by 0x04,
// "UPDATE", the block packets with their CRC, and the final 0x04; each
// acknowledged with 0x06. It keeps the order, the counts the model's rules
// give for the image, and the flash it wrote.
#include <algorithm>

#include "sim/framing.h"
#include "sim/plc_sim.h"
#include "sim/sim_text.h"

using sim::Format;
using sim::kAck;
using sim::kNak;

namespace {

// Loader steps that change the PLC's state: a repeat is a new step unless
// the PLC damaged its reply to the first.
bool IsLoaderStep(PlcRequest request) {
  switch (request) {
    case PlcRequest::kErase:
    case PlcRequest::kEraseEnd:
    case PlcRequest::kUpdate:
    case PlcRequest::kBlock:
    case PlcRequest::kTransferEnd: return true;
    default: return false;
  }
}

}  // namespace

void PlcSimulator::StartLoaderDialogue() {
  step_ = Step::kFresh;
  versionRead_ = false;
}

bool PlcSimulator::IsRetry(PlcRequest request, std::span<const uint8_t> bytes) const {
  return lastReplyLost_ && request == lastRequest_ && IsLoaderStep(request) &&
         (request != PlcRequest::kBlock || bytes[1] == lastBlockNumber_);
}

std::string PlcSimulator::LoaderOutOfOrder(PlcRequest request) const {
  const std::string name(PlcRequestName(request));
  if (sim::IsApplicationOnly(request)) {
    return name + " (an application-mode request) while the PLC runs its loader";
  }
  auto before = [&](const char* what) { return name + " before " + what; };
  switch (request) {
    case PlcRequest::kWakeUp:
    case PlcRequest::kCommCheck:
      if (step_ == Step::kFresh || step_ == Step::kChecked) return {};
      return name + " in the middle of the loader dialogue";
    case PlcRequest::kId:
      if (step_ == Step::kFresh) return before("the communication check");
      if (step_ == Step::kChecked || step_ == Step::kIdentified) return {};
      return "ID after the erase began";
    case PlcRequest::kVersion:
      if (!model_.readsLoaderVersion) return "VERSION, which this model's dialogue does not have";
      if (step_ == Step::kFresh || step_ == Step::kChecked) return before("ID");
      if (step_ == Step::kIdentified) return {};
      return "VERSION after the erase began";
    case PlcRequest::kErase:
    case PlcRequest::kEraseEnd:
      if (step_ == Step::kFresh || step_ == Step::kChecked) return before("ID");
      if (step_ == Step::kIdentified && model_.readsLoaderVersion && !versionRead_) {
        return before("VERSION, which this model needs");
      }
      if (step_ == Step::kIdentified || step_ == Step::kErasing) return {};
      return name + " after the erase was closed";
    case PlcRequest::kUpdate:
      if (step_ == Step::kErased) return {};
      if (step_ == Step::kUpdating || step_ == Step::kComplete) return "UPDATE a second time";
      return "UPDATE before the erase was closed with 0x04";
    case PlcRequest::kBlock:
      if (step_ == Step::kUpdating) return {};
      if (step_ == Step::kComplete) return "block after the final 0x04";
      return "block before UPDATE";
    case PlcRequest::kTransferEnd:
      if (step_ == Step::kUpdating) return {};
      return "final 0x04 a second time";
    default: return {};
  }
}

std::vector<uint8_t> PlcSimulator::ActLoader(PlcRequest request, std::span<const uint8_t> bytes,
                                             bool retry) {
  const std::string name(model_.name);
  switch (request) {
    case PlcRequest::kWakeUp: return WakeUpReply();
    case PlcRequest::kCommCheck:
      step_ = Step::kChecked;
      return sim::Function64Reply(sim::SubCodeOf(request, model_.aio), kAck, 0, 0);
    case PlcRequest::kId:
      step_ = Step::kIdentified;
      return {kAck, static_cast<uint8_t>(settings_.loaderId >> 8),
              static_cast<uint8_t>(settings_.loaderId)};
    case PlcRequest::kVersion:
      versionRead_ = true;
      return {kAck, settings_.loaderVersion[0], settings_.loaderVersion[1]};
    case PlcRequest::kErase:
      if (retry) return {kAck};
      if (step_ != Step::kErasing) {
        step_ = Step::kErasing;
        ForgetLastUpdate();
      }
      ++record_.eraseSteps;
      if (record_.eraseSteps > plan_.eraseSteps) {
        Violation(Format("erase step %u, but %s erases %u times for an image of %u bytes",
                         record_.eraseSteps, name.c_str(), plan_.eraseSteps, settings_.imageSize));
      }
      return {kAck};
    case PlcRequest::kEraseEnd:
      if (retry) return {kAck};
      if (step_ != Step::kErasing) ForgetLastUpdate();  // no erase step at all
      if (record_.eraseSteps != plan_.eraseSteps) {
        Violation(
            Format("erase closed after %u steps, but %s erases %u times for an image of %u "
                   "bytes",
                   record_.eraseSteps, name.c_str(), plan_.eraseSteps, settings_.imageSize));
      }
      step_ = Step::kErased;
      return {kAck};
    case PlcRequest::kUpdate:
      if (retry) return {kAck};
      step_ = Step::kUpdating;
      record_.blocksWritten = 0;
      return {kAck};
    case PlcRequest::kBlock: return ActBlock(bytes, retry);
    case PlcRequest::kTransferEnd:
      if (retry) return {kAck};
      step_ = Step::kComplete;
      if (record_.blocksWritten != plan_.blocks) {
        Violation(Format("transfer closed after %u blocks, but an image of %u bytes takes %u",
                         record_.blocksWritten, settings_.imageSize, plan_.blocks));
      } else {
        record_.updateComplete = true;
        restartPending_ = true;
      }
      return {kAck};
    default: return {};
  }
}

// The erase wipes what an earlier update wrote.
void PlcSimulator::ForgetLastUpdate() {
  record_.eraseSteps = 0;
  record_.blocksWritten = 0;
  record_.updateComplete = false;
  record_.flash.clear();
}

std::vector<uint8_t> PlcSimulator::ActBlock(std::span<const uint8_t> packet, bool retry) {
  const uint32_t d = plan_.blockBytes;
  const uint8_t number = packet[1];
  const uint8_t complement = packet[2];
  if (complement != static_cast<uint8_t>(255 - number)) {
    Violation(Format("block number 0x%02X with complement 0x%02X, not 0x%02X", number, complement,
                     255 - number));
    return {kNak};
  }
  const std::span<const uint8_t> data = packet.subspan(3, d);
  const uint16_t crc = SimCrc16(data);
  const uint16_t sent = static_cast<uint16_t>(packet[3 + d] << 8 | packet[4 + d]);
  if (crc != sent) {
    Violation(
        Format("block number 0x%02X carries CRC 0x%04X, its data give 0x%04X", number, sent, crc));
    return {kNak};
  }
  // The host did not take the first acknowledgement and sent the block again.
  if (retry) return {settings_.refuseRepeatedBlock ? kNak : kAck};
  const uint8_t expected = static_cast<uint8_t>(record_.blocksWritten + 1);
  if (number != expected) {
    Violation(Format("block number 0x%02X where block %u (number 0x%02X) belongs", number,
                     record_.blocksWritten + 1, expected));
    return {kNak};
  }
  const uint32_t index = record_.blocksWritten;
  if (index >= plan_.blocks) {
    Violation(Format("block %u, but an image of %u bytes takes %u", index + 1, settings_.imageSize,
                     plan_.blocks));
  } else if (index + 1 == plan_.blocks) {
    const uint32_t imageInLast = plan_.imageBytes - index * d;
    for (uint32_t i = imageInLast; i < d; ++i) {
      if (data[i] != sim::kFill) {
        Violation(
            Format("last block: data byte %u is 0x%02X where the 0x1A fill belongs", i, data[i]));
        break;
      }
    }
  }
  const size_t at = static_cast<size_t>(index) * d;
  if (record_.flash.size() < at + d) record_.flash.resize(at + d, 0xFF);
  std::copy(data.begin(), data.end(), record_.flash.begin() + static_cast<std::ptrdiff_t>(at));
  ++record_.blocksWritten;
  lastBlockNumber_ = number;
  return {kAck};
}

uint16_t SimCrc16(std::span<const uint8_t> data) {
  uint16_t crc = 0;
  for (uint8_t byte : data) {
    crc = static_cast<uint16_t>(crc ^ (byte << 8));
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 0x8000) != 0 ? static_cast<uint16_t>((crc << 1) ^ 0x1021)
                                : static_cast<uint16_t>(crc << 1);
    }
  }
  return crc;
}
