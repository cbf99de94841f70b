// SPDX-License-Identifier: MIT
#include "cli/reporter.h"

#include <algorithm>
#include <cstdio>

#include "cli/unit_board.h"
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
    : out_(out),
      err_(err),
      settings_(std::move(settings)),
      started_(settings_.origin.value_or(settings_.now())) {}

std::string Reporter::Event(const char* name, bool schema) const {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(settings_.now() - started_);
  std::string event =
      std::string("{\"event\":\"") + name + "\",\"t\":" + std::to_string(ms.count());
  if (!settings_.schemaSaid->exchange(true) || schema) {
    event += ",\"schema\":" + std::to_string(kJsonSchema);
  }
  if (!settings_.unit.empty()) event += ",\"unit\":" + JsonString(settings_.unit);
  if (!settings_.label.empty()) event += ",\"label\":" + JsonString(settings_.label);
  return event;
}

void Reporter::Emit(const std::string& text) {
  if (settings_.board != nullptr) {
    settings_.board->Line(text);
  } else {
    out_ << text;
  }
}

std::string Reporter::Prefix() const {
  if (settings_.board == nullptr || settings_.unit.empty()) return "";
  return "[" + PrintableText(settings_.unit) + "] ";
}

namespace {

std::string WhatIsWritten(const std::string& model, const std::string& image, uint64_t size,
                          const std::string& sha256) {
  return "Model " + model + ", image " + PrintableText(image) + " (" + std::to_string(size) +
         " bytes" + (sha256.empty() ? "" : ", SHA-256 " + sha256) + ")";
}

}  // namespace

void Reporter::Start(const std::string& model, const std::string& image, uint64_t size,
                     const std::string& sha256, const std::string& port) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (settings_.quiet) return;
  if (settings_.mode == Mode::kJson) {
    std::string event = Event("start", true) + ",\"model\":" + JsonString(model) +
                        ",\"image\":" + JsonString(image) + ",\"size\":" + std::to_string(size);
    if (!sha256.empty()) event += ",\"sha256\":" + JsonString(sha256);
    Emit(event + ",\"port\":" + JsonString(port) + "}\n");
  } else if (settings_.board == nullptr) {
    Emit(WhatIsWritten(model, image, size, sha256) + ", port " + PrintableText(port) + "\n");
  }
  out_.flush();
}

void Reporter::StartUnits(const std::string& model, const std::string& image, uint64_t size,
                          const std::string& sha256, const std::vector<std::string>& units) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (settings_.quiet || settings_.mode == Mode::kJson) return;
  std::string names;
  for (const std::string& unit : units) names += (names.empty() ? "" : ", ") + PrintableText(unit);
  Emit(WhatIsWritten(model, image, size, sha256) + ", " + std::to_string(units.size()) +
       (units.size() == 1 ? " unit: " : " units: ") + names + "\n");
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
    case Mode::kJson: {
      std::string events;
      if (phaseChanged) {
        events += Event("phase") + ",\"phase\":" + JsonString(PhaseWord(now.flashStatus)) +
                  ",\"elapsed\":" + std::to_string(now.elapsedTime) + "}\n";
      }
      if (progressChanged || phaseChanged) {
        events += Event("progress") + ",\"phase\":" + JsonString(PhaseWord(now.flashStatus)) +
                  ",\"percent\":" + std::to_string(now.progress) +
                  ",\"elapsed\":" + std::to_string(now.elapsedTime);
        if (now.bytesTotal > 0) {
          events += ",\"sent\":" + std::to_string(now.bytesSent) +
                    ",\"total\":" + std::to_string(now.bytesTotal);
        }
        events += "}\n";
      }
      if (errorsChanged) {
        events += Event("errors") + ",\"errors\":" + std::to_string(now.errCounter) +
                  ",\"total\":" + std::to_string(now.totalErrCounter) + "}\n";
      }
      if (!events.empty()) Emit(events);
      break;
    }
    case Mode::kPlain: {
      // Logs and pipes get a line per phase and per tenth of progress.
      const int32_t decile = now.progress / 10;
      if (phaseChanged || decile != lastDecile_ || errorsChanged) {
        Emit(Prefix() + StatusLine(now, false) + "\n");
      }
      lastDecile_ = decile;
      break;
    }
    case Mode::kTerminal: {
      if (!phaseChanged && !progressChanged && !errorsChanged &&
          now.elapsedTime == last_.elapsedTime) {
        return;
      }
      // One column is left free: a line that fills the last one wraps on
      // some terminals.
      const auto width = static_cast<size_t>(std::max(settings_.columns - 1, 1));
      const std::string line =
          Fitting({StatusLine(now, true), StatusLine(now, false),
                   Format("%s %d%% %ds %d/%d", PhaseWord(now.flashStatus), now.progress,
                          now.elapsedTime, now.errCounter, now.totalErrCounter)},
                  width);
      if (settings_.board != nullptr) {
        settings_.board->Status(settings_.unit, line);
        break;
      }
      // The finished erase keeps its line, so that both runs stay in view.
      if (phaseChanged && last_.flashStatus == kErasing) EndStatusLine();
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
  Emit(Prefix() + caption + ": " + PrintableText(text) + "\n");
}

