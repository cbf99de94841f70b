#include "cli/reporter.h"

#include <algorithm>
#include <cstdio>

#include "link/status.h"
#include "util/json_text.h"
#include "util/text.h"

namespace {

std::string Format(const char* format, auto... values) {
  char text[256];
  std::snprintf(text, sizeof text, format, values...);
  return text;
}

// The first of `candidates` that fits in `width` columns, else the last one cut short.
std::string Fitting(std::initializer_list<std::string> candidates, size_t width) {
  for (const std::string& candidate : candidates) {
    if (candidate.size() <= width) return candidate;
  }
  return std::string(*(candidates.end() - 1), 0, width);
}

}  // namespace

const char* PhaseWord(int32_t status) {
  switch (status) {
    case kIdle: return "Connecting";
    case kErasing: return "Erasing";
    case kProgramming: return "Programming";
    default: return "";
  }
}

Reporter::Reporter(std::ostream& out, std::ostream& err, Settings settings)
    : out_(out), err_(err), settings_(std::move(settings)), started_(settings_.now()) {}

std::string Reporter::Event(const char* name) const {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(settings_.now() - started_);
  return std::string("{\"event\":\"") + name + "\",\"t\":" + std::to_string(ms.count());
}

void Reporter::Start(const std::string& model, const std::string& image, uint64_t size,
                     const std::string& sha256, const std::string& port) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (settings_.quiet) return;
  if (settings_.mode == Mode::kJson) {
    out_ << Event("start") << ",\"schema\":" << kJsonSchema << ",\"model\":" << JsonString(model)
         << ",\"image\":" << JsonString(image) << ",\"size\":" << size;
    if (!sha256.empty()) out_ << ",\"sha256\":" << JsonString(sha256);
    out_ << ",\"port\":" << JsonString(port) << "}\n";
  } else {
    out_ << "Model " << model << ", image " << PrintableText(image) << " (" << size << " bytes"
         << (sha256.empty() ? "" : ", SHA-256 " + sha256) << "), port " << PrintableText(port)
         << "\n";
  }
  out_.flush();
}

void Reporter::Update(const StatusSnapshot& now) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (finished_ || settings_.quiet) return;
  if (now.flashStatus == kProgramming && !transferStarted_) transferStarted_ = settings_.now();
  Show(now);
}

std::string Reporter::RateAndTimeLeft(const StatusSnapshot& now) const {
  if (now.flashStatus != kProgramming || !transferStarted_ || now.bytesSent == 0) return "";
  const double seconds = std::chrono::duration<double>(settings_.now() - *transferStarted_).count();
  if (seconds < 1.0) return "";
  const double rate = now.bytesSent / seconds;
  const auto left = static_cast<int>((now.bytesTotal - now.bytesSent) / rate + 0.5);
  return Format("%.1f kB/s, %d:%02d left", rate / 1000, left / 60, left % 60);
}

std::string Reporter::StatusLine(const StatusSnapshot& now, bool withBar) const {
  const std::string rate = RateAndTimeLeft(now);
  const std::string tail = rate.empty() ? "" : "  " + rate;
  std::string bar;
  if (withBar) {
    constexpr int kBarWidth = 30;
    const int filled = std::clamp(now.progress * kBarWidth / 100, 0, kBarWidth);
    bar = " [" + std::string(static_cast<size_t>(filled), '#') +
          std::string(static_cast<size_t>(kBarWidth - filled), '.') + "]";
  }
  return Format("%-11s%s %3d%%  %4d s  errors %d/%d", PhaseWord(now.flashStatus), bar.c_str(),
                now.progress, now.elapsedTime, now.errCounter, now.totalErrCounter) +
         tail;
}

void Reporter::Show(const StatusSnapshot& now) {
  const bool phaseChanged = now.flashStatus != last_.flashStatus;
  const bool progressChanged = now.progress != last_.progress;
  const bool errorsChanged =
      now.errCounter != last_.errCounter || now.totalErrCounter != last_.totalErrCounter;
  switch (settings_.mode) {
    case Mode::kJson:
      if (phaseChanged) {
        out_ << Event("phase") << ",\"phase\":" << JsonString(PhaseWord(now.flashStatus))
             << ",\"elapsed\":" << now.elapsedTime << "}\n";
      }
      if (progressChanged || phaseChanged) {
        out_ << Event("progress") << ",\"phase\":" << JsonString(PhaseWord(now.flashStatus))
             << ",\"percent\":" << now.progress << ",\"elapsed\":" << now.elapsedTime;
        if (now.bytesTotal > 0) {
          out_ << ",\"sent\":" << now.bytesSent << ",\"total\":" << now.bytesTotal;
        }
        out_ << "}\n";
      }
      if (errorsChanged) {
        out_ << Event("errors") << ",\"errors\":" << now.errCounter
             << ",\"total\":" << now.totalErrCounter << "}\n";
      }
      break;
    case Mode::kPlain: {
      // Logs and pipes get a line per phase and per tenth of progress.
      const int32_t decile = now.progress / 10;
      if (phaseChanged || decile != lastDecile_ || errorsChanged) {
        out_ << StatusLine(now, false) << "\n";
      }
      lastDecile_ = decile;
      break;
    }
    case Mode::kTerminal: {
      if (!phaseChanged && !progressChanged && !errorsChanged &&
          now.elapsedTime == last_.elapsedTime) {
        return;
      }
      // The finished erase keeps its line, so that both runs stay in view.
      if (phaseChanged && last_.flashStatus == kErasing) EndStatusLine();
      // One column is left free: a line that fills the last one wraps on
      // some terminals.
      const auto width = static_cast<size_t>(std::max(settings_.columns - 1, 1));
      const std::string line =
          Fitting({StatusLine(now, true), StatusLine(now, false),
                   Format("%s %d%% %ds %d/%d", PhaseWord(now.flashStatus), now.progress,
                          now.elapsedTime, now.errCounter, now.totalErrCounter)},
                  width);
      out_ << "\r" << line << "\x1b[K";
      statusLineOpen_ = true;
      break;
    }
  }
  last_ = now;
  out_.flush();
}

