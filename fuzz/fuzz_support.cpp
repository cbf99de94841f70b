// SPDX-License-Identifier: MIT
#include "fuzz/fuzz_support.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "catalogue/model_table.h"

namespace {

constexpr uint8_t kAck = 0x06;
constexpr uint8_t kStx = 0x02;
constexpr uint8_t kFill = 0x1A;

// CRC-16/XMODEM one bit at a time: a second opinion on the tool's table.
uint16_t BitwiseCrc(std::span<const uint8_t> data) {
  uint16_t crc = 0;
  for (uint8_t byte : data) {
    crc = static_cast<uint16_t>(crc ^ byte << 8);
    for (int bit = 0; bit < 8; ++bit) {
      crc = static_cast<uint16_t>(crc & 0x8000 ? crc << 1 ^ 0x1021 : crc << 1);
    }
  }
  return crc;
}

constexpr uint8_t kArrivesLate = 0x80;
constexpr uint8_t kArrivalLength = 0x7F;

// One read and what listening for the rest of it brought, when it came
// short, with the request it answers: the last write before it, when that
// went out whole.
struct Answer {
  const Bytes* request;
  size_t asked;
  Bytes reply;
};

std::vector<Answer> Answers(const ScriptedLink& link) {
  using Kind = ScriptedLink::Call::Kind;
  std::vector<Answer> answers;
  const Bytes* request = nullptr;
  // A drain that waits for quiet right after a short read adds to its
  // reply; any other drain takes stale input off the line (also one after
  // a reply read whole, which the exchange listens past for a late reply).
  bool listening = false;
  // A one-byte exchange whose attempts went unanswered is still owed their
  // replies: an ACK among the stale input before its next attempt is its
  // own late acknowledgement.
  const Bytes* owedRequest = nullptr;
  size_t owed = 0;
  for (const ScriptedLink::Call& call : link.calls()) {
    if (call.kind == Kind::kWrite) {
      request = call.moved == call.asked ? &call.bytes : nullptr;
      // A request cut short is the same exchange's attempt; another request ends it.
      if (request != nullptr && owedRequest != nullptr && *request != *owedRequest) owed = 0;
      listening = false;
    } else if (call.kind == Kind::kRead) {
      answers.push_back({request, call.asked, call.bytes});
      if (request != nullptr && call.asked == 1) {
        owedRequest = request;
        owed = call.bytes == Bytes{kAck} ? 0 : owed + (call.bytes.empty() ? 1 : 0);
      }
      request = nullptr;
      listening = true;
    } else if (call.kind == Kind::kDrain) {
      if (listening && call.quietMs > 0 && answers.back().reply.size() < answers.back().asked) {
        Bytes& reply = answers.back().reply;
        reply.insert(reply.end(), call.bytes.begin(), call.bytes.end());
        if (answers.back().request != nullptr && answers.back().asked == 1 && !reply.empty()) {
          owed = reply == Bytes{kAck} ? 0 : owed - (owed > 0 ? 1 : 0);
        }
      } else {
        listening = false;
        for (const uint8_t byte : call.bytes) {
          if (owed == 0) continue;
          --owed;
          if (byte != kAck) continue;
          answers.push_back({owedRequest, 1, Bytes{kAck}});
          owed = 0;
        }
      }
    }
  }
  return answers;
}

int HexDigit(uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

uint8_t FuzzInput::Byte() {
  if (rest_.empty()) return 0;
  const uint8_t byte = rest_.front();
  rest_ = rest_.subspan(1);
  return byte;
}

uint16_t FuzzInput::Word() {
  const uint8_t high = Byte();
  return static_cast<uint16_t>(high << 8 | Byte());
}

std::unique_ptr<ScriptedLink> ReplyLink(std::span<const uint8_t> script) {
  auto link = std::make_unique<ScriptedLink>();
  FuzzInput input(script.data(), script.size());
  const uint8_t failingWrites = input.Byte();
  for (int bit = 0; bit < 8; ++bit) {
    link->QueueShortWrite(failingWrites >> bit & 1 ? 0 : SIZE_MAX);
  }
  while (!input.Rest().empty()) {
    const uint8_t header = input.Byte();
    const size_t length = std::min<size_t>(header & kArrivalLength, input.Rest().size());
    const auto chunk = input.Rest().first(length);
    if (header & kArrivesLate) {
      link->QueueLateArrival(Bytes(chunk.begin(), chunk.end()));
    } else {
      link->QueueArrival(Bytes(chunk.begin(), chunk.end()));
    }
    for (size_t i = 0; i < length; ++i) input.Byte();
  }
  return link;
}

Bytes ReplyScript(uint8_t failingWrites, const std::vector<Arrival>& arrivals) {
  Bytes script = {failingWrites};
  for (const Arrival& arrival : arrivals) {
    if (arrival.bytes.size() > kArrivalLength) Violated("a seed's arrival is too long");
    script.push_back(
        static_cast<uint8_t>(arrival.bytes.size() | (arrival.late ? kArrivesLate : 0)));
    script.insert(script.end(), arrival.bytes.begin(), arrival.bytes.end());
  }
  return script;
}

Bytes LastReply(const ScriptedLink& link) {
  const auto answers = Answers(link);
  return answers.empty() ? Bytes() : answers.back().reply;
}

std::vector<Bytes> AcknowledgedRequests(const ScriptedLink& link) {
  std::vector<Bytes> acknowledged;
  for (const Answer& answer : Answers(link)) {
    if (answer.request != nullptr && answer.asked == 1 && answer.reply == Bytes{kAck}) {
      acknowledged.push_back(*answer.request);
    }
  }
  return acknowledged;
}

bool HandedOut(const ScriptedLink& link, uint8_t byte) {
  using Kind = ScriptedLink::Call::Kind;
  for (const ScriptedLink::Call& call : link.calls()) {
    if ((call.kind == Kind::kRead || call.kind == Kind::kDrain) &&
        std::find(call.bytes.begin(), call.bytes.end(), byte) != call.bytes.end()) {
      return true;
    }
  }
  return false;
}

size_t CountOf(const std::vector<Bytes>& requests, std::string_view request) {
  const Bytes wanted = ToBytes(request);
  size_t count = 0;
  for (const Bytes& r : requests) count += r == wanted ? 1 : 0;
  return count;
}

std::optional<Bytes> ModbusMessage(const Bytes& reply, size_t size) {
  if (reply.size() != size || size < 3) return std::nullopt;
  Bytes message;
  uint8_t sum = 0;
  for (size_t i = 1; i + 1 < size - 2; i += 2) {
    const int high = HexDigit(reply[i]);
    const int low = HexDigit(reply[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    message.push_back(static_cast<uint8_t>(high << 4 | low));
    sum = static_cast<uint8_t>(sum + message.back());
  }
  if (sum != 0) return std::nullopt;
  return message;
}

std::vector<uint8_t> FuzzImage(size_t size) {
  std::vector<uint8_t> image(size);
  for (size_t i = 0; i < size; ++i) image[i] = static_cast<uint8_t>(i * 131 + (i >> 8) * 7 + 3);
  return image;
}

bool BlocksCarryImage(const std::vector<Bytes>& requests, std::string_view model,
                      std::span<const uint8_t> image) {
  const BlockPlan plan = BlockPlanOf(model, static_cast<uint32_t>(image.size()));
  const size_t packetBytes = plan.dataBytes + 5;
  Bytes sent;
  uint8_t number = 1;
  for (const Bytes& packet : requests) {
    if (packet.size() != packetBytes || packet[0] != kStx) continue;
    if (packet[1] != number || packet[2] != static_cast<uint8_t>(~number)) return false;
    const auto data = std::span(packet).subspan(3, plan.dataBytes);
    if (BitwiseCrc(data) != (packet[packetBytes - 2] << 8 | packet[packetBytes - 1])) return false;
    sent.insert(sent.end(), data.begin(), data.end());
    ++number;
  }
  if (sent.size() != size_t{plan.blocks} * plan.dataBytes) return false;
  for (size_t i = 0; i < sent.size(); ++i) {
    if (sent[i] != (i < plan.imageBytes ? image[i] : kFill)) return false;
  }
  return true;
}

void Violated(const char* property) {
  std::fprintf(stderr, "property violated: %s\n", property);
  std::abort();
}
