// SPDX-License-Identifier: MIT
#include "cli/shared_prompt.h"

#include <algorithm>
#include <chrono>

SharedPrompt::SharedPrompt(Reporter& reporter, std::istream& in, std::vector<std::string> units,
                           std::function<void()> answered)
    : reporter_(reporter),
      in_(in),
      units_(std::move(units)),
      answered_(std::move(answered)),
      states_(units_.size(), State::kRunning) {
  for (size_t unit = 0; unit < units_.size(); ++unit) {
    gates_.push_back(std::make_unique<UnitGate>(*this, unit));
  }
}

bool SharedPrompt::AllHere() const {
  return std::none_of(states_.begin(), states_.end(),
                      [](State state) { return state == State::kRunning; }) &&
         std::count(states_.begin(), states_.end(), State::kWaiting) > 0;
}

PromptAnswer SharedPrompt::Ask(size_t unit, const std::string& text, const CancelToken& cancel) {
  std::unique_lock<std::mutex> lock(mutex_);
  states_[unit] = State::kWaiting;
  const uint64_t round = round_;
  changed_.notify_all();
  for (;;) {
    // Answered by the unit that asked for this round: the asker set this
    // one running again, so no later round ends before it has read this.
    if (round_ != round) return answer_;
    if (cancel.Requested()) {
      states_[unit] = State::kRunning;
      changed_.notify_all();
      return PromptAnswer::kStopped;
    }
    if (!asking_ && AllHere()) break;
    changed_.wait_for(lock, std::chrono::milliseconds(20));
  }
  // The unit that finds everyone here asks, for all of them.
  asking_ = true;
  std::vector<size_t> waiting;
  std::vector<std::string> names;
  for (size_t each = 0; each < states_.size(); ++each) {
    if (states_[each] != State::kWaiting) continue;
    waiting.push_back(each);
    names.push_back(units_[each]);
  }
  lock.unlock();
  reporter_.Prompt("Information", text, true, names);
  const PromptAnswer answer = WaitForEnter(in_, cancel);
  if (answer == PromptAnswer::kAnswered) answered_();
  lock.lock();
  for (const size_t each : waiting) {
    if (states_[each] == State::kWaiting) states_[each] = State::kRunning;
  }
  answer_ = answer;
  ++round_;
  asking_ = false;
  changed_.notify_all();
  return answer;
}

void SharedPrompt::Pass(size_t unit) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (states_[unit] == State::kPassed) return;
  states_[unit] = State::kPassed;
  changed_.notify_all();
}
