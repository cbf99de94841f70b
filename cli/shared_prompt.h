// SPDX-License-Identifier: MIT
// One prompt for several burns at once. A burn that reaches its replug or
// power-cycle prompt waits until every other unit still running has reached
// it too or gone past the point of asking (erasing, or ended); the prompt is
// then shown once, naming the units it is for, and one Enter answers all of
// them. A PLC found already in its loader never asks, and holds the others
// only until its erase starts.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <istream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "cli/reporter.h"
#include "cli/terminal_environment.h"

class SharedPrompt {
 public:
  // `answered` runs after each Enter (the board wipes the terminal's echo).
  SharedPrompt(Reporter& reporter, std::istream& in, std::vector<std::string> units,
               std::function<void()> answered);

  // The gate of the burn of `units[unit]`.
  PromptGate& Gate(size_t unit) { return *gates_[unit]; }

 private:
  enum class State { kRunning, kWaiting, kPassed };
  class UnitGate final : public PromptGate {
   public:
    UnitGate(SharedPrompt& prompt, size_t unit) : prompt_(prompt), unit_(unit) {}
    PromptAnswer Ask(const std::string& text, const CancelToken& cancel) override {
      return prompt_.Ask(unit_, text, cancel);
    }
    void Pass() override { prompt_.Pass(unit_); }

   private:
    SharedPrompt& prompt_;
    size_t unit_;
  };

  PromptAnswer Ask(size_t unit, const std::string& text, const CancelToken& cancel);
  void Pass(size_t unit);
  // Every unit still running waits here.
  bool AllHere() const;

  Reporter& reporter_;
  std::istream& in_;
  const std::vector<std::string> units_;
  const std::function<void()> answered_;
  std::vector<std::unique_ptr<UnitGate>> gates_;

  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<State> states_;
  uint64_t round_ = 0;  // prompts answered so far
  bool asking_ = false;
  PromptAnswer answer_ = PromptAnswer::kAnswered;  // the last round's
};
