// SPDX-License-Identifier: MIT
#include "link/loader_protocol.h"

#include <algorithm>
#include <array>
#include <span>

#include "link/crc.h"
#include "link/exchange.h"

namespace {

constexpr uint8_t kStx = 0x02;
constexpr uint8_t kEot = 0x04;
constexpr uint8_t kAck = 0x06;
constexpr uint8_t kFill = 0x1A;
constexpr uint8_t kFlashError = 0x16;
constexpr size_t kHeaderBytes = 3;  // STX, block number, its complement
constexpr size_t kLargestPacket = kHeaderBytes + 256 + 2;

constexpr uint8_t kIdRequest[] = {'I', 'D'};
constexpr uint8_t kVersionRequest[] = {'V', 'E', 'R', 'S', 'I', 'O', 'N'};
constexpr uint8_t kEraseRequest[] = {'E', 'R', 'A', 'S', 'E'};
constexpr uint8_t kUpdateRequest[] = {'U', 'P', 'D', 'A', 'T', 'E'};
constexpr uint8_t kEotRequest[] = {kEot};

constexpr uint8_t kNak = 0x15;

// What a reply the loader owed, read after its attempt had given up on it,
// means for the exchange.
enum class LateReply { kInStep, kAcknowledged, kFlashWriteError, kOutOfStep };

LateReply JudgeLateReply(uint8_t byte, bool blocksFlow) {
  if (byte == kAck) return LateReply::kAcknowledged;
  if (byte == kNak) return LateReply::kInStep;
  // Once blocks flow, a 0x16 is the flash-write error wherever it is read.
  if (blocksFlow && byte == kFlashError) return LateReply::kFlashWriteError;
  return LateReply::kOutOfStep;
}

// The loader's one-byte exchanges (every erase step, the update command,
// every block and both closing 0x04s), kept in step with the loader.
//
// An attempt that went unanswered may still be answered: the loader owes a
// reply for every request that went out whole. Replies owed are counted
// (attempts sent minus replies read), and before the next request goes out
// they are waited for (see settle below): an ACK or a NAK is the
// loader's answer to the same request sent again, a 0x16 once blocks flow is
// the flash-write error, and silence means it was never taken. Any other
// byte cannot be placed: the exchange ends out of step, so that the closing
// 0x04 never goes out unless every block had its own acknowledgement in step.
// With `blocksFlow` a 0x16 ends the exchange as the flash-write error.
ExchangeEnd InStepExchange(const Dialogue& dialogue, std::span<const uint8_t> request,
                           RetryBudget& budget, bool blocksFlow) {
  Link& link = dialogue.link;
  ExchangeListener* const listener = dialogue.listener;
  if (listener != nullptr) listener->OnExchange();
  uint32_t owed = 0;
  uint8_t byte = 0;
  const std::span<const uint8_t> heard(&byte, 1);

  // One owed reply, read: how the exchange goes on (nothing: in step).
  auto placeOwed = [&](std::optional<ExchangeEnd> accepted) -> std::optional<ExchangeEnd> {
    --owed;
    switch (JudgeLateReply(byte, blocksFlow)) {
      case LateReply::kInStep: return std::nullopt;
      case LateReply::kAcknowledged: return accepted;
      case LateReply::kFlashWriteError:
        TellAttempt(listener, request, heard, AttemptResult::kStopped);
        return ExchangeEnd::kStopped;
      case LateReply::kOutOfStep: break;
    }
    if (listener != nullptr) listener->OnOutOfStep(byte);
    return ExchangeEnd::kOutOfStep;
  };
  // After the acknowledgement, the replies still owed. The reply just taken
  // may be an earlier attempt's, as late as it came;
  // the replies owed after it may be as late again, each an attempt later.
  // So the line is given a whole reply time-out of silence for each reply
  // owed, and one more, before it is taken to be in step.
  auto settle = [&]() {
    for (uint32_t silences = owed + 1; owed > 0 && silences > 0;) {
      if (link.Read(&byte, 1) == 0) {
        --silences;
        continue;
      }
      if (auto end = placeOwed(std::nullopt)) return *end;
    }
    return ExchangeEnd::kAccepted;
  };

  while (budget.HasAttemptsLeft()) {
    if (dialogue.cancel.Requested()) return ExchangeEnd::kCancelled;
    // Waiting input is a late reply to an earlier attempt of this request
    // (an ACK there acknowledges it), or, when nothing is owed, noise.
    constexpr size_t kMostStaleBytes = 4096;
    for (size_t taken = 0; taken < kMostStaleBytes && link.Drain(&byte, 1, 0) == 1; ++taken) {
      if (owed == 0) {
        if (!blocksFlow || byte != kFlashError) continue;
        TellAttempt(listener, request, heard, AttemptResult::kStopped);
        return ExchangeEnd::kStopped;
      }
      if (auto end = placeOwed(ExchangeEnd::kAccepted)) {
        if (*end != ExchangeEnd::kAccepted) return *end;
        TellAttempt(listener, request, heard, AttemptResult::kAccepted);
        return settle();
      }
    }
    if (link.Write(request.data(), request.size()) != request.size()) {
      budget.CountWriteFailure();
      TellAttempt(listener, request, {}, AttemptResult::kWriteFailed);
      continue;
    }
    ++owed;
    budget.ShowReadFailures();
    byte = 0;
    size_t got = link.Read(&byte, 1);
    if (got == 0) got = link.Drain(&byte, 1, kLateReplyQuietMs);
    if (got == 1) --owed;
    if (got == 1 && byte == kAck) {
      TellAttempt(listener, request, heard, AttemptResult::kAccepted);
      return settle();
    }
    if (got == 1 && blocksFlow && byte == kFlashError) {
      TellAttempt(listener, request, heard, AttemptResult::kStopped);
      return ExchangeEnd::kStopped;
    }
    budget.CountReadFailure();
    TellAttempt(listener, request, heard.first(got), AttemptResult::kRejected);
  }
  return ExchangeEnd::kExhausted;
}

LoaderStatus StatusOf(ExchangeEnd end) {
  switch (end) {
    case ExchangeEnd::kAccepted: return LoaderStatus::kDone;
    case ExchangeEnd::kStopped: return LoaderStatus::kFlashWriteError;
    case ExchangeEnd::kOutOfStep: return LoaderStatus::kOutOfStep;
    case ExchangeEnd::kExhausted:
    case ExchangeEnd::kCancelled: break;
  }
  return LoaderStatus::kNoReply;
}

// Closes the erase (a 0x16 there is just a wrong reply) or the transfer.
enum class Closing { kErase, kTransfer };

LoaderStatus EndOfTransmission(const Dialogue& dialogue, Closing closing) {
  RetryBudget budget(dialogue.status);
  const auto end = InStepExchange(dialogue, kEotRequest, budget, closing == Closing::kTransfer);
  if (end != ExchangeEnd::kAccepted) return StatusOf(end);
  dialogue.status.SetProgress(100);
  dialogue.status.SetErrCounter(0);
  return LoaderStatus::kDone;
}

// The loader's identity query; an acknowledged reply passes when `accepts`
// takes the code it reports, which is then returned.
template <typename Accepts>
std::optional<uint16_t> LoaderIdentityExchange(const Dialogue& dialogue, Accepts accepts) {
  dialogue.link.SetTimeouts(kExchangeTimeouts);
  std::array<uint8_t, 3> reply{};
  RetryBudget budget(dialogue.status);
  const auto end = Exchange(dialogue, kIdRequest, reply, budget, [&](size_t got) {
    if (got != reply.size() || reply[0] != kAck) return Verdict::kReject;
    return accepts(static_cast<uint16_t>(reply[1] << 8 | reply[2])) ? Verdict::kAccept
                                                                    : Verdict::kReject;
  });
  if (end != ExchangeEnd::kAccepted) return std::nullopt;
  return static_cast<uint16_t>(reply[1] << 8 | reply[2]);
}

}  // namespace

