// SPDX-License-Identifier: MIT
// A request to stop one burn, made by its front end (Ctrl-C, a signal, the
// window closing, a prompt nobody can answer) and seen by the burn between
// its exchanges and in its waits. The burn then ends on its own thread and
// closes its link, as after any other end.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

class CancelToken {
 public:
  void Request() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      requested_ = true;
    }
    wake_.notify_all();
  }
  bool Requested() const { return requested_; }
  // Waits `duration`, or less when the stop is requested meanwhile; true when
  // it was.
  bool WaitFor(std::chrono::milliseconds duration) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return wake_.wait_for(lock, duration, [this] { return requested_.load(); });
  }

 private:
  std::atomic<bool> requested_{false};
  mutable std::mutex mutex_;
  mutable std::condition_variable wake_;
};
