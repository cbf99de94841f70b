// SPDX-License-Identifier: MIT
#include "sim/faults.h"

#include "sim/framing.h"
#include "sim/sim_text.h"

namespace sim {
namespace {

uint64_t SplitMix(uint64_t& state) {
  uint64_t z = (state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

}  // namespace

const PlcFault* FaultFor(std::span<const PlcFault> faults, const Hearing& hearing) {
  const PlcRequest request = hearing.request;
  for (const PlcFault& fault : faults) {
    if (!PlcFaultProblem(fault).empty()) continue;
    const bool any = fault.request == PlcRequest::kUnknown;
    if (!any && fault.request != request) continue;
    if (fault.nth == 0) return &fault;
    if (request == PlcRequest::kBlock && !any) {
      if (fault.nth == hearing.block && hearing.count <= fault.times) return &fault;
      continue;
    }
    const uint32_t n = any ? hearing.heardInAll : hearing.count;
    if (n >= fault.nth && n - fault.nth < fault.times) return &fault;
  }
  return nullptr;
}

bool TakesThePlaceOfTheAction(FaultKind kind) {
  switch (kind) {
    case FaultKind::kSilence:
    case FaultKind::kDisconnect:
    case FaultKind::kNak:
    case FaultKind::kFlashWriteError:
    case FaultKind::kRefuse: return true;
    default: return false;
  }
}

std::vector<uint8_t> ReplyInstead(const PlcFault& fault, PlcRequest request, bool aio) {
  switch (fault.kind) {
    case FaultKind::kNak: return {kNak};
    case FaultKind::kFlashWriteError: return {kFlashError};
    case FaultKind::kRefuse:
      if (IsRegisterRead(request)) return ExceptionReply(0x03, fault.refusalDetail);
      return Function64Reply(SubCodeOf(request, aio), kRefusal, fault.refusalClass,
                             fault.refusalDetail);
    default: return {};
  }
}

void Damage(FaultKind kind, std::vector<uint8_t>& reply) {
  if (reply.empty()) return;
  switch (kind) {
    case FaultKind::kShortReply: reply.pop_back(); break;
    case FaultKind::kLowerCase:
      for (size_t i = 1; i + 2 < reply.size(); ++i) {
        if (reply[i] >= 'A' && reply[i] <= 'F') reply[i] = static_cast<uint8_t>(reply[i] + 32);
      }
      break;
    case FaultKind::kGarbleLrc: {
      if (reply.size() < 5) break;
      static constexpr char kHex[] = "0123456789ABCDEF";
      const size_t at = reply.size() - 4;  // the LRC's two characters before CR LF
      const int high = HexDigit(reply[at]);
      const int low = HexDigit(reply[at + 1]);
      if (high < 0 || low < 0) break;
      const auto lrc = static_cast<uint8_t>(high * 16 + low + 1);
      reply[at] = static_cast<uint8_t>(kHex[lrc >> 4]);
      reply[at + 1] = static_cast<uint8_t>(kHex[lrc & 0x0F]);
      break;
    }
    default: break;
  }
}

bool FlipBits(std::vector<uint8_t>& reply, double rate, uint64_t& state) {
  if (rate <= 0) return false;
  bool flipped = false;
  for (uint8_t& byte : reply) {
    for (int bit = 0; bit < 8; ++bit) {
      const double draw = static_cast<double>(SplitMix(state) >> 11) * 0x1.0p-53;
      if (draw < rate) {
        byte = static_cast<uint8_t>(byte ^ (1u << bit));
        flipped = true;
      }
    }
  }
  return flipped;
}

}  // namespace sim

std::string_view FaultKindName(FaultKind kind) {
  switch (kind) {
    case FaultKind::kSilence: return "silence";
    case FaultKind::kRefuse: return "refuse";
    case FaultKind::kGarbleLrc: return "garble-lrc";
    case FaultKind::kLowerCase: return "lower-case";
    case FaultKind::kShortReply: return "short-reply";
    case FaultKind::kNak: return "nak";
    case FaultKind::kFlashWriteError: return "flash-error";
    case FaultKind::kDisconnect: return "disconnect";
    case FaultKind::kLate: return "late";
  }
  return "?";
}

std::string PlcFaultProblem(const PlcFault& fault) {
  using namespace sim;
  const PlcRequest r = fault.request;
  const bool any = r == PlcRequest::kUnknown;
  bool fits = false;
  switch (fault.kind) {
    case FaultKind::kSilence:
    case FaultKind::kDisconnect: fits = true; break;
    case FaultKind::kLate: fits = r != PlcRequest::kConfirmA; break;
    case FaultKind::kRefuse:
      fits = r == PlcRequest::kCommCheck || r == PlcRequest::kIdentityA ||
             r == PlcRequest::kVersionA || r == PlcRequest::kEraseA || IsRegisterRead(r);
      break;
    case FaultKind::kGarbleLrc:
    case FaultKind::kLowerCase: fits = IsModbusRequest(r) && r != PlcRequest::kConfirmA; break;
    case FaultKind::kShortReply: fits = !any && r != PlcRequest::kConfirmA; break;
    case FaultKind::kNak: fits = IsLoaderRequest(r); break;
    case FaultKind::kFlashWriteError:
      fits = r == PlcRequest::kBlock || r == PlcRequest::kTransferEnd;
      break;
  }
  if (!fits) {
    return Format("fault %.*s does not apply to %s",
                  static_cast<int>(FaultKindName(fault.kind).size()),
                  FaultKindName(fault.kind).data(),
                  any ? "every request" : std::string(PlcRequestName(r)).c_str());
  }
  if (fault.times == 0) return "a fault must hit at least once (times 0)";
  return {};
}