std::optional<uint16_t> LoaderIdentityInReply(std::span<const uint8_t> reply) {
  if (reply.size() != 3 || reply[0] != kAck) return std::nullopt;
  return static_cast<uint16_t>(reply[1] << 8 | reply[2]);
}

LoaderStatus CheckID_B(const Dialogue& dialogue, const ModelRules& model) {
  dialogue.Begin(Operation::kCheckID_B);
  const auto reported = LoaderIdentityExchange(
      dialogue, [&](uint16_t code) { return LoaderIdAccepts(model.name, model.code, code); });
  if (!reported) return LoaderStatus::kNoReply;
  // The KR2 loaders (L2) leave the count of refused replies on show.
  if (LoaderIdRuleOf(model.name, model.code) != LoaderIdRule::kL2) dialogue.status.SetErrCounter(0);
  return LoaderStatus::kDone;
}

std::optional<uint16_t> QueryID_B(const Dialogue& dialogue) {
  dialogue.Begin(Operation::kCheckID_B);
  return LoaderIdentityExchange(dialogue, [](uint16_t) { return true; });
}

LoaderStatus read_fu_version_B(const Dialogue& dialogue, uint8_t& GL_fu_version) {
  dialogue.Begin(Operation::kReadVersion_B);
  dialogue.link.SetTimeouts(kExchangeTimeouts);
  std::array<uint8_t, 3> reply{};
  RetryBudget budget(dialogue.status);
  const auto end = Exchange(dialogue, kVersionRequest, reply, budget, [&](size_t got) {
    return got == reply.size() && reply[0] == kAck ? Verdict::kAccept : Verdict::kReject;
  });
  if (end != ExchangeEnd::kAccepted) return LoaderStatus::kNoReply;
  // Low nibble of the first byte is the major number, high nibble of the second the minor.
  GL_fu_version = static_cast<uint8_t>(reply[1] << 4 | reply[2] >> 4);
  dialogue.status.SetErrCounter(0);
  return LoaderStatus::kDone;
}

