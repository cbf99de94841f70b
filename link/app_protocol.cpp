// SPDX-License-Identifier: MIT
#include "link/app_protocol.h"

#include <algorithm>
#include <array>

#include "link/exchange.h"

namespace {

constexpr size_t kFunction64ReplySize = 19;  // ':' , 8 bytes as hex, CR LF
constexpr size_t kFunction03ReplySize = 15;  // ':' , 6 bytes as hex, CR LF
constexpr size_t kWakeReplySize = 11;        // a Modbus ASCII exception reply
constexpr int kWakeRequests = 5;
constexpr int kWakeDrainReads = 5;

constexpr uint8_t kAccepted = 0x06;
constexpr uint8_t kRefused = 0x15;
constexpr uint8_t kApplicationModeStatus = 0x05;
constexpr uint8_t kLoaderModeStatus = 0x06;

// Receive-buffer positions of reply bytes once CheckLRC has converted them.
constexpr size_t kStatusAt = 5;
constexpr size_t kClassAt = 6;
constexpr size_t kDetailAt = 7;

using Reply64 = std::array<uint8_t, kFunction64ReplySize>;

bool LrcValid(uint8_t* reply, size_t size) {
  return CheckLRC(reply + 1, static_cast<uint8_t>(size - 3)) == 0;
}

std::vector<uint8_t> Function64Request(uint8_t subCode, std::span<const uint8_t> command) {
  std::vector<uint8_t> message = {0x00, 0x64, 0x01, subCode};
  message.insert(message.end(), command.begin(), command.end());
  return ModbusAsciiFrame(message);
}

std::vector<uint8_t> ReadRegisterRequest(uint16_t address) {
  const uint8_t message[] = {
      0x00, 0x03, static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address), 0x00, 0x01};
  return ModbusAsciiFrame(message);
}

void UseApplicationLineSettingsOnCom(Link& link, const ModelRules& model) {
  if (model.link == LinkKind::kCom) link.ApplyLineSettings(kApplicationLineSettings);
}

enum class RefusalTable { kConfirmComm, kCheckID, kSendErase };

// Read from what the last attempt left in the receive buffer: a refusal
// names its class and detail, anything else is "no refusal".
AppStatus ExhaustionResult(RefusalTable table, const Reply64& reply) {
  if (reply[kStatusAt] != kRefused) return AppStatus::kNoRefusal;
  const uint8_t refusalClass = reply[kClassAt];
  const uint8_t detail = reply[kDetailAt];
  if (refusalClass == 0x01) {
    return table == RefusalTable::kConfirmComm ? AppStatus::kRefusedClass1
                                               : AppStatus::kRefusedOtherClass;
  }
  if (refusalClass != 0x02) return AppStatus::kRefusedOtherClass;
  bool named = false;
  switch (table) {
    case RefusalTable::kConfirmComm: named = detail == 0x01 || detail == 0x02; break;
    case RefusalTable::kCheckID: named = detail == 0x02 || detail == 0x03; break;
    case RefusalTable::kSendErase: named = detail == 0x03 || detail == 0x04; break;
  }
  return named ? static_cast<AppStatus>(0x10 + detail) : AppStatus::kRefusedOtherDetail;
}

std::optional<uint16_t> ReadRegister(const Dialogue& dialogue, Operation operation,
                                     uint16_t address) {
  dialogue.Begin(operation);
  dialogue.link.SetTimeouts(kExchangeTimeouts);
  const auto request = ReadRegisterRequest(address);
  std::array<uint8_t, kFunction03ReplySize> reply{};
  RetryBudget budget(dialogue.status);
  const auto end = Exchange(dialogue, request, reply, budget, [&](size_t got) {
    return got == reply.size() && LrcValid(reply.data(), reply.size()) ? Verdict::kAccept
                                                                       : Verdict::kReject;
  });
  if (end != ExchangeEnd::kAccepted) return std::nullopt;
  return static_cast<uint16_t>(reply[4] << 8 | reply[5]);
}