void Reporter::ErrorLine(const std::string& text) {
  if (settings_.board != nullptr) {
    settings_.board->ErrorLine(Prefix() + PrintableText(text));
    return;
  }
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

void Reporter::Prompt(const std::string& caption, const std::string& text, bool waitsForEnter,
                      const std::vector<std::string>& units) {
  std::lock_guard<std::mutex> lock(mutex_);
  // After an interruption's result the burn thread may still reach a
  // prompt: a script takes the last line for the result.
  // Quiet, a prompt is shown only when somebody has to answer it.
  if (Closed() || (settings_.quiet && !waitsForEnter)) return;
  std::string names;
  for (const std::string& unit : units) {
    names += (names.empty()                   ? ""
              : settings_.mode == Mode::kJson ? ","
                                              : ", ") +
             (settings_.mode == Mode::kJson ? JsonString(unit) : PrintableText(unit));
  }
  if (settings_.mode == Mode::kJson) {
    Emit(Event("prompt") + ",\"caption\":" + JsonString(caption) + ",\"text\":" + JsonString(text) +
         ",\"waits\":" + (waitsForEnter ? "true" : "false") +
         (units.empty() ? "" : ",\"units\":[" + names + "]") + "}\n");
  } else {
    // The system's words stay whole; which PLCs they are for comes after them.
    const std::string plcs =
        std::to_string(units.size()) + (units.size() == 1 ? " PLC: " : " PLCs: ") + names;
    EndStatusLine();
    Emit(Prefix() + caption + ": " + PrintableText(text) +
         (units.empty() ? "" : " (" + plcs + ")") + "\n" +
         (waitsForEnter ? "Press Enter to continue.\n" : ""));
  }
  out_.flush();
}

void Reporter::Result(const std::string& caption, const std::string& text, int exitStatus,
                      const Diagnosis& diagnosis) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (finished_) return;
  finished_ = true;
  verdictOwed_ = settings_.verdictFollows && exitStatus == 0;
  // Quiet, only the verdict is said.
  if (verdictOwed_ && settings_.quiet) return;
  Explain(diagnosis);
  if (settings_.mode == Mode::kJson) {
    std::string event = Event("result") + ",\"caption\":" + JsonString(caption) +
                        ",\"text\":" + JsonString(text) + ",\"exit\":" + std::to_string(exitStatus);
    if (!diagnosis.reason.empty()) event += ",\"reason\":" + JsonString(diagnosis.reason);
    if (!diagnosis.hint.empty()) event += ",\"hint\":" + JsonString(diagnosis.hint);
    if (diagnosis.reportedCode) {
      event += ",\"reportedCode\":" + std::to_string(*diagnosis.reportedCode);
    }
    Emit(event + "}\n");
  } else {
    LastWord(caption, text);
  }
  out_.flush();
}

