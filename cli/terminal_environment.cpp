#include "cli/terminal_environment.h"

#include <chrono>
#include <cstdlib>
#include <thread>

#include "cli/options.h"
#include "link/loader_protocol.h"

namespace {

// Shows the burn's state before every request: the loader operations set
// the phase and the percentage just before they send the next request, so
// no step is missed, however short, as a display that only samples the
// values could miss a one-step erase.
class ReportingLink final : public Link {
 public:
  ReportingLink(std::unique_ptr<Link> inner, Reporter& reporter)
      : inner_(std::move(inner)), reporter_(reporter) {}
  size_t Write(const uint8_t* data, size_t n) override {
    reporter_.Update(ReadStatus());
    return inner_->Write(data, n);
  }
  size_t Read(uint8_t* data, size_t n) override { return inner_->Read(data, n); }
  size_t Drain(uint8_t* data, size_t n, uint32_t quietMs) override {
    return inner_->Drain(data, n, quietMs);
  }
  void SetTimeouts(const Timeouts& timeouts) override { inner_->SetTimeouts(timeouts); }
  void ApplyLineSettings(const LineSettings& settings) override {
    inner_->ApplyLineSettings(settings);
  }

 private:
  std::unique_ptr<Link> inner_;
  Reporter& reporter_;
};

}  // namespace

std::unique_ptr<Link> TerminalEnvironment::Opened(std::unique_ptr<Link> link) {
  if (!openTried_) firstOpenFailed_ = link == nullptr;
  openTried_ = true;
  if (!link) return nullptr;
  return std::make_unique<ReportingLink>(std::move(link), reporter_);
}

std::unique_ptr<Link> TerminalEnvironment::OpenSerialPort(const std::string& port) {
  return Opened(links_.openSerial(port));
}

std::unique_ptr<Link> TerminalEnvironment::OpenMyDevPipe() { return Opened(links_.openUsb()); }

void TerminalEnvironment::ShowError(const std::string& text) {
  reporter_.Update(ReadStatus());  // where the burn stood, even if the display loop missed it
  // Every error ends the burn: before any link was tried it refused the
  // image, at the first open it found no link, later the PLC failed.
  exitStatus_ = !openTried_        ? kExitImageRefused
                : firstOpenFailed_ ? kExitLinkNotOpened
                                   : kExitBurnFailed;
  reporter_.Result("ERROR", text, exitStatus_);
}

void TerminalEnvironment::ShowInformation(const std::string& text, const std::string& caption) {
  // The transfer's 100 % comes with the last handshake, moments before this.
  reporter_.Update(ReadStatus());
  exitStatus_ = kExitSuccess;
  reporter_.Result(caption, text, exitStatus_);
}

void TerminalEnvironment::ShowPrompt(const std::string& text) {
  stage_ = Stage::kPrompt;
  reporter_.Prompt("Information", text);
  if (answerPrompts_) return;
  std::string answer;
  if (!std::getline(in_, answer)) {
    // Nobody will ever press Enter: waiting would hang a script for good.
    reporter_.Result("ERROR",
                     "No answer to the prompt (end of input): the burn is aborted; the PLC may "
                     "now be in its loader, and the next run continues in phase 2",
                     kExitBurnFailed);
    std::_Exit(kExitBurnFailed);  // the link closes with the process
  }
}

void TerminalEnvironment::StopElapsedTimer() {
  std::lock_guard<std::mutex> lock(timerMutex_);
  timerRunning_ = false;
}

void TerminalEnvironment::TickElapsedTimer() {
  std::lock_guard<std::mutex> lock(timerMutex_);
  if (timerRunning_) ++elapsedTime;
}

// The burn waits only between its phases, before it opens the link again.
void TerminalEnvironment::SleepSeconds(int seconds) {
  stage_ = Stage::kReconnect;
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
}

std::string TerminalEnvironment::Whereabouts() const {
  switch (flashStatus.load()) {
    case kErasing: return "phase 2, erasing the flash";
    case kProgramming: return "phase 2, writing the image";
    default: break;
  }
  switch (stage_.load()) {
    case Stage::kPrompt: return "the prompt between phase 1 and phase 2";
    case Stage::kReconnect: return "the reconnection after phase 1, before the erase";
    case Stage::kStart: break;
  }
  // Only the PLC's answer tells the phases apart here; a PLC left in its
  // loader by an earlier run goes straight to phase 2.
  return "phase 1 (or the checks at the start of phase 2)";
}
