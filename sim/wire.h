// SPDX-License-Identifier: MIT
// Time on a simulated serial line, exact to the nanosecond, for both
// transports: the in-process link's simulated clock and morvix-plcsim's
// real one. A character's time comes from the bit count of the whole run of
// back-to-back characters it belongs to, never from a rounded byte time
// multiplied, so a measurement of the tool against the line's limit
// measures the tool and not the simulator's rounding.
#pragma once

#include <cstdint>

#include "link/link.h"

// Nanoseconds `characters` back-to-back characters take on a line with
// `line` in force: a start bit, the data bits, the parity bit if any and the
// stop bits each, at the line's speed. Rounded up once, over the whole run.
uint64_t WireNanos(const LineSettings& line, uint64_t characters);

// One direction of a paced line. Characters go out one after the other at
// the line's speed: those sent while earlier ones are still on the line
// follow right behind them, in the same run.
class Wire {
 public:
  explicit Wire(bool paced) : paced_(paced) {}

  // Sends `count` characters, none before `at` (in nanoseconds on the
  // caller's clock); returns when the last one has arrived. Unpaced, they
  // arrive at once, but never ahead of those sent before. Sending none
  // changes nothing.
  uint64_t Send(uint64_t at, uint64_t count, const LineSettings& line);
  // When the k-th character (from 0) of the last Send arrives.
  uint64_t ArrivalOf(uint64_t k) const;
  // The line falls quiet: what was on it is forgotten.
  void Clear() { *this = Wire(paced_); }

 private:
  uint64_t End() const;

  bool paced_;
  LineSettings line_{};  // the run's line
  uint64_t start_ = 0;   // when the run began
  uint64_t count_ = 0;   // characters in the run
  uint64_t first_ = 0;   // the last Send's first character in the run
};
