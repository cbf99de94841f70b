// SPDX-License-Identifier: MIT
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

bool OneOf(AppStatus status, std::initializer_list<AppStatus> allowed) {
  return std::find(allowed.begin(), allowed.end(), status) != allowed.end();
}

void FuzzOperation(uint8_t operation, const ModelRules& model, std::span<const uint8_t> script) {
  const std::unique_ptr<ScriptedLink> owned = ReplyLink(script);
  ScriptedLink& link = *owned;
  StatusBoard status;
  const CancelToken cancel;
  const Dialogue dialogue{link, status, cancel};
  using S = AppStatus;
  switch (operation) {
    case 0: {
      DummyComm(dialogue, model);
      Require(status.now() == BurnStatus{}, "DummyComm counts nothing");
      break;
    }
    case 1: {
      const AppStatus result = ConfirmComm(dialogue, model);
      if (result == S::kApplicationMode || result == S::kLoaderMode) {
        const auto message = Last64(link);
        Require(message && (*message)[4] == static_cast<uint8_t>(result),
                "ConfirmComm's mode comes from a valid reply");
      } else {
        Require(OneOf(result, {S::kRefusedDetail1, S::kRefusedDetail2, S::kRefusedOtherDetail,
                               S::kRefusedClass1, S::kRefusedOtherClass, S::kNoRefusal}),
                "ConfirmComm's codes");
      }
      break;
    }
    case 2: {
      const AppStatus result = CheckID_A(dialogue, model);
      if (result == S::kSuccess) {
        const auto message = Last64(link);
        Require(message && (*message)[4] == 0x06 &&
                    ApplicationIdAccepts(model.code,
                                         static_cast<uint16_t>((*message)[5] << 8 | (*message)[6])),
                "CheckID_A accepts only a valid reply with an accepted code");
      } else {
        Require(OneOf(result, {S::kRefusedDetail2, S::kRefusedDetail3, S::kRefusedOtherDetail,
                               S::kRefusedOtherClass, S::kNoRefusal}),
                "CheckID_A's codes");
      }
      break;
    }
    case 3: CheckRegister(READ_D1386(dialogue), link); break;
    case 4: CheckRegister(READ_D1001(dialogue), link); break;
    case 5: CheckRegister(READ_D1148(dialogue), link); break;
    case 6: {
      const uint8_t version = read_fu_version_A(dialogue);
      if (version != 0) {
        const auto message = Last64(link);
        Require(message && (*message)[4] == version, "the version comes from a valid reply");
      }
      break;
    }
    case 7: {
      const AppStatus result = SendErase_A(dialogue, model);
      if (result == S::kSuccess) {
        const bool restartedSilently =
            model.reconnect == ReconnectRule::kR3 && LastReply(link).size() != kReply64;
        const auto message = Last64(link);
        const auto& last = link.calls().back();
        const bool confirmed = message && (*message)[4] == 0x06 &&
                               last.kind == ScriptedLink::Call::Kind::kWrite &&
                               last.moved == last.asked;
        Require(restartedSilently || confirmed,
                "SendErase_A succeeds on an accepted reply and its confirmation, or on the "
                "silent restart of an R3 model");
      } else {
        Require(OneOf(result, {S::kRefusedDetail3, S::kRefusedDetail4, S::kRefusedOtherDetail,
                               S::kRefusedOtherClass, S::kNoRefusal}),
                "SendErase_A's codes");
      }
      break;
    }
  }
  const int32_t errCounter = status.now().errCounter;
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
  const ModelRules& model = ModelAt(input.Byte() % kModelCount);
  FuzzOperation(operation, model, input.Rest());
  return 0;
}
