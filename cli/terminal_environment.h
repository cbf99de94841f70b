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

#include "burn/burn.h"
#include "cli/reporter.h"

struct LinkSource {
  std::function<LinkOpening(const std::string& port)> openSerial;
  std::function<LinkOpening()> openUsb;
};

class TerminalEnvironment final : public BurnEnvironment, public BurnObserver {
 public:
  // `cancel` is the burn's: an unanswerable prompt asks the burn to stop.
  TerminalEnvironment(Reporter& reporter, std::istream& in, bool answerPrompts, LinkSource links,
                      std::string comPort, CancelToken& cancel)
      : reporter_(reporter),
        in_(in),
        answerPrompts_(answerPrompts),
        links_(std::move(links)),
        comPort_(std::move(comPort)),
        cancel_(cancel) {}

  std::string ComPort() override { return comPort_; }
  LinkOpening OpenSerialPort(const std::string& port) override;
  LinkOpening OpenMyDevPipe() override;
  // The final box was shown by OnResult; a prompt waits for Enter.
  void ShowBox(BoxKind kind, const std::string& text, const std::string& caption) override;
  void EnableStartButton(bool) override {}
  void StopElapsedTimer() override { timerRunning_ = false; }
  void ResetElapsedTime() override { elapsedTime_ = 0; }
  void SleepSeconds(int seconds, const CancelToken& cancel) override;

  void OnStatus(const BurnStatus& status) override;
  void OnPrompt(const std::string& text) override;
  void OnResult(const BurnResult& result) override;

  // The status line as the burn starts, before its first event.
  void ShowStart();
  // One second of the elapsed-time timer, while it runs.
  void Tick();
  // Standard input ended at a prompt: nobody will ever press Enter.
  bool PromptUnanswered() const { return promptUnanswered_; }

 private:
  void Show(const BurnStatus& status);

  Reporter& reporter_;
  std::istream& in_;
  bool answerPrompts_;
  LinkSource links_;
  std::string comPort_;
  CancelToken& cancel_;
  std::atomic<bool> timerRunning_{true};
  std::atomic<int32_t> elapsedTime_{0};
  std::atomic<bool> promptUnanswered_{false};
  std::mutex statusMutex_;
  BurnStatus status_;
};

// The exit status of a burn that was not cancelled (see the usage text).
int ExitStatusOf(const BurnResult& result);
// Where a burn stood, in words, for the message of an interruption.
std::string Whereabouts(BurnPhase phase);
