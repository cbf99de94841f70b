// What the command line shows: a status line redrawn in place on a
// terminal (the erase's line stays when the transfer starts), plain lines
// otherwise, or one JSON object per line. Called from the burn's events and
// from the display's one-second tick; each call writes whole lines.
#pragma once

#include <cstdint>
#include <mutex>
#include <ostream>
#include <string>

struct StatusSnapshot {
  int32_t flashStatus = 0;
  int32_t progress = 0;
  int32_t elapsedTime = 0;
  int32_t errCounter = 0;
  int32_t totalErrCounter = 0;
};

const char* PhaseWord(int32_t flashStatus);

class Reporter {
 public:
  enum class Mode { kTerminal, kPlain, kJson };
  Reporter(std::ostream& out, Mode mode) : out_(out), mode_(mode) {}

  // The one line before the link is opened: what is about to be written,
  // and where. `sha256` is empty for an image too large to be read.
  void Start(const std::string& model, const std::string& image, uint64_t size,
             const std::string& sha256, const std::string& port);
  void Update(const StatusSnapshot& now);
  void Prompt(const std::string& caption, const std::string& text);
  // The last word of a run: the burn's final box, or the tool's own on an
  // interruption. Later updates and prompts are not shown.
  void Result(const std::string& caption, const std::string& text, int exitStatus);

 private:
  void Show(const StatusSnapshot& now);
  void EndStatusLine();
  void Line(const std::string& caption, const std::string& text);

  std::mutex mutex_;
  std::ostream& out_;
  Mode mode_;
  bool statusLineOpen_ = false;
  bool finished_ = false;
  StatusSnapshot last_{-1, -1, -1, -1, -1};
  int32_t lastDecile_ = -1;
};
