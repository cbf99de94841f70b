// SPDX-License-Identifier: MIT
#include "cli/terminal_environment.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>

#include "cli/options.h"

LinkOpening TerminalEnvironment::Traced(LinkOpening opening) {
  if (setup_.trace != nullptr) opening.link = setup_.trace->Traced(std::move(opening.link));
  return opening;
}

LinkOpening TerminalEnvironment::OpenSerialPort(const std::string& port) {
  return Traced(setup_.links.openSerial(port));
}

LinkOpening TerminalEnvironment::OpenMyDevPipe() {
  LinkOpening opening = setup_.links.openUsb();
  // The first open is before any replug; a later one after it.
  if (usbOpens_++ == 0 || !setup_.links.usbSerialNow) return Traced(std::move(opening));
  const std::string serial = setup_.links.usbSerialNow();
  std::lock_guard<std::mutex> lock(statusMutex_);
  serialAfterReplug_ = serial;
  const auto& run = setup_.runSerials;
  const bool ofThisRun = std::find(run.begin(), run.end(), serial) != run.end();
  if (!opening || serial.empty() || setup_.serial.empty() || serial == setup_.serial || ofThisRun) {
    if (opening && !serial.empty()) serial_ = serial;
    return Traced(std::move(opening));
  }
  // Not a PLC this run took into its loader: nothing of it was checked.
  stranger_ = Diagnosis{
      "After the replug the PLC at " + setup_.portLabel + " reports the serial number " + serial +
          ", and the PLC that went through phase 1 there reported " + setup_.serial + "; " +
          serial + " is no PLC of this run, so nothing was written to it.",
      "Put the PLCs back where they were before the replug and run the same command again: a "
      "PLC left in its loader goes straight to phase 2.",
      std::nullopt};
  return {nullptr, OpenFailure::kNoDevice, "the PLC there is " + serial};
}

std::string TerminalEnvironment::Serial() {
  std::lock_guard<std::mutex> lock(statusMutex_);
  return serial_;
}

std::optional<std::string> TerminalEnvironment::SerialAfterReplug() {
  std::lock_guard<std::mutex> lock(statusMutex_);
  return serialAfterReplug_;
}

PromptAnswer WaitForEnter(std::istream& in, const CancelToken& cancel) {
  std::string line;
  return ReadAnswer(in, cancel, line);
}

PromptAnswer ReadAnswer(std::istream& in, const CancelToken& cancel, std::string& line) {
  // The reader owns what it shares.
  struct Answer {
    std::mutex mutex;
    bool done = false;
    bool gotLine = false;
    std::string line;
  };
  auto answer = std::make_shared<Answer>();
  std::thread([answer, &in] {
    std::string typed;
    const bool got = static_cast<bool>(std::getline(in, typed));
    std::lock_guard<std::mutex> lock(answer->mutex);
    answer->done = true;
    answer->gotLine = got;
    answer->line = std::move(typed);
  }).detach();
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(answer->mutex);
      if (answer->done) {
        line = answer->line;
        // A Windows console ends the line with CR LF.
        if (!line.empty() && line.back() == '\r') line.pop_back();
        return answer->gotLine ? PromptAnswer::kAnswered : PromptAnswer::kEnded;
      }
    }
    if (cancel.WaitFor(std::chrono::milliseconds(20))) return PromptAnswer::kStopped;
  }
}

void TerminalEnvironment::ShowBox(BoxKind kind, const std::string& text, const std::string&) {
  if (kind != BoxKind::kPrompt || setup_.answerPrompts) return;
  const PromptAnswer answer = setup_.gate != nullptr ? setup_.gate->Ask(text, setup_.cancel)
                                                     : WaitForEnter(setup_.in, setup_.cancel);
  if (answer == PromptAnswer::kEnded) promptUnanswered_ = true;
  // A prompt that was not answered holds the burn where it is: nobody
  // replugged the PLC.
  if (answer != PromptAnswer::kAnswered) setup_.cancel.Request();
}

void TerminalEnvironment::SleepSeconds(int seconds, const CancelToken& cancel) {
  cancel.WaitFor(std::chrono::seconds(seconds));
}

void TerminalEnvironment::Show(const BurnStatus& status) {
  setup_.reporter.Update({status.flashStatus, status.progress, elapsedTime_, status.errCounter,
                          status.totalErrCounter, status.bytesSent, status.bytesTotal});
}

void TerminalEnvironment::OnStatus(const BurnStatus& status) {
  // Past the erase's start no prompt comes any more.
  if (setup_.gate != nullptr && status.flashStatus != kIdle) setup_.gate->Pass();
  std::lock_guard<std::mutex> lock(statusMutex_);
  if (ended_) return;
  status_ = status;
  Show(status_);
}

BurnStatus TerminalEnvironment::FinalStatus() {
  std::lock_guard<std::mutex> lock(statusMutex_);
  return final_;
}

void TerminalEnvironment::ShowStart() {
  std::lock_guard<std::mutex> lock(statusMutex_);
  Show(status_);
}

void TerminalEnvironment::Tick() {
  if (!timerRunning_ || ended_) return;
  ++elapsedTime_;
  std::lock_guard<std::mutex> lock(statusMutex_);
  Show(status_);
}

void TerminalEnvironment::OnPrompt(const std::string& text) {
  // A shared prompt is shown once, for all the burns it stands for.
  if (setup_.gate != nullptr) return;
  setup_.reporter.Prompt("Information", text, !setup_.answerPrompts);
}

void TerminalEnvironment::OnResult(const BurnResult& result) {
  if (setup_.gate != nullptr) setup_.gate->Pass();
  std::optional<Diagnosis> stranger;
  {
    // The burn resets its status next: the counters as it ended are kept.
    std::lock_guard<std::mutex> lock(statusMutex_);
    final_ = status_;
    ended_ = true;
    stranger = stranger_;
  }
  // A stop says its own words once the burn has closed its link.
  if (result.outcome == BurnOutcome::kCancelled) return;
  setup_.reporter.Result(result.caption, result.message, ExitStatusOf(result),
                         stranger.value_or(Diagnose(result, setup_.model, setup_.portLabel)));
}

void WireWatch::OnOperation(Operation operation) {
  if (trace_ != nullptr) trace_->OnOperation(operation);
  reporter_.Operation(operation);
}

void WireWatch::OnExchange() {
  if (trace_ != nullptr) trace_->OnExchange();
}

void WireWatch::OnAttempt(const Attempt& attempt) { reporter_.Attempt(attempt); }

int ExitStatusOf(const BurnResult& result) {
  switch (result.outcome) {
    case BurnOutcome::kSucceeded: return kExitSuccess;
    case BurnOutcome::kImageRefused: return kExitImageRefused;
    case BurnOutcome::kLinkNotOpened: return kExitLinkNotOpened;
    case BurnOutcome::kFailed:
    case BurnOutcome::kCancelled: break;
  }
  return kExitBurnFailed;
}

std::string Whereabouts(BurnPhase phase) {
  switch (phase) {
    case BurnPhase::kStarting:
    case BurnPhase::kOpeningLink: return "the start, before the PLC was reached";
    case BurnPhase::kPhase1: return "phase 1";
    case BurnPhase::kReconnecting: return "the reconnection between phase 1 and phase 2";
    case BurnPhase::kPhase2: return "phase 2, before the erase";
    case BurnPhase::kErasing: return "phase 2, erasing the flash";
    case BurnPhase::kProgramming: return "phase 2, writing the image";
  }
  return "the update";
}
