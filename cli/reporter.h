// SPDX-License-Identifier: MIT
// What the command line shows: a status line redrawn in place on a
// terminal (the erase's line stays when the transfer starts), plain lines
// otherwise, or one JSON object per line. Standard output carries the
// display and, last, the final box's line; standard error the reasons and
// hints of a failure and, when asked, every exchange. Called from the
// burn's events and from the display's one-second tick; each call writes
// whole lines.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "burn/diagnosis.h"
#include "link/dialogue.h"

struct StatusSnapshot {
  int32_t flashStatus = 0;
  int32_t progress = 0;
  int32_t elapsedTime = 0;
  int32_t errCounter = 0;
  int32_t totalErrCounter = 0;
  uint32_t bytesSent = 0;
  uint32_t bytesTotal = 0;
};

// The command line's word for a phase: phase 1 and the reconnection are
// "Connecting".
const char* PhaseWord(int32_t flashStatus);

// The version of the JSON events' layout, in the first event of every
// stream, every "start" event and every list: a script can tell what it
// reads. 3: --list-ports gives every USB PLC ("usbPlcs") where 2 gave one
// device path ("usbPlc"). 4: "t" counts from the program's start in every
// event of a run; "label"; the "logError" event; --version in JSON; the
// unit record's "host", "label", "serialAfterReplug" and "verified".
inline constexpr int kJsonSchema = 4;

class UnitBoard;

class Reporter {
 public:
  enum class Mode { kTerminal, kPlain, kJson };
  using Clock = std::chrono::steady_clock;
  struct Settings {
    Mode mode = Mode::kPlain;
    bool quiet = false;    // only the final line (the result event)
    bool verbose = false;  // every exchange and retry, on standard error
    int columns = 80;      // the terminal's width: a status line never wraps
    std::function<Clock::time_point()> now = Clock::now;
    // What every event's "t" counts from: the program's start, shared by
    // every display of the run; unset: the display's own start.
    std::optional<Clock::time_point> origin{};
    // Set once the stream's first event went out (with "schema"): shared by
    // every display of the run that writes to the same stream.
    std::shared_ptr<std::atomic<bool>> schemaSaid = std::make_shared<std::atomic<bool>>(false);
    // The operator's label of the unit, carried by its JSON events.
    std::string label{};
    // Of several units: the one this display speaks for. Its JSON events
    // carry it as "unit"; with a board, its lines begin with it.
    std::string unit{};
    // Several units at once share this output; on a terminal each unit's
    // status is its line of the board's block.
    UnitBoard* board = nullptr;
    // --verify: a successful update's result is followed by the
    // verification's lines, and its Verdict is the last word.
    bool verdictFollows = false;
  };
  Reporter(std::ostream& out, std::ostream& err, Settings settings);

  // The one line before the link is opened: what is about to be written,
  // and where. `sha256` is empty for an image too large to be read.
  // With a board, only its JSON event: the run says it once for all units (StartUnits).
  void Start(const std::string& model, const std::string& image, uint64_t size,
             const std::string& sha256, const std::string& port);
  // The same line for several units at once, naming them; JSON has each
  // unit's own start event instead.
  void StartUnits(const std::string& model, const std::string& image, uint64_t size,
                  const std::string& sha256, const std::vector<std::string>& units);
  void Update(const StatusSnapshot& now);
  // `waitsForEnter`: the operator answers it with Enter, and is told so.
  // `units`: the units a prompt asked once for several of them is for.
  void Prompt(const std::string& caption, const std::string& text, bool waitsForEnter,
              const std::vector<std::string>& units = {});
  // The last word of a run: the burn's final box, or the tool's own on an
  // interruption, after the diagnosis's reason and hint. Later updates and
  // prompts are not shown.
  void Result(const std::string& caption, const std::string& text, int exitStatus,
              const Diagnosis& diagnosis = {});

  // --verify's last word, after the successful update's result: a "verify"
  // event with `jsonMembers`, or "caption: text" after the diagnosis's
  // reason and hint.
  void Verdict(const std::string& jsonMembers, const std::string& caption, const std::string& text,
               const Diagnosis& diagnosis);

  // A run's answer that is no burn's (--info): one JSON event with
  // `jsonMembers`, or `text` as it stands. Like a result, the last word.
  void Answer(const char* event, const std::string& jsonMembers, const std::string& text);
  // The same, said along the way (a station's day): not the last word, and
  // not said when quiet.
  // `everySchema`: this event carries the schema even when it is not the
  // stream's first (each of --doctor's checks stands on its own).
  void Tell(const char* event, const std::string& jsonMembers, const std::string& text,
            bool everySchema = false);

  // A question the operator answers with a line (a station's label): shown
  // even when quiet, as an "ask" event in JSON.
  void Ask(const std::string& text);
  // A line for the operator on standard error, whatever the display.
  void Note(const std::string& text);
  // The unit's record could not be written to the log `path`: said after the
  // result (a "logError" event with `exitStatus`, or Why and What to do).
  void LogError(const std::string& path, int exitStatus, const Diagnosis& diagnosis);

  // The exchanges, shown when verbose.
  void Operation(::Operation operation);
  void Attempt(const ::Attempt& attempt);

 private:
  void Show(const StatusSnapshot& now);
  std::string StatusLine(const StatusSnapshot& now, bool withBar) const;
  // The transfer's speed and what remains, once it can be told.
  std::string RateAndTimeLeft(const StatusSnapshot& now) const;
  void EndStatusLine();
  // Whole lines of standard output, through the board when there is one.
  void Emit(const std::string& text);
  // "[unit] " before a human line of one of several units; empty otherwise.
  std::string Prefix() const;
  // A unit's last word in text: its line of the block on a terminal, else a line.
  void LastWord(const std::string& caption, const std::string& text);
  void Say(const char* event, const std::string& jsonMembers, const std::string& text,
           bool everySchema = false);
  void Line(const std::string& caption, const std::string& text);
  // "Why: " and "What to do: " on standard error, unless quiet.
  void Explain(const Diagnosis& diagnosis);
  // Nothing more is shown: the last word was said.
  bool Closed() const { return finished_ && !verdictOwed_; }
  // A line on standard error, without tearing the status line apart.
  void ErrorLine(const std::string& text);
  // `{"event":"name","t":ms` of a JSON event, with "schema" when `schema`
  // or when it is the stream's first; the caller closes it.
  std::string Event(const char* name, bool schema = false) const;
  void WhyAndWhatToDo(const Diagnosis& diagnosis);

  std::mutex mutex_;
  std::ostream& out_;
  std::ostream& err_;
  Settings settings_;
  Clock::time_point started_;
  bool statusLineOpen_ = false;
  bool finished_ = false;
  bool verdictOwed_ = false;  // the result was said, and the verdict is still to come
  StatusSnapshot last_{-1, -1, -1, -1, -1, 0, 0};
  int32_t lastDecile_ = -1;
  std::optional<Clock::time_point> transferStarted_;
  ::Operation operation_ = ::Operation::kDummyComm;
};
