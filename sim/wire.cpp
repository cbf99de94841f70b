// SPDX-License-Identifier: MIT
#include "sim/wire.h"

#include <algorithm>

namespace {

constexpr uint64_t kNanosPerSecond = 1000000000;

// Half bits, so that 1.5 stop bits count exactly.
uint64_t HalfBitsPerCharacter(const LineSettings& line) {
  const uint64_t stopHalfBits = line.stopBits == 0 ? 2 : line.stopBits == 1 ? 3 : 4;
  return 2 * (1 + uint64_t{line.byteSize} + (line.parity != 0 ? 1 : 0)) + stopHalfBits;
}

bool SameWire(const LineSettings& a, const LineSettings& b) {
  return a.baudRate == b.baudRate && HalfBitsPerCharacter(a) == HalfBitsPerCharacter(b);
}

}  // namespace

uint64_t WireNanos(const LineSettings& line, uint64_t characters) {
  const uint64_t halfBits = characters * HalfBitsPerCharacter(line);
  const uint64_t halfBitsPerSecond = 2 * uint64_t{line.baudRate != 0 ? line.baudRate : 9600};
  // Whole seconds apart, so that the product below cannot overflow.
  const uint64_t seconds = halfBits / halfBitsPerSecond;
  const uint64_t rest = halfBits % halfBitsPerSecond;
  return seconds * kNanosPerSecond +
         (rest * kNanosPerSecond + halfBitsPerSecond - 1) / halfBitsPerSecond;
}

uint64_t Wire::Send(uint64_t at, uint64_t count, const LineSettings& line) {
  if (count == 0) return at;
  // Never ahead of characters sent before: they are still on the line.
  if (!paced_) return start_ = std::max(at, start_);
  if (count_ == 0 || at > End() || !SameWire(line, line_)) {
    start_ = std::max(at, End());
    count_ = 0;
    line_ = line;
  }
  first_ = count_;
  count_ += count;
  return End();
}

uint64_t Wire::ArrivalOf(uint64_t k) const {
  return paced_ ? start_ + WireNanos(line_, first_ + k + 1) : start_;
}

uint64_t Wire::End() const { return count_ == 0 ? start_ : start_ + WireNanos(line_, count_); }
