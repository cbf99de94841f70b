#include "cli/reporter.h"

#include <algorithm>
#include <cstdio>

#include "link/status.h"
#include "util/json_text.h"
#include "util/text.h"

const char* PhaseWord(int32_t status) {
  switch (status) {
    case kIdle: return "Idle";
    case kErasing: return "Erasing";
    case kProgramming: return "Programming";
    default: return "";
  }
}

void Reporter::Start(const std::string& model, const std::string& image, uint64_t size,
                     const std::string& sha256, const std::string& port) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (mode_ == Mode::kJson) {
    out_ << "{\"event\":\"start\",\"model\":" << JsonString(model)
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
  if (!finished_) Show(now);
}

void Reporter::Show(const StatusSnapshot& now) {
  const bool phaseChanged = now.flashStatus != last_.flashStatus;
  const bool progressChanged = now.progress != last_.progress;
  const bool errorsChanged =
      now.errCounter != last_.errCounter || now.totalErrCounter != last_.totalErrCounter;
  switch (mode_) {
    case Mode::kJson:
      if (phaseChanged) {
        out_ << "{\"event\":\"phase\",\"phase\":" << JsonString(PhaseWord(now.flashStatus))
             << ",\"elapsed\":" << now.elapsedTime << "}\n";
      }
      if (progressChanged || phaseChanged) {
        out_ << "{\"event\":\"progress\",\"phase\":" << JsonString(PhaseWord(now.flashStatus))
             << ",\"percent\":" << now.progress << ",\"elapsed\":" << now.elapsedTime << "}\n";
      }
      if (errorsChanged) {
        out_ << "{\"event\":\"errors\",\"errors\":" << now.errCounter
             << ",\"total\":" << now.totalErrCounter << "}\n";
      }
      break;
    case Mode::kPlain: {
      // Logs and pipes get a line per phase and per tenth of progress.
      const int32_t decile = now.progress / 10;
      if (phaseChanged || decile != lastDecile_ || errorsChanged) {
        char line[128];
        std::snprintf(line, sizeof line, "%s %3d%%  %d s  errors %d/%d\n",
                      PhaseWord(now.flashStatus), now.progress, now.elapsedTime, now.errCounter,
                      now.totalErrCounter);
        out_ << line;
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
      constexpr int kBarWidth = 30;
      const int filled = now.progress * kBarWidth / 100;
      std::string bar(static_cast<size_t>(std::max(0, std::min(kBarWidth, filled))), '#');
      bar.resize(kBarWidth, '.');
      char line[160];
      std::snprintf(line, sizeof line, "\r%-11s [%s] %3d%%  %4d s  errors %d/%d\x1b[K",
                    PhaseWord(now.flashStatus), bar.c_str(), now.progress, now.elapsedTime,
                    now.errCounter, now.totalErrCounter);
      out_ << line;
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

void Reporter::Prompt(const std::string& caption, const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  // After an interruption's result the burn thread may still reach a
  // prompt: a script takes the last line for the result.
  if (finished_) return;
  if (mode_ == Mode::kJson) {
    out_ << "{\"event\":\"prompt\",\"caption\":" << JsonString(caption)
         << ",\"text\":" << JsonString(text) << "}\n";
  } else {
    Line(caption, text);
  }
  out_.flush();
}

void Reporter::Result(const std::string& caption, const std::string& text, int exitStatus) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (finished_) return;
  finished_ = true;
  if (mode_ == Mode::kJson) {
    out_ << "{\"event\":\"result\",\"caption\":" << JsonString(caption)
         << ",\"text\":" << JsonString(text) << ",\"exit\":" << exitStatus << "}\n";
  } else {
    Line(caption, text);
  }
  out_.flush();
}