// The identity query; a valid accepted reply passes when `accepts` takes
// the code it reports.
template <typename Accepts>
ExchangeEnd IdentityExchange(const Dialogue& dialogue, const ModelRules& model, Reply64& reply,
                             Accepts accepts) {
  dialogue.link.SetTimeouts(kExchangeTimeouts);
  const uint8_t command[] = {'I', 'D'};
  const auto request = Function64Request(SubCodeOf(model), command);
  RetryBudget budget(dialogue.status);
  return Exchange(dialogue, request, reply, budget, [&](size_t got) {
    if (got != reply.size() || !LrcValid(reply.data(), reply.size())) return Verdict::kReject;
    const auto reported = static_cast<uint16_t>(reply[kClassAt] << 8 | reply[kDetailAt]);
    return reply[kStatusAt] == kAccepted && accepts(reported) ? Verdict::kAccept : Verdict::kReject;
  });
}

}  // namespace

uint8_t Lrc(std::span<const uint8_t> message) {
  uint8_t sum = 0;
  for (uint8_t byte : message) sum = static_cast<uint8_t>(sum + byte);
  return static_cast<uint8_t>(-sum);
}

std::vector<uint8_t> ModbusAsciiFrame(std::span<const uint8_t> message) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::vector<uint8_t> frame;
  frame.reserve(2 * message.size() + 5);
  frame.push_back(':');
  auto put = [&frame](uint8_t byte) {
    frame.push_back(static_cast<uint8_t>(kHex[byte >> 4]));
    frame.push_back(static_cast<uint8_t>(kHex[byte & 0x0F]));
  };
  for (uint8_t byte : message) put(byte);
  put(Lrc(message));
  frame.push_back('\r');
  frame.push_back('\n');
  return frame;
}

uint8_t CheckLRC(uint8_t* p, uint8_t n) {
  auto digit = [](uint8_t c) -> int {
    if (c >= '0' && c <= '9') return c - 0x30;
    if (c >= 'A' && c <= 'F') return c - 0x37;
    return -1;
  };
  uint8_t sum = 0;
  const uint8_t* in = p;
  uint8_t* out = p;  // trails `in`, so every pair is read before it is overwritten
  for (; n >= 2; n = static_cast<uint8_t>(n - 2), in += 2) {
    const int high = digit(in[0]);
    const int low = digit(in[1]);
    if (high < 0 || low < 0) return 1;
    const auto byte = static_cast<uint8_t>(high * 16 + low);
    *out++ = byte;
    sum = static_cast<uint8_t>(sum + byte);
  }
  return sum;
}

void DummyComm(const Dialogue& dialogue, const ModelRules& model) {
  dialogue.Begin(Operation::kDummyComm);
  Link& link = dialogue.link;
  UseApplicationLineSettingsOnCom(link, model);
  link.SetTimeouts(kShortTimeouts);
  const uint8_t wake[] = {0x00, 0x7F};
  const auto request = ModbusAsciiFrame(wake);
  uint8_t scratch[kWakeReplySize];
  for (int i = 0; i < kWakeRequests && !dialogue.cancel.Requested(); ++i) {
    link.Write(request.data(), request.size());
    link.Read(scratch, sizeof scratch);
  }
  // Drains what a slow PLC still sends, so it cannot be taken for a reply.
  for (int i = 0; i < kWakeDrainReads && !dialogue.cancel.Requested(); ++i) {
    link.Read(scratch, sizeof scratch);
  }
}

AppStatus ConfirmComm(const Dialogue& dialogue, const ModelRules& model) {
  dialogue.Begin(Operation::kConfirmComm);
  UseApplicationLineSettingsOnCom(dialogue.link, model);
  dialogue.link.SetTimeouts(kExchangeTimeouts);
  const uint8_t command[] = {0x01};
  const auto request = Function64Request(SubCodeOf(model), command);
  Reply64 reply{};
  RetryBudget budget(dialogue.status);
  const auto end = Exchange(dialogue, request, reply, budget, [&](size_t got) {
    if (got != reply.size() || !LrcValid(reply.data(), reply.size())) return Verdict::kReject;
    const uint8_t status = reply[kStatusAt];
    return status == kApplicationModeStatus || status == kLoaderModeStatus ? Verdict::kAccept
                                                                           : Verdict::kReject;
  });
  if (end != ExchangeEnd::kAccepted) return ExhaustionResult(RefusalTable::kConfirmComm, reply);
  dialogue.status.SetErrCounter(0);
  return static_cast<AppStatus>(reply[kStatusAt]);
}

