// SPDX-License-Identifier: MIT
// What the operator watches while a burn runs: the phase, the percentage of
// the current phase and the two retry counters. The protocol operations
// write them through the burn's StatusBoard, which tells its listener of
// every change, so a display never has to sample them.
#pragma once

#include <cstdint>

inline constexpr int32_t kIdle = 0;
inline constexpr int32_t kErasing = 1;
inline constexpr int32_t kProgramming = 2;

struct BurnStatus {
  int32_t flashStatus = kIdle;  // 0 idle, 1 erasing, 2 programming
  int32_t progress = 0;         // percent of the current phase
  int32_t errCounter = 0;       // failed attempts of the current exchange
  int32_t totalErrCounter = 0;  // failed attempts of the whole burn
  // Image bytes the PLC has acknowledged, of those the transfer sends.
  uint32_t bytesSent = 0;
  uint32_t bytesTotal = 0;
  friend bool operator==(const BurnStatus&, const BurnStatus&) = default;
};

class StatusListener {
 public:
  virtual ~StatusListener() = default;
  virtual void OnStatus(const BurnStatus& status) = 0;
};

// One burn's status values. Written by the burn's own thread only.
class StatusBoard {
 public:
  explicit StatusBoard(StatusListener* listener = nullptr) : listener_(listener) {}

  const BurnStatus& now() const { return status_; }
  void SetErrCounter(int32_t count) {
    Change([&](BurnStatus& s) { s.errCounter = count; });
  }
  // A failed attempt: errCounter shows the count of its kind, and the burn's
  // total grows by one.
  void CountFailure(int32_t count) {
    Change([&](BurnStatus& s) {
      s.errCounter = count;
      ++s.totalErrCounter;
    });
  }
  void SetPhase(int32_t flashStatus) {
    Change([&](BurnStatus& s) {
      s.flashStatus = flashStatus;
      s.progress = 0;
    });
  }
  void SetProgress(int32_t percent) {
    Change([&](BurnStatus& s) { s.progress = percent; });
  }
  void SetTransferred(uint32_t sent, uint32_t total) {
    Change([&](BurnStatus& s) {
      s.bytesSent = sent;
      s.bytesTotal = total;
    });
  }
  void Reset() {
    Change([](BurnStatus& s) { s = BurnStatus{}; });
  }

 private:
  template <typename Edit>
  void Change(Edit edit) {
    BurnStatus next = status_;
    edit(next);
    if (next == status_) return;
    status_ = next;
    if (listener_ != nullptr) listener_->OnStatus(status_);
  }

  StatusListener* listener_;
  BurnStatus status_;
};
