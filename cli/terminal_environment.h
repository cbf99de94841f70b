// SPDX-License-Identifier: MIT
// The burn's outside world on a terminal: its events become the display's
// lines, a prompt waits for Enter, the elapsed-time timer is the display's
// one-second tick. One per burn.
#pragma once

#include <atomic>
#include <functional>
#include <istream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "burn/burn.h"
#include "cli/reporter.h"
#include "link/wire_trace.h"

struct LinkSource {
  std::function<LinkOpening(const std::string& port)> openSerial;
  std::function<LinkOpening()> openUsb;
  // The serial number the USB PLC where openUsb looks reports now, empty
  // when it reports none; unset where that cannot be asked.
  std::function<std::string()> usbSerialNow{};
};

// The conversation as --verbose (the reporter) and --trace ask to see it.
class WireWatch final : public ExchangeListener {
 public:
  WireWatch(Reporter& reporter, WireTrace* trace) : reporter_(reporter), trace_(trace) {}
  void OnOperation(Operation operation) override;
  void OnExchange() override;
  void OnAttempt(const Attempt& attempt) override;

 private:
  Reporter& reporter_;
  WireTrace* trace_;
};

enum class PromptAnswer {
  kAnswered,  // Enter
  kEnded,     // the input ended: nobody will ever press Enter
  kStopped,   // the wait was asked to stop
};

// Waits for a line on `in` (Enter), or for `cancel`. The line is read on a
// thread of its own, so that a stop requested meanwhile (Ctrl-C) is not held
// up by a read nobody answers; the reader is then left to the end of the
// process. So one wait at a time, and none after a stopped one: a stop ends
// the run.
PromptAnswer WaitForEnter(std::istream& in, const CancelToken& cancel);
// The same, keeping the line typed (without its line end) in `line`.
PromptAnswer ReadAnswer(std::istream& in, const CancelToken& cancel, std::string& line);

// Where a burn's prompt is answered when several burns share one operator:
// they ask once for all of them. One per burn.
class PromptGate {
 public:
  virtual ~PromptGate() = default;
  // Returns once the prompt `text` was answered for this burn (and those
  // that asked with it), or the wait was stopped through `cancel`.
  virtual PromptAnswer Ask(const std::string& text, const CancelToken& cancel) = 0;
  // The burn will not ask again: it went on to erase, or it ended.
  virtual void Pass() = 0;
};

// What a terminal burn is set up with.
struct TerminalSetup {
  Reporter& reporter;
  std::istream& in;
  bool answerPrompts;  // --yes, or a simulated PLC: nobody needs to press Enter
  LinkSource links;
  std::string comPort;
  CancelToken& cancel;  // the burn's: an unanswerable prompt asks the burn to stop
  const ModelRules& model;
  std::string portLabel;       // the port as a diagnosis names it ("USB" for a USB model)
  WireTrace* trace = nullptr;  // --trace: every link opened is traced
  PromptGate* gate = nullptr;  // prompts shared with other burns; nullptr: its own
  // The USB PLC's serial number as the unit was planned, and those of every
  // unit of the run: after the replug, a PLC with another serial of the run
  // is written (it passed phase 1 itself), a stranger is not.
  std::string serial{};
  std::vector<std::string> runSerials{};
};

class TerminalEnvironment final : public BurnEnvironment, public BurnObserver {
 public:
  explicit TerminalEnvironment(TerminalSetup setup)
      : setup_(std::move(setup)), watch_(setup_.reporter, setup_.trace) {}

  std::string ComPort() override { return setup_.comPort; }
  LinkOpening OpenSerialPort(const std::string& port) override;
  LinkOpening OpenMyDevPipe() override;
  // The final box was shown by OnResult; a prompt waits for Enter.
  void ShowBox(BoxKind kind, const std::string& text, const std::string& caption) override;
  void EnableStartButton(bool) override {}
  void StopElapsedTimer() override { timerRunning_ = false; }
  // After the result the burn resets its status and timer for the next one;
  // the display keeps where this one ended.
  void ResetElapsedTime() override {
    if (!ended_) elapsedTime_ = 0;
  }
  void SleepSeconds(int seconds, const CancelToken& cancel) override;

  void OnStatus(const BurnStatus& status) override;
  void OnPrompt(const std::string& text) override;
  void OnResult(const BurnResult& result) override;
  void OnOperation(Operation operation) override { watch_.OnOperation(operation); }
  void OnExchange() override { watch_.OnExchange(); }
  void OnAttempt(const Attempt& attempt) override { watch_.OnAttempt(attempt); }

  // The status line as the burn starts, before its first event.
  void ShowStart();
  // One second of the elapsed-time timer, while it runs.
  void Tick();
  // Standard input ended at a prompt: nobody will ever press Enter.
  bool PromptUnanswered() const { return promptUnanswered_; }
  // The status as the burn ended: its retry counters.
  BurnStatus FinalStatus();
  // After a replug: the serial number the USB PLC reported then ("" for
  // none); unset when no replug was reached or it cannot be asked.
  std::optional<std::string> SerialAfterReplug();
  // The USB PLC's serial number as its record carries it: the one seen
  // after the replug when that PLC was written, else the one planned.
  std::string Serial();
  // What it was set up with: what follows the burn (--verify) reaches the
  // same PLC, operator and display.
  const TerminalSetup& Setup() const { return setup_; }

 private:
  void Show(const BurnStatus& status);

  LinkOpening Traced(LinkOpening opening);

  TerminalSetup setup_;
  WireWatch watch_;
  std::atomic<bool> timerRunning_{true};
  std::atomic<int32_t> elapsedTime_{0};
  std::atomic<bool> promptUnanswered_{false};
  std::atomic<bool> ended_{false};  // the result was said
  int usbOpens_ = 0;                // on the burn's thread only
  std::mutex statusMutex_;
  std::optional<std::string> serialAfterReplug_;
  std::string serial_ = setup_.serial;
  std::optional<Diagnosis> stranger_;  // why the PLC after the replug was not written
  BurnStatus status_;
  BurnStatus final_;
};

// The exit status of a burn that was not cancelled (see the usage text).
int ExitStatusOf(const BurnResult& result);
// Where a burn stood, in words, for the message of an interruption.
std::string Whereabouts(BurnPhase phase);