LoaderStatus SendErase_B(const Dialogue& dialogue, const ModelRules& model, uint32_t size) {
  dialogue.Begin(Operation::kSendErase_B);
  dialogue.link.SetTimeouts(kExchangeTimeouts);
  // The sector-based rules subtract one sector from the size; a smaller image
  // would wrap to thousands of erase steps. The burn refuses such an image
  // before it opens a link, so this only keeps a stray call harmless.
  if (ImageTooSmall(model.name, size)) return LoaderStatus::kNoReply;
  const uint16_t steps = EraseCount(model.name, size);
  // These loaders erase a sector per request and cannot take a repeated one.
  const uint8_t failuresPerKind = EraseStepHasOneAttempt(model.name) ? 1 : kFailuresPerKind;
  dialogue.status.SetPhase(kErasing);
  for (uint32_t k = 0; k < steps; ++k) {
    RetryBudget budget(dialogue.status, failuresPerKind);
    const auto end = InStepExchange(dialogue, kEraseRequest, budget, false);
    if (end != ExchangeEnd::kAccepted) return StatusOf(end);
    dialogue.status.SetErrCounter(0);
    dialogue.status.SetProgress(static_cast<int32_t>(k * 100 / steps));
  }
  return EndOfTransmission(dialogue, Closing::kErase);
}

LoaderStatus SendUpdate(const Dialogue& dialogue) {
  dialogue.Begin(Operation::kSendUpdate);
  dialogue.link.SetTimeouts(kExchangeTimeouts);
  RetryBudget budget(dialogue.status);
  const auto end = InStepExchange(dialogue, kUpdateRequest, budget, false);
  if (end != ExchangeEnd::kAccepted) return StatusOf(end);
  // The acknowledgement still comes at the old speed; the blocks go at the new one.
  dialogue.link.ApplyLineSettings(kLoaderLineSettings);
  dialogue.status.SetErrCounter(0);
  return LoaderStatus::kDone;
}

LoaderStatus SendFW(const Dialogue& dialogue, const ModelRules& model, ImageReader& image) {
  dialogue.Begin(Operation::kSendFW);
  dialogue.link.SetTimeouts(kExchangeTimeouts);
  const auto size = static_cast<uint32_t>(image.Size());               // within the model's limit
  if (ImageTooSmall(model.name, size)) return LoaderStatus::kNoReply;  // as in SendErase_B
  const BlockPlan plan = BlockPlanOf(model.name, size);
  const uint32_t dataBytes = plan.dataBytes;
  const uint32_t lastBlockBytes = size % dataBytes;  // 0: the last block is full
  dialogue.status.SetPhase(kProgramming);
  dialogue.status.SetTransferred(0, plan.imageBytes);

  std::array<uint8_t, kLargestPacket> packet{};
  const std::span<const uint8_t> request(packet.data(), kHeaderBytes + dataBytes + 2);
  uint8_t* const data = packet.data() + kHeaderBytes;
  uint8_t number = 1;
  uint32_t acknowledged = 0;
  for (uint32_t i = 0; i < plan.blocks; ++i) {
    packet[0] = kStx;
    packet[1] = number;
    packet[2] = static_cast<uint8_t>(~number);
    const uint32_t take = i + 1 < plan.blocks || lastBlockBytes == 0 ? dataBytes : lastBlockBytes;
    // An image shorter than its size says would put bytes that are not the
    // image into the flash; the loader is left without the closing 0x04, so
    // it never takes the transfer for complete.
    if (image.FileRead(data, static_cast<int32_t>(take)) != static_cast<int32_t>(take)) {
      return LoaderStatus::kNoReply;
    }
    std::fill(data + take, data + dataBytes, kFill);
    const uint32_t crc = CRC(data, static_cast<int32_t>(dataBytes));
    packet[kHeaderBytes + dataBytes] = static_cast<uint8_t>(crc >> 8);
    packet[kHeaderBytes + dataBytes + 1] = static_cast<uint8_t>(crc);

    dialogue.status.SetErrCounter(0);
    RetryBudget budget(dialogue.status);
    const auto end = InStepExchange(dialogue, request, budget, true);
    if (end != ExchangeEnd::kAccepted) return StatusOf(end);
    ++number;
    ++acknowledged;
    dialogue.status.SetTransferred(std::min(acknowledged * dataBytes, plan.imageBytes),
                                   plan.imageBytes);
    // Over M + 1 steps, so that only the closing handshake shows 100.
    dialogue.status.SetProgress(
        static_cast<int32_t>(uint64_t{acknowledged} * 100 / (uint64_t{plan.blocks} + 1)));
  }
  dialogue.status.SetErrCounter(0);
  return EndOfTransmission(dialogue, Closing::kTransfer);
}
