// SPDX-License-Identifier: MIT
// The command line's display beyond the burn's own words: the reason and
// hint of a failure, the transfer's rate, the width of a terminal, the
// JSON events' time and schema, quiet and verbose runs.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "cli/reporter.h"
#include "link/status.h"
#include "support/json_line.h"

namespace {

using ::testing::HasSubstr;
using namespace std::chrono_literals;

struct Display {
  explicit Display(Reporter::Mode mode, int columns = 80, bool quiet = false, bool verbose = false)
      : reporter(out, err, {mode, quiet, verbose, columns, [this] { return now; }}) {}

  Reporter::Clock::time_point now{};
  std::ostringstream out;
  std::ostringstream err;
  Reporter reporter;
};

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

StatusSnapshot Transfer(int32_t percent, int32_t elapsed, uint32_t sent, uint32_t total) {
  return {kProgramming, percent, elapsed, 0, 0, sent, total};
}

const Diagnosis kWrongModel{"The PLC reported identity code 0x0013, the code of FQ2 or FQ32.",
                            "Update it as its own model.", 0x0013};

// Standard error says why and what to do; the box line stays the last line
// of standard output, in every display.
TEST(FailureDisplay, ReasonAndHintGoToStandardErrorBeforeTheLastLine) {
  for (const Reporter::Mode mode :
       {Reporter::Mode::kTerminal, Reporter::Mode::kPlain, Reporter::Mode::kJson}) {
    Display display(mode);
    display.reporter.Update({kIdle, 0, 3, 6, 6, 0, 0});
    display.reporter.Result("ERROR", "NO RESPONSE @ State 2", 1, kWrongModel);
    EXPECT_EQ(display.err.str(),
              "Why: " + kWrongModel.reason + "\nWhat to do: " + kWrongModel.hint + "\n");
    const std::vector<std::string> lines = Lines(display.out.str());
    ASSERT_FALSE(lines.empty());
    if (mode == Reporter::Mode::kJson) {
      const auto result = json_line::ParseObjectLine(lines.back());
      ASSERT_TRUE(result);
      EXPECT_EQ(result->at("reason"), kWrongModel.reason);
      EXPECT_EQ(result->at("hint"), kWrongModel.hint);
      EXPECT_EQ(result->at("reportedCode"), "19");
    } else {
      EXPECT_EQ(lines.back(), "ERROR: NO RESPONSE @ State 2");
    }
  }
}

TEST(QuietDisplay, OnlyTheFinalLine) {
  for (const Reporter::Mode mode : {Reporter::Mode::kTerminal, Reporter::Mode::kJson}) {
    Display display(mode, 80, true);
    display.reporter.Start("KR2-E", "KR2-E_x.bin", 100, "ab", "/dev/ttyUSB0");
    display.reporter.Update(Transfer(50, 4, 50, 100));
    display.reporter.Prompt("Information", "Please POWER OFF=>ON the PLC", false);
    display.reporter.Result("ERROR", "Firmware update is FAILED", 1, kWrongModel);
    EXPECT_EQ(Lines(display.out.str()).size(), 1u) << display.out.str();
    EXPECT_EQ(display.err.str(), "");
  }
}

TEST(PromptDisplay, SaysToPressEnterOnlyWhenItWaits) {
  for (const bool waits : {true, false}) {
    Display display(Reporter::Mode::kPlain);
    display.reporter.Prompt("Information", "Please REPLUG the USB Cable", waits);
    const std::vector<std::string> lines = Lines(display.out.str());
    EXPECT_EQ(lines.front(), "Information: Please REPLUG the USB Cable");
    EXPECT_EQ(lines.size(), waits ? 2u : 1u);
    if (waits) {
      EXPECT_EQ(lines.back(), "Press Enter to continue.");
    }
  }
}

// Once blocks flow for a second the line shows how fast and how long yet:
// 20000 of 100000 bytes in 2 s is 10 kB/s, and 80000 more take 8 s.
TEST(TransferDisplay, RateAndTimeLeftOnceBlocksFlow) {
  Display display(Reporter::Mode::kPlain);
  display.reporter.Update(Transfer(0, 10, 0, 100000));
  display.now += 500ms;
  display.reporter.Update(Transfer(5, 10, 5000, 100000));
  display.now += 1500ms;
  display.reporter.Update(Transfer(20, 12, 20000, 100000));
  const std::vector<std::string> lines = Lines(display.out.str());
  ASSERT_EQ(lines.size(), 2u) << display.out.str();
  EXPECT_THAT(lines[0], ::testing::Not(HasSubstr("kB/s")));
  EXPECT_EQ(lines[1], "Programming  20%    12 s  errors 0/0  10.0 kB/s, 0:08 left");
}

// However narrow the terminal, a drawing never reaches its last column:
// the bar goes first, then the padding.
class NarrowTerminal : public ::testing::TestWithParam<int> {};

TEST_P(NarrowTerminal, TheStatusLineNeverWraps) {
  const int columns = GetParam();
  Display display(Reporter::Mode::kTerminal, columns);
  display.reporter.Update(Transfer(0, 1, 0, 2000000));
  display.now += 2s;
  display.reporter.Update(Transfer(57, 123, 1140000, 2000000));
  std::string text = display.out.str();
  size_t drawings = 0;
  for (size_t at = text.find('\r'); at != std::string::npos; at = text.find('\r', at + 1)) {
    const size_t end = text.find("\x1b[K", at);
    ASSERT_NE(end, std::string::npos);
    const std::string drawing = text.substr(at + 1, end - at - 1);
    EXPECT_LT(drawing.size(), static_cast<size_t>(columns)) << drawing;
    EXPECT_EQ(drawing.rfind("Programming", 0), 0u) << drawing;
    ++drawings;
  }
  EXPECT_EQ(drawings, 2u);
  if (columns >= 60) {
    EXPECT_THAT(text, HasSubstr("57%"));
  }
  if (columns >= 100) {
    EXPECT_THAT(text, HasSubstr("[#################"));
  }
}

INSTANTIATE_TEST_SUITE_P(Columns, NarrowTerminal, ::testing::Values(12, 24, 40, 60, 80, 100, 200));

// Every event says when it happened (ms since the run began); the start
// says which layout the events follow; the transfer's progress counts bytes.
TEST(JsonDisplay, EveryEventHasItsTimeAndProgressItsBytes) {
  Display display(Reporter::Mode::kJson);
  display.reporter.Start("GL30", "GL30_x.bin", 40000, "", "USB");
  display.now += 1234ms;
  display.reporter.Update({kErasing, 50, 1, 0, 0, 0, 0});
  display.now += 1000ms;
  display.reporter.Update(Transfer(40, 2, 14336, 35904));
  display.now += 7ms;
  display.reporter.Result("Information", "done", 0);
  const std::vector<std::string> lines = Lines(display.out.str());
  std::vector<std::string> times;
  for (const std::string& line : lines) {
    const auto event = json_line::ParseObjectLine(line);
    ASSERT_TRUE(event) << line;
    times.push_back(event->at("t"));
    if (event->at("event") == "start") {
      EXPECT_EQ(event->at("schema"), std::to_string(kJsonSchema));
    }
    if (event->at("event") == "progress" && event->at("phase") == "Programming") {
      EXPECT_EQ(event->at("sent"), "14336");
      EXPECT_EQ(event->at("total"), "35904");
    }
    if (event->at("event") == "progress" && event->at("phase") == "Erasing") {
      EXPECT_EQ(event->count("sent"), 0u);
    }
  }
  EXPECT_EQ(times.front(), "0");
  EXPECT_EQ(times.back(), "2241");
  EXPECT_THAT(times, ::testing::Contains("1234"));
}

// The displays of one run (a station's, each unit's) count "t" from the
// program's start, say "schema" in the stream's first event (and every
// start), and a unit's events carry its label.
TEST(JsonDisplay, DisplaysOfOneRunShareOneClockAndOneSchema) {
  Reporter::Clock::time_point now{};
  std::ostringstream out;
  std::ostringstream err;
  Reporter::Settings settings{Reporter::Mode::kJson, false, false, 80, [&] { return now; }};
  settings.origin = now;
  now += 3000ms;
  Reporter station(out, err, settings);
  station.Tell("station", "\"model\":\"GL30\"", "");
  now += 2000ms;
  settings.unit = "1-1.2";
  settings.label = "(21)A7\x1D";
  Reporter unit(out, err, settings);
  unit.Update({kErasing, 10, 1, 0, 0, 0, 0});
  unit.Start("GL30", "GL30_x.bin", 10, "", "1-1.2");
  std::vector<std::map<std::string, std::string>> events;
  for (const std::string& line : Lines(out.str())) {
    const auto event = json_line::ParseObjectLine(line);
    ASSERT_TRUE(event) << line;
    events.push_back(*event);
  }
  ASSERT_EQ(events.size(), 5u) << out.str();  // station, phase, progress, errors, start
  EXPECT_EQ(events[0].at("t"), "3000");
  EXPECT_EQ(events[0].at("schema"), std::to_string(kJsonSchema));
  EXPECT_EQ(events[0].count("label"), 0u);
  for (size_t i = 1; i < events.size(); ++i) {
    EXPECT_EQ(events[i].at("t"), "5000") << events[i].at("event");
    EXPECT_EQ(events[i].at("label"), "(21)A7\x1D");
    EXPECT_EQ(events[i].count("schema"), events[i].at("event") == "start" ? 1u : 0u);
  }
}

// -v: every exchange and retry on standard error; a transfer's accepted
// blocks are too many to show, its retries are not. The status line is
// drawn again below each such line.
TEST(VerboseDisplay, ExchangesAndRetriesOnStandardError) {
  Display display(Reporter::Mode::kTerminal, 80, false, true);
  display.reporter.Update({kIdle, 0, 0, 0, 0, 0, 0});
  const std::vector<uint8_t> check = {':', '0', '1', '\r', '\n'};
  const std::vector<uint8_t> reply = {':', '0', '5', '\r', '\n'};
  display.reporter.Operation(Operation::kConfirmComm);
  display.reporter.Attempt({check, {}, AttemptResult::kRejected});
  display.reporter.Attempt({check, reply, AttemptResult::kAccepted});
  display.reporter.Operation(Operation::kSendFW);
  const std::vector<uint8_t> block = {0x02, 0x01, 0xFE};
  display.reporter.Attempt({block, {}, AttemptResult::kWriteFailed});
  display.reporter.Attempt({block, std::vector<uint8_t>{0x06}, AttemptResult::kAccepted});
  EXPECT_EQ(Lines(display.err.str()),
            (std::vector<std::string>{
                "ConfirmComm: the communication check", "  sent \":01\\r\\n\", no reply: retry",
                "  sent \":01\\r\\n\", reply \":05\\r\\n\": accepted", "SendFW: the image blocks",
                "  sent 02 01 FE: NOT written whole"}));
  const std::string out = display.out.str();
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 0) << "the status line stays one line";
  EXPECT_GE(std::count(out.begin(), out.end(), '\r'), 5);
}

}  // namespace
