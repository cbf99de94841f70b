// Phase 1 on a PLC that says anything: CheckLRC on any characters, and each
// operation of link/app_protocol.h with the fuzzer's bytes as the replies.
// Input: the operation, the model, then the PLC's side of the link
// (fuzz_support.h); for CheckLRC the characters alone.
// Properties: no operation succeeds without having read a reply that passes
// (whole, upper-case hexadecimal, LRC, the status it needs), and each fails
// only with its own result codes.
#include <algorithm>
#include <initializer_list>

#include "catalogue/model_table.h"
#include "fuzz/fuzz_support.h"
#include "link/app_protocol.h"
#include "link/exchange.h"

namespace {

constexpr size_t kReply64 = 19;
constexpr size_t kReply03 = 15;

bool OneOf(uint8_t value, std::initializer_list<uint8_t> allowed) {
  return std::find(allowed.begin(), allowed.end(), value) != allowed.end();
}

void FuzzCheckLRC(std::span<const uint8_t> text) {
  // An exact-size copy, so that a conversion past its characters is an
  // overflow the sanitizer sees.
  const auto n = static_cast<uint8_t>(std::min<size_t>(text.size(), 255));
  Bytes chars(text.begin(), text.begin() + n);
  Bytes reply = {':'};
  reply.insert(reply.end(), chars.begin(), chars.begin() + (n & ~1));
  reply.insert(reply.end(), {'\r', '\n'});
  const auto message = ModbusMessage(reply, reply.size());
  const uint8_t result = CheckLRC(chars.data(), n);
  Require((result == 0) == message.has_value(),
          "CheckLRC is 0 exactly for upper-case hexadecimal pairs that sum to 0");
  if (message) {
    Require(std::equal(message->begin(), message->end(), chars.begin()),
            "CheckLRC leaves the bytes in place of their characters");
  }

  // Every frame the tool builds passes its own check.
  Bytes frame = ModbusAsciiFrame(text.first(std::min<size_t>(text.size(), 100)));
  Require(CheckLRC(frame.data() + 1, static_cast<uint8_t>(frame.size() - 3)) == 0,
          "ModbusAsciiFrame makes frames CheckLRC accepts");
}

std::optional<Bytes> Last64(const ScriptedLink& link) {
  return ModbusMessage(LastReply(link), kReply64);
}

void CheckRegister(std::optional<uint16_t> value, const ScriptedLink& link) {
  if (!value) return;
  const auto message = ModbusMessage(LastReply(link), kReply03);
  Require(message && ((*message)[3] << 8 | (*message)[4]) == *value,
          "a register value comes from a whole, valid reply");
}

void FuzzOperation(uint8_t operation, std::span<const uint8_t> script) {
  std::unique_ptr<ScriptedLink> owned = ReplyLink(script);
  ScriptedLink& link = *owned;
  errCounter = 0;
  totalErrCounter = 0;
  switch (operation) {
    case 0: {
      DummyComm(link);
      Require(errCounter == 0 && totalErrCounter == 0, "DummyComm counts nothing");
      break;
    }
    case 1: {
      const uint8_t result = ConfirmComm(link);
      if (result == kApplicationMode || result == kLoaderMode) {
        const auto message = Last64(link);
        Require(message && (*message)[4] == result, "ConfirmComm's mode comes from a valid reply");
      } else {
        Require(OneOf(result, {0x11, 0x12, 0x15, 0x16, 0x17, 0x18}), "ConfirmComm's codes");
      }
      break;
    }
    case 2: {
      const uint8_t result = CheckID_A(link);
      if (result == 0) {
        const auto message = Last64(link);
        Require(message && (*message)[4] == 0x06 &&
                    ApplicationIdAccepts(selectedPLCID,
                                         static_cast<uint16_t>((*message)[5] << 8 | (*message)[6])),
                "CheckID_A accepts only a valid reply with an accepted code");
      } else {
        Require(OneOf(result, {0x12, 0x13, 0x15, 0x17, 0x18}), "CheckID_A's codes");
      }
      break;
    }
    case 3: CheckRegister(READ_D1386(link), link); break;
    case 4: CheckRegister(READ_D1001(link), link); break;
    case 5: CheckRegister(READ_D1148(link), link); break;
    case 6: {
      hSerial = std::move(owned);
      const uint8_t version = read_fu_version_A();
      if (version != 0) {
        const auto message = Last64(link);
        Require(message && (*message)[4] == version, "the version comes from a valid reply");
      }
      hSerial.reset();
      break;
    }
    case 7: {
      const uint8_t result = SendErase_A(link);
      if (result == 0) {
        const bool restartedSilently = ReconnectRuleOf(CurrentModel()) == ReconnectRule::kR3 &&
                                       LastReply(link).size() != kReply64;
        const auto message = Last64(link);
        const auto& last = link.calls().back();
        const bool confirmed = message && (*message)[4] == 0x06 &&
                               last.kind == ScriptedLink::Call::Kind::kWrite &&
                               last.moved == last.asked;
        Require(restartedSilently || confirmed,
                "SendErase_A succeeds on an accepted reply and its confirmation, or on the "
                "silent restart of an R3 model");
      } else {
        Require(OneOf(result, {0x13, 0x14, 0x15, 0x17, 0x18}), "SendErase_A's codes");
      }
      break;
    }
  }
  Require(errCounter >= 0 && errCounter <= kFailuresPerKind, "errCounter stays within 0..6");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput input(data, size);
  const uint8_t operation = input.Byte() % 9;
  if (operation == 8) {
    FuzzCheckLRC(input.Rest());
    return 0;
  }
  SelectModel(input.Byte() % kModelCount);
  FuzzOperation(operation, input.Rest());
  return 0;
}