void Reporter::EndStatusLine() {
  if (statusLineOpen_) out_ << "\n";
  statusLineOpen_ = false;
}

// Texts may carry a port's name as the operator typed it: never a line of
// its own.
void Reporter::Line(const std::string& caption, const std::string& text) {
  EndStatusLine();
  out_ << caption << ": " << PrintableText(text) << "\n";
}

void Reporter::ErrorLine(const std::string& text) {
  const bool redraw = statusLineOpen_;
  if (redraw) {
    out_ << "\r\x1b[K";
    out_.flush();
  }
  err_ << PrintableText(text) << "\n";
  err_.flush();
  if (redraw) {
    const StatusSnapshot shown = last_;
    last_.elapsedTime = -1;  // draws the same status again
    Show(shown);
  }
}

void Reporter::Prompt(const std::string& caption, const std::string& text, bool waitsForEnter) {
  std::lock_guard<std::mutex> lock(mutex_);
  // After an interruption's result the burn thread may still reach a
  // prompt: a script takes the last line for the result.
  // Quiet, a prompt is shown only when somebody has to answer it.
  if (finished_ || (settings_.quiet && !waitsForEnter)) return;
  if (settings_.mode == Mode::kJson) {
    out_ << Event("prompt") << ",\"caption\":" << JsonString(caption)
         << ",\"text\":" << JsonString(text) << ",\"waits\":" << (waitsForEnter ? "true" : "false")
         << "}\n";
  } else {
    Line(caption, text);
    if (waitsForEnter) out_ << "Press Enter to continue.\n";
  }
  out_.flush();
}

void Reporter::Result(const std::string& caption, const std::string& text, int exitStatus,
                      const Diagnosis& diagnosis) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (finished_) return;
  finished_ = true;
  if (!settings_.quiet) {
    EndStatusLine();
    out_.flush();
    if (!diagnosis.reason.empty()) err_ << "Why: " << PrintableText(diagnosis.reason) << "\n";
    if (!diagnosis.hint.empty()) err_ << "What to do: " << PrintableText(diagnosis.hint) << "\n";
    err_.flush();
  }
  if (settings_.mode == Mode::kJson) {
    out_ << Event("result") << ",\"caption\":" << JsonString(caption)
         << ",\"text\":" << JsonString(text) << ",\"exit\":" << exitStatus;
    if (!diagnosis.reason.empty()) out_ << ",\"reason\":" << JsonString(diagnosis.reason);
    if (!diagnosis.hint.empty()) out_ << ",\"hint\":" << JsonString(diagnosis.hint);
    if (diagnosis.reportedCode) out_ << ",\"reportedCode\":" << *diagnosis.reportedCode;
    out_ << "}\n";
  } else {
    Line(caption, text);
  }
  out_.flush();
}

void Reporter::Answer(const char* event, const std::string& jsonMembers, const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (finished_) return;
  finished_ = true;
  EndStatusLine();
  if (settings_.mode == Mode::kJson) {
    out_ << Event(event) << "," << jsonMembers << "}\n";
  } else {
    out_ << text;
  }
  out_.flush();
}

void Reporter::Operation(::Operation operation) {
  std::lock_guard<std::mutex> lock(mutex_);
  operation_ = operation;
  if (!settings_.verbose || finished_) return;
  ErrorLine(std::string(OperationName(operation)) + ": " + OperationPurpose(operation));
}

void Reporter::Attempt(const ::Attempt& attempt) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!settings_.verbose || finished_) return;
  // A transfer or an erase is thousands of exchanges: only their retries.
  const bool stream = operation_ == ::Operation::kSendFW || operation_ == ::Operation::kSendErase_B;
  if (stream && attempt.result == AttemptResult::kAccepted) return;
  std::string line = "  sent " + ShowBytes(attempt.request);
  switch (attempt.result) {
    case AttemptResult::kWriteFailed: line += ": NOT written whole"; break;
    case AttemptResult::kAccepted:
      line += ", reply " + ShowBytes(attempt.reply) + ": accepted";
      break;
    case AttemptResult::kStopped:
      line += ", reply " + ShowBytes(attempt.reply) + ": ends it";
      break;
    case AttemptResult::kRejected:
      line += attempt.reply.empty() ? ", no reply"
                                    : ", reply " + ShowBytes(attempt.reply) + " (" +
                                          std::to_string(attempt.reply.size()) + " bytes)";
      line += ": retry";
      break;
  }
  ErrorLine(line);
}
