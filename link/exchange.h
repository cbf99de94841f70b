// SPDX-License-Identifier: MIT
// The retry budget shared by every request/reply exchange with the PLC.
//
// An exchange writes its whole request, reads a reply of known length and
// judges it. A short write is a write failure, a short or unacceptable reply
// a read failure; six failures of one kind end the exchange. errCounter shows
// the count of the kind that failed last (the read-failure count while a read
// is under way); totalErrCounter counts every failure of the burn. Both are
// the burn's own, on its StatusBoard.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>

#include "link/dialogue.h"

inline constexpr uint8_t kFailuresPerKind = 6;
// The longest reply any exchange reads (a function 0x64 reply).
inline constexpr size_t kLargestReply = 19;

class RetryBudget {
 public:
  // `failuresPerKind` is 6, or 1 for an exchange that gets a single attempt.
  explicit RetryBudget(StatusBoard& status, uint8_t failuresPerKind = kFailuresPerKind)
      : status_(status), limit_(failuresPerKind) {}

  bool HasAttemptsLeft() const { return writeFailures_ < limit_ && readFailures_ < limit_; }
  void CountWriteFailure() { status_.CountFailure(++writeFailures_); }
  void CountReadFailure() { status_.CountFailure(++readFailures_); }
  // Before each read, errCounter falls back to the read-failure count.
  void ShowReadFailures() const { status_.SetErrCounter(readFailures_); }

 private:
  StatusBoard& status_;
  uint8_t limit_;
  uint8_t writeFailures_ = 0;
  uint8_t readFailures_ = 0;
};

enum class Verdict {
  kAccept,  // the exchange ends with success
  kReject,  // a read failure; the request goes out again
  kStop,    // the exchange ends at once, neither success nor exhaustion
};

enum class ExchangeEnd {
  kAccepted,
  kExhausted,
  kStopped,
  kCancelled,  // the burn was asked to stop before an attempt
  kOutOfStep,  // a reply came that answers no request the exchange can name
};

// After a read that came up short the line is listened to until it has been
// quiet this long, and what came is judged with the reply: nothing was sent
// after the request, so a reply a little later than the time-out is still
// its reply. Sending the request again at once would leave that late reply
// to the next read, and every later reply would be read one exchange late.
inline constexpr uint32_t kLateReplyQuietMs = 200;

// Input waiting before a request goes out is stale (the tail of an earlier
// reply, a reply later than its listening, noise) and is taken off the line,
// so that it cannot stand in for the reply to this request. With quietMs 0
// only what has arrived is taken; otherwise also what keeps arriving, until
// the line has been quiet that long.
inline void DiscardStaleInput(Link& link, uint32_t quietMs = 0) {
  // A line that never stops delivering is not drained for ever.
  constexpr size_t kMostStaleBytes = 4096;
  uint8_t chunk[64];
  for (size_t taken = 0; taken < kMostStaleBytes; taken += sizeof chunk) {
    if (link.Drain(chunk, sizeof chunk, quietMs) < sizeof chunk) return;
  }
}

// Tells the listener, if any, how an attempt ended and what it heard.
inline void TellAttempt(ExchangeListener* listener, std::span<const uint8_t> request,
                        std::span<const uint8_t> heard, AttemptResult result) {
  if (listener != nullptr) listener->OnAttempt({request, heard, result});
}

// Runs attempts under `budget` until `judge` accepts or stops, or the budget
// runs out, or the burn is asked to stop (checked before every attempt, so
// a request is never cut off halfway). Each attempt takes stale input off the
// line, writes `request` whole and, after a full write, clears `reply` and
// reads reply.size() bytes into it. judge(bytesRead) sees the reply in place;
// its verdict on a short read is its own to give.
//
// Two replies can be on the line at once: one late enough to miss its
// attempt's listening, and the reply to the attempt that follows. Each
// attempt must still read its own reply from its first byte. So a whole
// reply that is refused (it may be the tail of one reply and the head of the
// next) is followed by listening until the line is quiet, and so is a reply
// accepted after an attempt that went unanswered (it may be that attempt's,
// late, with this attempt's own still coming); what comes meanwhile is
// stale input.
template <typename Judge>
ExchangeEnd Exchange(const Dialogue& dialogue, std::span<const uint8_t> request,
                     std::span<uint8_t> reply, RetryBudget& budget, Judge&& judge) {
  Link& link = dialogue.link;
  ExchangeListener* const listener = dialogue.listener;
  if (listener != nullptr) listener->OnExchange();
  // The listener hears the reply as it came: the judge may convert it in place.
  uint8_t heard[kLargestReply];
  auto tell = [&](size_t got, AttemptResult result) {
    TellAttempt(listener, request, {heard, std::min(got, sizeof heard)}, result);
  };
  bool unanswered = false;  // an earlier attempt's reply may still come
  while (budget.HasAttemptsLeft()) {
    if (dialogue.cancel.Requested()) return ExchangeEnd::kCancelled;
    DiscardStaleInput(link);
    if (link.Write(request.data(), request.size()) != request.size()) {
      budget.CountWriteFailure();
      tell(0, AttemptResult::kWriteFailed);
      continue;
    }
    budget.ShowReadFailures();
    std::memset(reply.data(), 0, reply.size());
    size_t got = link.Read(reply.data(), reply.size());
    if (got < reply.size()) {
      got += link.Drain(reply.data() + got, reply.size() - got, kLateReplyQuietMs);
    }
    if (listener != nullptr) std::memcpy(heard, reply.data(), std::min(got, sizeof heard));
    const bool whole = got == reply.size();
    switch (judge(got)) {
      case Verdict::kAccept:
        tell(got, AttemptResult::kAccepted);
        if (unanswered) DiscardStaleInput(link, kLateReplyQuietMs);
        return ExchangeEnd::kAccepted;
      case Verdict::kStop: tell(got, AttemptResult::kStopped); return ExchangeEnd::kStopped;
      case Verdict::kReject:
        budget.CountReadFailure();
        tell(got, AttemptResult::kRejected);
        // A short reply was followed by a quiet line already.
        if (whole) DiscardStaleInput(link, kLateReplyQuietMs);
        unanswered = unanswered || !whole;
        break;
    }
  }
  return ExchangeEnd::kExhausted;
}
