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

// The exchanges whose only acceptable reply is the single byte 0x06.
ExchangeEnd AckExchange(const Dialogue& dialogue, std::span<const uint8_t> request,
                        RetryBudget& budget) {
  std::array<uint8_t, 1> reply{};
  return Exchange(dialogue, request, reply, budget, [&](size_t got) {
    return got == reply.size() && reply[0] == kAck ? Verdict::kAccept : Verdict::kReject;
  });
}

// Once blocks flow, a 0x16 from the loader is its flash-write error wherever
// it turns up: as the reply to a block, in the input left over from an
// earlier exchange, or read while the transfer is being closed (a reply that
// came late may be met there). Taking it for an ordinary failed read would
// let the closing 0x04 be acknowledged and a failed update end as a success.
bool HoldsFlashWriteError(std::span<const uint8_t> bytes) {
  return std::find(bytes.begin(), bytes.end(), kFlashError) != bytes.end();
}

// Closes the erase (a 0x16 there is just a wrong reply) or the transfer.
enum class Closing { kErase, kTransfer };

LoaderStatus EndOfTransmission(const Dialogue& dialogue, Closing closing) {
  const bool transfer = closing == Closing::kTransfer;
  RetryBudget budget(dialogue.status);
  std::array<uint8_t, 1> reply{};
  const auto end = Exchange(
      dialogue, kEotRequest, reply, budget,
      [&](size_t got) {
        if (got != reply.size()) return Verdict::kReject;
        if (reply[0] == kAck) return Verdict::kAccept;
        return transfer && reply[0] == kFlashError ? Verdict::kStop : Verdict::kReject;
      },
      [&](std::span<const uint8_t> stale) { return transfer && HoldsFlashWriteError(stale); });
  if (end == ExchangeEnd::kStopped) return LoaderStatus::kFlashWriteError;
  if (end != ExchangeEnd::kAccepted) return LoaderStatus::kNoReply;
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
    if (AckExchange(dialogue, kEraseRequest, budget) != ExchangeEnd::kAccepted) {
      return LoaderStatus::kNoReply;
    }
    dialogue.status.SetErrCounter(0);
    dialogue.status.SetProgress(static_cast<int32_t>(k * 100 / steps));
  }
  return EndOfTransmission(dialogue, Closing::kErase);
}

LoaderStatus SendUpdate(const Dialogue& dialogue) {
  dialogue.Begin(Operation::kSendUpdate);
  dialogue.link.SetTimeouts(kExchangeTimeouts);
  RetryBudget budget(dialogue.status);
  if (AckExchange(dialogue, kUpdateRequest, budget) != ExchangeEnd::kAccepted) {
    return LoaderStatus::kNoReply;
  }
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
    std::array<uint8_t, 1> reply{};
    const auto end = Exchange(
        dialogue, request, reply, budget,
        [&](size_t got) {
          if (got != reply.size()) return Verdict::kReject;
          if (reply[0] == kAck) return Verdict::kAccept;
          return reply[0] == kFlashError ? Verdict::kStop : Verdict::kReject;
        },
        HoldsFlashWriteError);
    if (end == ExchangeEnd::kStopped) return LoaderStatus::kFlashWriteError;
    if (end != ExchangeEnd::kAccepted) return LoaderStatus::kNoReply;
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
