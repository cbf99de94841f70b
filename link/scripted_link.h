// SPDX-License-Identifier: MIT
// A Link for tests: replies are scripted, writes can be cut short, and every
// call is recorded in order.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

#include "link/link.h"

using Bytes = std::vector<uint8_t>;

Bytes ToBytes(std::string_view text);

class ScriptedLink : public Link {
 public:
  struct Call {
    enum class Kind { kWrite, kRead, kDrain, kTimeouts, kLineSettings } kind;
    Bytes bytes;           // kWrite: the request; kRead, kDrain: what was handed out
    size_t asked = 0;      // kWrite, kRead, kDrain
    size_t moved = 0;      // kWrite, kRead, kDrain
    uint32_t quietMs = 0;  // kDrain
    Timeouts timeouts{};   // kTimeouts
    LineSettings line{};   // kLineSettings
  };

  // Bytes that arrive during the next read that has no earlier entry left;
  // an empty entry is a read during which nothing arrives. Arrived bytes stay
  // in the input until read, as on a real port.
  void QueueArrival(Bytes bytes);
  void QueueArrival(std::string_view text) { QueueArrival(ToBytes(text)); }
  // Bytes that arrive just after a read has given up: the next read that
  // comes up short finds them in the input once it has returned.
  void QueueLateArrival(Bytes bytes);
  // Called for every full write; what it returns arrives at once.
  void SetResponder(std::function<Bytes(const Bytes& request)> responder);
  // The next write moves only `count` bytes (0 for a failed write).
  void QueueShortWrite(size_t count);

  const std::vector<Call>& calls() const { return calls_; }
  std::vector<Bytes> Requests() const;  // every request written, in order
  size_t CountOf(Call::Kind kind) const;
  std::optional<LineSettings> LastLineSettings() const;

  size_t Write(const uint8_t* data, size_t n) override;
  size_t Read(uint8_t* data, size_t n) override;
  size_t Drain(uint8_t* data, size_t n, uint32_t quietMs) override;
  void SetTimeouts(const Timeouts& timeouts) override;
  void ApplyLineSettings(const LineSettings& settings) override;

 private:
  struct Arrival {
    Bytes bytes;
    bool late;
  };
  size_t Take(uint8_t* data, size_t n);
  std::deque<Arrival> arrivals_;
  std::deque<size_t> shortWrites_;
  std::function<Bytes(const Bytes&)> responder_;
  std::deque<uint8_t> input_;
  std::vector<Call> calls_;
};
