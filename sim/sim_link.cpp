#include "sim/sim_link.h"

#include <algorithm>
#include <deque>
#include <optional>
#include <utility>

namespace {

class SimLink final : public Link {
 public:
  explicit SimLink(PlcSimulator& plc) : plc_(plc) {}
  ~SimLink() override {
    if (!dead_) plc_.Disconnect();
  }

  size_t Write(const uint8_t* data, size_t n) override {
    if (dead_) return 0;
    const uint64_t byteTime = ByteMicros();
    plc_.nowMicros += n * byteTime;
    plc_.Receive({data, n}, line_.value_or(LineSettings{0, 0, 0, 0}));
    if (plc_.LinkDropped()) {
      // The device vanished on hearing the request: the write went out, but
      // from now on nothing moves.
      dead_ = true;
      plc_.Disconnect();
      input_.clear();
      return n;
    }
    const PlcSimulator::Output reply = plc_.TakeOutput();
    // The PLC's transmitter sends one byte after the other, after its own
    // delay, and never before its previous reply has gone out.
    uint64_t at = std::max<uint64_t>(plc_.nowMicros + reply.delayMs * 1000ull, busyUntil_);
    for (uint8_t byte : reply.bytes) {
      at += byteTime;
      input_.emplace_back(byte, at);
    }
    if (!reply.bytes.empty()) busyUntil_ = at;
    return n;
  }

  size_t Read(uint8_t* data, size_t n) override {
    if (dead_) return 0;  // a vanished device fails at once
    const uint64_t deadline = plc_.nowMicros + uint64_t{timeouts_.readTotalMs} * 1000;
    size_t got = 0;
    uint64_t last = plc_.nowMicros;
    while (got < n && !input_.empty() && input_.front().second <= deadline) {
      data[got++] = input_.front().first;
      last = std::max(last, input_.front().second);
      input_.pop_front();
    }
    if (got == n) {
      plc_.nowMicros = last;
    } else {
      plc_.nowMicros = deadline;
      plc_.LineIdle();  // the host has given up; so does the PLC on a half request
    }
    return got;
  }

  size_t Drain(uint8_t* data, size_t n, uint32_t quietMs) override {
    if (dead_) return 0;
    const uint64_t quiet = uint64_t{quietMs} * 1000;
    uint64_t heardLast = plc_.nowMicros;  // the quiet time counts from here
    size_t got = 0;
    while (got < n && !input_.empty() && input_.front().second <= heardLast + quiet) {
      data[got++] = input_.front().first;
      heardLast = std::max(heardLast, input_.front().second);
      input_.pop_front();
    }
    plc_.nowMicros = got == n ? heardLast : heardLast + quiet;
    return got;
  }

  void SetTimeouts(const Timeouts& timeouts) override { timeouts_ = timeouts; }
  void ApplyLineSettings(const LineSettings& settings) override { line_ = settings; }

 private:
  // One character on the wire: start bit, data bits, parity, stop bits.
  uint64_t ByteMicros() const {
    if (!plc_.settings().pacing) return 0;
    const LineSettings line = line_.value_or(kApplicationLineSettings);
    const uint32_t baud = line.baudRate != 0 ? line.baudRate : 9600;
    const uint32_t halfBits =
        2 * (1 + line.byteSize + (line.parity != 0 ? 1 : 0)) + (line.stopBits == 0   ? 2
                                                                : line.stopBits == 1 ? 3
                                                                                     : 4);
    return (halfBits * 1000000ull / 2 + baud - 1) / baud;
  }

  PlcSimulator& plc_;
  Timeouts timeouts_ = kExchangeTimeouts;
  std::optional<LineSettings> line_;
  std::deque<std::pair<uint8_t, uint64_t>> input_;  // reply bytes and when they arrive
  uint64_t busyUntil_ = 0;
  bool dead_ = false;
};

}  // namespace

std::unique_ptr<Link> OpenSimLink(PlcSimulator& plc) {
  if (!plc.Connect()) return nullptr;
  return std::make_unique<SimLink>(plc);
}