AppStatus CheckID_A(const Dialogue& dialogue, const ModelRules& model) {
  dialogue.Begin(Operation::kCheckID_A);
  Reply64 reply{};
  const auto end = IdentityExchange(dialogue, model, reply, [&](uint16_t reported) {
    return ApplicationIdAccepts(model.code, reported);
  });
  return end == ExchangeEnd::kAccepted ? AppStatus::kSuccess
                                       : ExhaustionResult(RefusalTable::kCheckID, reply);
}

std::optional<uint16_t> QueryID_A(const Dialogue& dialogue, const ModelRules& model) {
  dialogue.Begin(Operation::kCheckID_A);
  Reply64 reply{};
  const auto end = IdentityExchange(dialogue, model, reply, [](uint16_t) { return true; });
  if (end != ExchangeEnd::kAccepted) return std::nullopt;
  return static_cast<uint16_t>(reply[kClassAt] << 8 | reply[kDetailAt]);
}

std::optional<uint16_t> IdentityInReply(std::span<const uint8_t> reply) {
  Reply64 copy{};
  if (reply.size() != copy.size()) return std::nullopt;
  std::copy(reply.begin(), reply.end(), copy.begin());
  if (!LrcValid(copy.data(), copy.size()) || copy[kStatusAt] != kAccepted) return std::nullopt;
  return static_cast<uint16_t>(copy[kClassAt] << 8 | copy[kDetailAt]);
}

std::optional<uint16_t> READ_D1386(const Dialogue& dialogue) {
  return ReadRegister(dialogue, Operation::kReadD1386, 0x1000 + 1386);
}
std::optional<uint16_t> READ_D1001(const Dialogue& dialogue) {
  return ReadRegister(dialogue, Operation::kReadD1001, 0x1000 + 1001);
}
std::optional<uint16_t> READ_D1148(const Dialogue& dialogue) {
  return ReadRegister(dialogue, Operation::kReadD1148, 0x1000 + 1148);
}

uint8_t read_fu_version_A(const Dialogue& dialogue) {
  dialogue.Begin(Operation::kReadVersion_A);
  dialogue.link.SetTimeouts(kExchangeTimeouts);
  // The version query keeps sub-code 0x59 for the AIO models too.
  const uint8_t command[] = {0x05};
  const auto request = Function64Request(kSubCode, command);
  Reply64 reply{};
  RetryBudget budget(dialogue.status);
  const auto end = Exchange(dialogue, request, reply, budget, [&](size_t got) {
    return got == reply.size() && LrcValid(reply.data(), reply.size()) ? Verdict::kAccept
                                                                       : Verdict::kReject;
  });
  return end == ExchangeEnd::kAccepted ? reply[kStatusAt] : 0;
}

AppStatus SendErase_A(const Dialogue& dialogue, const ModelRules& model) {
  dialogue.Begin(Operation::kSendErase_A);
  Link& link = dialogue.link;
  link.SetTimeouts(kExchangeTimeouts);
  const uint8_t erase[] = {'E', 'R', 'A', 'S', 'E'};
  const uint8_t confirm[] = {0x06};
  const auto request = Function64Request(SubCodeOf(model), erase);
  const auto confirmation = Function64Request(SubCodeOf(model), confirm);
  // These PLCs restart into their loader without answering the erase request.
  const bool mayRestartSilently = model.reconnect == ReconnectRule::kR3;
  Reply64 reply{};
  RetryBudget budget(dialogue.status);
  for (;;) {
    const auto end = Exchange(dialogue, request, reply, budget, [&](size_t got) {
      if (got != reply.size()) return mayRestartSilently ? Verdict::kStop : Verdict::kReject;
      return LrcValid(reply.data(), reply.size()) && reply[kStatusAt] == kAccepted
                 ? Verdict::kAccept
                 : Verdict::kReject;
    });
    if (end == ExchangeEnd::kExhausted || end == ExchangeEnd::kCancelled) {
      return ExhaustionResult(RefusalTable::kSendErase, reply);
    }
    dialogue.status.SetErrCounter(0);
    if (end == ExchangeEnd::kStopped) return AppStatus::kSuccess;
    if (link.Write(confirmation.data(), confirmation.size()) == confirmation.size()) {
      return AppStatus::kSuccess;
    }
    budget.CountWriteFailure();  // and the erase request goes out again
  }
}
