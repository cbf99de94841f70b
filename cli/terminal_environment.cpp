#include "cli/terminal_environment.h"

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

LinkOpening TerminalEnvironment::OpenMyDevPipe() { return Traced(setup_.links.openUsb()); }

void TerminalEnvironment::ShowBox(BoxKind kind, const std::string&, const std::string&) {
  if (kind != BoxKind::kPrompt || setup_.answerPrompts) return;
  // The line is read on a thread of its own, so that a stop requested
  // meanwhile (Ctrl-C) is not held up by a read nobody answers. The reader
  // owns what it shares, and is left to the end of the process if need be.
  struct Answer {
    std::mutex mutex;
    bool done = false;
    bool gotLine = false;
  };
  auto answer = std::make_shared<Answer>();
  std::thread([answer, &in = setup_.in] {
    std::string line;
    const bool got = static_cast<bool>(std::getline(in, line));
    std::lock_guard<std::mutex> lock(answer->mutex);
    answer->done = true;
    answer->gotLine = got;
  }).detach();
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(answer->mutex);
      if (answer->done) {
        if (!answer->gotLine) {
          promptUnanswered_ = true;
          setup_.cancel.Request();
        }
        return;
      }
    }
    if (setup_.cancel.WaitFor(std::chrono::milliseconds(20))) return;
  }
}

void TerminalEnvironment::SleepSeconds(int seconds, const CancelToken& cancel) {
  cancel.WaitFor(std::chrono::seconds(seconds));
}

void TerminalEnvironment::Show(const BurnStatus& status) {
  setup_.reporter.Update({status.flashStatus, status.progress, elapsedTime_, status.errCounter,
                          status.totalErrCounter, status.bytesSent, status.bytesTotal});
}

void TerminalEnvironment::OnStatus(const BurnStatus& status) {
  std::lock_guard<std::mutex> lock(statusMutex_);
  status_ = status;
  Show(status_);
}

void TerminalEnvironment::ShowStart() {
  std::lock_guard<std::mutex> lock(statusMutex_);
  Show(status_);
}

void TerminalEnvironment::Tick() {
  if (!timerRunning_) return;
  ++elapsedTime_;
  std::lock_guard<std::mutex> lock(statusMutex_);
  Show(status_);
}

void TerminalEnvironment::OnPrompt(const std::string& text) {
  setup_.reporter.Prompt("Information", text, !setup_.answerPrompts);
}

void TerminalEnvironment::OnResult(const BurnResult& result) {
  // A stop says its own words once the burn has closed its link.
  if (result.outcome == BurnOutcome::kCancelled) return;
  setup_.reporter.Result(result.caption, result.message, ExitStatusOf(result),
                         Diagnose(result, setup_.model, setup_.portLabel));
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