void Reporter::LastWord(const std::string& caption, const std::string& text) {
  if (settings_.board != nullptr && settings_.mode == Mode::kTerminal) {
    // The unit's line of the block keeps its last word; the summary has it whole.
    const auto width = static_cast<size_t>(std::max(settings_.columns - 1, 1));
    settings_.board->Status(settings_.unit, Fitting({caption + ": " + PrintableText(text)}, width));
  } else {
    Line(caption, text);
  }
}

void Reporter::Explain(const Diagnosis& diagnosis) {
  if (settings_.quiet) return;
  EndStatusLine();
  out_.flush();
  WhyAndWhatToDo(diagnosis);
}

void Reporter::WhyAndWhatToDo(const Diagnosis& diagnosis) {
  if (settings_.board != nullptr) {
    if (!diagnosis.reason.empty()) ErrorLine("Why: " + diagnosis.reason);
    if (!diagnosis.hint.empty()) ErrorLine("What to do: " + diagnosis.hint);
  } else {
    if (!diagnosis.reason.empty()) err_ << "Why: " << PrintableText(diagnosis.reason) << "\n";
    if (!diagnosis.hint.empty()) err_ << "What to do: " << PrintableText(diagnosis.hint) << "\n";
    err_.flush();
  }
}

void Reporter::Verdict(const std::string& jsonMembers, const std::string& caption,
                       const std::string& text, const Diagnosis& diagnosis) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!verdictOwed_) return;
  verdictOwed_ = false;
  Explain(diagnosis);
  if (settings_.mode == Mode::kJson) {
    Emit(Event("verify") + "," + jsonMembers + "}\n");
  } else {
    LastWord(caption, text);
  }
  out_.flush();
}

void Reporter::LogError(const std::string& path, int exitStatus, const Diagnosis& diagnosis) {
  std::lock_guard<std::mutex> lock(mutex_);
  // Said even after the result, quiet or not: the record is lost otherwise unnoticed.
  if (settings_.mode == Mode::kJson) {
    Emit(Event("logError") + ",\"log\":" + JsonString(path) +
         ",\"exit\":" + std::to_string(exitStatus) + ",\"reason\":" + JsonString(diagnosis.reason) +
         ",\"hint\":" + JsonString(diagnosis.hint) + "}\n");
    out_.flush();
  }
  WhyAndWhatToDo(diagnosis);
}

void Reporter::Answer(const char* event, const std::string& jsonMembers, const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (finished_) return;
  finished_ = true;
  Say(event, jsonMembers, text);
}

void Reporter::Tell(const char* event, const std::string& jsonMembers, const std::string& text,
                    bool everySchema) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (Closed() || settings_.quiet) return;
  Say(event, jsonMembers, text, everySchema);
}

void Reporter::Say(const char* event, const std::string& jsonMembers, const std::string& text,
                   bool everySchema) {
  EndStatusLine();
  if (settings_.mode == Mode::kJson) {
    Emit(Event(event, everySchema) + "," + jsonMembers + "}\n");
  } else {
    Emit(Prefix() + text);
  }
  out_.flush();
}

void Reporter::Ask(const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (finished_) return;
  Say("ask", "\"text\":" + JsonString(text), text + "\n");
}

void Reporter::Note(const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  ErrorLine(text);
}

void Reporter::Operation(::Operation operation) {
  std::lock_guard<std::mutex> lock(mutex_);
  operation_ = operation;
  if (!settings_.verbose || Closed()) return;
  ErrorLine(std::string(OperationName(operation)) + ": " + OperationPurpose(operation));
}

void Reporter::Attempt(const ::Attempt& attempt) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!settings_.verbose || Closed()) return;
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
