// The retry budget shared by every request/reply exchange with the PLC.
//
// An exchange writes its whole request, reads a reply of known length and
// judges it. A short write is a write failure, a short or unacceptable reply
// a read failure; six failures of one kind end the exchange. errCounter shows
// the count of the kind that failed last (the read-failure count while a read
// is under way); totalErrCounter counts every failure of the burn.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <span>

#include "link/link.h"

extern std::atomic<int32_t> errCounter;
extern std::atomic<int32_t> totalErrCounter;

inline constexpr uint8_t kFailuresPerKind = 6;

class RetryBudget {
 public:
  // `failuresPerKind` is 6, or 1 for an exchange that gets a single attempt.
  explicit RetryBudget(uint8_t failuresPerKind = kFailuresPerKind) : limit_(failuresPerKind) {}

  bool HasAttemptsLeft() const { return writeFailures_ < limit_ && readFailures_ < limit_; }
  void CountWriteFailure() { Count(++writeFailures_); }
  void CountReadFailure() { Count(++readFailures_); }
  // Before each read, errCounter falls back to the read-failure count.
  void ShowReadFailures() const { errCounter = readFailures_; }

 private:
  void Count(uint8_t failures) {
    errCounter = failures;
    ++totalErrCounter;
  }
  uint8_t limit_;
  uint8_t writeFailures_ = 0;
  uint8_t readFailures_ = 0;
};

enum class Verdict {
  kAccept,  // the exchange ends with success
  kReject,  // a read failure; the request goes out again
  kStop,    // the exchange ends at once, neither success nor exhaustion
};

enum class ExchangeEnd { kAccepted, kExhausted, kStopped };

// Runs attempts under `budget` until `judge` accepts or stops, or the budget
// runs out. Each attempt writes `request` whole and, after a full write,
// clears `reply` and reads reply.size() bytes into it. judge(bytesRead)
// sees the reply in place; its verdict on a short read is its own to give.
template <typename Judge>
ExchangeEnd Exchange(Link& link, std::span<const uint8_t> request, std::span<uint8_t> reply,
                     RetryBudget& budget, Judge&& judge) {
  while (budget.HasAttemptsLeft()) {
    if (link.Write(request.data(), request.size()) != request.size()) {
      budget.CountWriteFailure();
      continue;
    }
    budget.ShowReadFailures();
    std::memset(reply.data(), 0, reply.size());
    const size_t got = link.Read(reply.data(), reply.size());
    switch (judge(got)) {
      case Verdict::kAccept: return ExchangeEnd::kAccepted;
      case Verdict::kStop: return ExchangeEnd::kStopped;
      case Verdict::kReject: budget.CountReadFailure(); break;
    }
  }
  return ExchangeEnd::kExhausted;
}
