// SPDX-License-Identifier: MIT
#include "sim/sim_link.h"

#include <algorithm>
#include <deque>
#include <optional>
#include <utility>

#include "sim/wire.h"

namespace {

constexpr uint64_t kNanosPerMs = 1000000;

class SimLink final : public Link {
 public:
  explicit SimLink(PlcSimulator& plc)
      : plc_(plc), toPlc_(plc.settings().pacing), toHost_(plc.settings().pacing) {}
  ~SimLink() override {
    if (!dead_) plc_.Disconnect();
  }

  size_t Write(const uint8_t* data, size_t n) override {
    if (dead_) return 0;
    uint64_t& now = plc_.nowMicros.nanos;
    const LineSettings line = line_.value_or(kApplicationLineSettings);
    now = toPlc_.Send(now, n, line);
    plc_.Receive({data, n}, line_.value_or(LineSettings{0, 0, 0, 0}));
    if (plc_.LinkDropped()) {
      // The device vanished on hearing the request: the write went out, but
      // from now on nothing moves.
      dead_ = true;
      plc_.Disconnect();
      input_.clear();
      return n;
    }
    // The PLC's transmitter sends one character after the other, after its
    // own delay, and never before its previous reply has gone out.
    const PlcSimulator::Output reply = plc_.TakeOutput();
    toHost_.Send(now + reply.delayMs * kNanosPerMs, reply.bytes.size(), line);
    for (size_t i = 0; i < reply.bytes.size(); ++i) {
      input_.emplace_back(reply.bytes[i], toHost_.ArrivalOf(i));
    }
    return n;
  }

  size_t Read(uint8_t* data, size_t n) override {
    if (dead_) return 0;  // a vanished device fails at once
    uint64_t& now = plc_.nowMicros.nanos;
    const uint64_t deadline = now + timeouts_.readTotalMs * kNanosPerMs;
    size_t got = 0;
    uint64_t last = now;
    while (got < n && !input_.empty() && input_.front().second <= deadline) {
      data[got++] = input_.front().first;
      last = std::max(last, input_.front().second);
      input_.pop_front();
    }
    if (got == n) {
      now = last;
    } else {
      now = deadline;
      plc_.LineIdle();  // the host has given up; so does the PLC on a half request
    }
    return got;
  }

  size_t Drain(uint8_t* data, size_t n, uint32_t quietMs) override {
    if (dead_) return 0;
    uint64_t& now = plc_.nowMicros.nanos;
    const uint64_t quiet = quietMs * kNanosPerMs;
    uint64_t heardLast = now;  // the quiet time counts from here
    size_t got = 0;
    while (got < n && !input_.empty() && input_.front().second <= heardLast + quiet) {
      data[got++] = input_.front().first;
      heardLast = std::max(heardLast, input_.front().second);
      input_.pop_front();
    }
    now = got == n ? heardLast : heardLast + quiet;
    return got;
  }

  void SetTimeouts(const Timeouts& timeouts) override { timeouts_ = timeouts; }
  void ApplyLineSettings(const LineSettings& settings) override { line_ = settings; }

 private:
  PlcSimulator& plc_;
  Timeouts timeouts_ = kExchangeTimeouts;
  std::optional<LineSettings> line_;
  Wire toPlc_;
  Wire toHost_;
  std::deque<std::pair<uint8_t, uint64_t>> input_;  // reply bytes and when they arrive (ns)
  bool dead_ = false;
};

}  // namespace

std::unique_ptr<Link> OpenSimLink(PlcSimulator& plc) {
  if (!plc.Connect()) return nullptr;
  return std::make_unique<SimLink>(plc);
}
