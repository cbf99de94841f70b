// The burn's outside world on a terminal: boxes become lines, prompts wait
// for Enter, the elapsed-time timer is counted by the display loop.
#pragma once

#include <atomic>
#include <functional>
#include <istream>
#include <memory>
#include <mutex>
#include <string>

#include "burn/burn.h"
#include "cli/reporter.h"

struct LinkSource {
  std::function<std::unique_ptr<Link>(const std::string& port)> openSerial;
  std::function<std::unique_ptr<Link>()> openUsb;
};

class TerminalEnvironment : public BurnEnvironment {
 public:
  TerminalEnvironment(Reporter& reporter, std::istream& in, bool answerPrompts, LinkSource links)
      : reporter_(reporter), in_(in), answerPrompts_(answerPrompts), links_(std::move(links)) {}

  std::unique_ptr<Link> OpenSerialPort(const std::string& port) override;
  std::unique_ptr<Link> OpenMyDevPipe() override;
  void ShowError(const std::string& text) override;
  void ShowInformation(const std::string& text, const std::string& caption) override;
  void ShowPrompt(const std::string& text) override;
  void EnableStartButton(bool) override {}
  void StopElapsedTimer() override;
  void SleepSeconds(int seconds) override;

  // Counts one second while the timer runs (the window's one-second timer).
  void TickElapsedTimer();
  int ExitStatus() const { return exitStatus_; }
  // Where the burn is, for the message of an interruption; any thread.
  std::string Whereabouts() const;

 private:
  std::unique_ptr<Link> Opened(std::unique_ptr<Link> link);

  Reporter& reporter_;
  std::istream& in_;
  bool answerPrompts_;
  LinkSource links_;
  enum class Stage { kStart, kPrompt, kReconnect };
  std::atomic<Stage> stage_{Stage::kStart};
  std::mutex timerMutex_;
  bool timerRunning_ = true;
  bool openTried_ = false;
  bool firstOpenFailed_ = false;
  int exitStatus_ = 1;
};
