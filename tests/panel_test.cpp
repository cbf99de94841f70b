// SPDX-License-Identifier: MIT
// The status panel as drawn on a recording canvas: every fill, text and
// position of each item, and the order in which the window's paint handler
// and repaint tick draw them.
#include "ui/panel.h"

#include <gtest/gtest.h>

#include <climits>
#include <ostream>
#include <string>
#include <vector>

#include "ui/recording_canvas.h"

namespace {

using Calls = std::vector<CanvasCall>;

// Built from their parts so that a miscounted run of blanks in the panel
// cannot be copied into the expectation.
const std::string kElapsedLabel = "Elapsed Time:" + std::string(14, ' ') + "sec";
const std::string kProgressLabel = "Progress:" + std::string(12, ' ') + "%";
const std::string kDate = "Date: 2023/02/13-2";

// --- Each operation, call by call -------------------------------------------

TEST(DisplayElapsedTime, ClearsThenDrawsLabelThenSecondsField) {
  RecordingCanvas canvas;
  DisplayElapsedTime(canvas, 7);
  EXPECT_EQ(canvas.calls(), (Calls{FillWindowColour({160, 70, 335, 90}),
                                   Text({160, 70}, kElapsedLabel), Text({270, 70}, "  7")}));
}

TEST(DisplayProgressBar, WhiteBarThenRedPartThenClearedLabelAndPercentage) {
  RecordingCanvas canvas;
  DisplayProgressBar(canvas, 33);
  EXPECT_EQ(canvas.calls(),
            (Calls{Fill({10, 105, 520, 125}, 0x00FFFFFF), Fill({10, 105, 178, 125}, 0x000000FF),
                   FillWindowColour({10, 140, 130, 160}), Text({10, 140}, kProgressLabel),
                   Text({85, 140}, " 33")}));
}

TEST(DisplayStatus, ClearsThenDrawsStatusWordThenPhase) {
  RecordingCanvas canvas;
  DisplayStatus(canvas, 2);
  EXPECT_EQ(canvas.calls(), (Calls{FillWindowColour({160, 140, 300, 160}),
                                   Text({160, 140}, "Status: "), Text({209, 140}, "Programming")}));
}

TEST(DisplayErrCounter, ClearsPastTheClientEdgeThenDrawsBothCounters) {
  RecordingCanvas canvas;
  DisplayErrCounter(canvas, 2, 7);
  EXPECT_EQ(canvas.calls(), (Calls{FillWindowColour({320, 140, 540, 160}),
                                   Text({320, 140}, "# of Error/Total Error: 2/7")}));
}

TEST(DisplayDate, DrawsTheDateLineWithoutClearing) {
  RecordingCanvas canvas;
  DisplayDate(canvas);
  EXPECT_EQ(canvas.calls(), (Calls{Text({300, 25}, kDate)}));
}

TEST(DisplayLogo, DrawsTheLogoScaledTo87By28At435_15) {
  RecordingCanvas canvas;
  DisplayLogo(canvas);
  EXPECT_EQ(canvas.calls(), (Calls{Logo({435, 15}, {87, 28})}));
}

// --- Progress bar and percentage --------------------------------------------

struct ProgressCase {
  int32_t progress;
  int32_t redRight;  // the red part covers x = 10 .. redRight - 1
  const char* field;
};

void PrintTo(const ProgressCase& c, std::ostream* out) { *out << "progress " << c.progress; }

class ProgressBarWidth : public ::testing::TestWithParam<ProgressCase> {};

TEST_P(ProgressBarWidth, RedPartIsProgressTimes510Over100Truncated) {
  const ProgressCase& c = GetParam();
  RecordingCanvas canvas;
  DisplayProgressBar(canvas, c.progress);
  ASSERT_EQ(canvas.calls().size(), 5u);
  EXPECT_EQ(canvas.calls()[0], Fill({10, 105, 520, 125}, kWhite));
  EXPECT_EQ(canvas.calls()[1], Fill({10, 105, c.redRight, 125}, kRed));
  EXPECT_EQ(canvas.calls()[4], Text({85, 140}, c.field));
}

INSTANTIATE_TEST_SUITE_P(
    Percentages, ProgressBarWidth,
    ::testing::Values(ProgressCase{0, 10, "  0"},     // empty rectangle: nothing red
                      ProgressCase{1, 15, "  1"},     // 5.1 -> 5
                      ProgressCase{33, 178, " 33"},   // 168.3 -> 168
                      ProgressCase{50, 265, " 50"},   // 255
                      ProgressCase{99, 514, " 99"},   // 504.9 -> 504
                      ProgressCase{100, 520, "100"},  // the whole bar, x = 10 .. 519
                      // Values the loader never reports: the red part stays
                      // inside the bar and nothing overflows.
                      ProgressCase{101, 520, "101"}, ProgressCase{-5, 10, " -5"},
                      ProgressCase{INT32_MAX, 520, "2147483647"},
                      ProgressCase{INT32_MIN, 10, "-2147483648"}),
    [](const auto& info) {
      const int32_t p = info.param.progress;
      return p < 0 ? "minus" + std::to_string(-static_cast<int64_t>(p)) : std::to_string(p);
    });

// --- Elapsed seconds --------------------------------------------------------

struct SecondsCase {
  int32_t seconds;
  const char* field;
};

void PrintTo(const SecondsCase& c, std::ostream* out) { *out << c.seconds << " s"; }

class ElapsedSecondsField : public ::testing::TestWithParam<SecondsCase> {};

TEST_P(ElapsedSecondsField, RightAlignedInThreeAndWiderNumbersGrowRightFrom270) {
  RecordingCanvas canvas;
  DisplayElapsedTime(canvas, GetParam().seconds);
  EXPECT_EQ(canvas.calls().back(), Text({270, 70}, GetParam().field));
  EXPECT_EQ(canvas.calls()[1], Text({160, 70}, kElapsedLabel));
}

INSTANTIATE_TEST_SUITE_P(Seconds, ElapsedSecondsField,
                         ::testing::Values(SecondsCase{0, "  0"}, SecondsCase{7, "  7"},
                                           SecondsCase{42, " 42"}, SecondsCase{999, "999"},
                                           SecondsCase{1000, "1000"}, SecondsCase{1234, "1234"},
                                           SecondsCase{86400, "86400"}),
                         [](const auto& info) { return std::to_string(info.param.seconds); });

// --- Phase word -------------------------------------------------------------

TEST(DisplayStatus, PhaseWordsForIdleErasingProgramming) {
  const char* words[] = {"Idle", "Erasing", "Programming"};
  for (int32_t status = 0; status <= 2; ++status) {
    RecordingCanvas canvas;
    DisplayStatus(canvas, status);
    EXPECT_EQ(canvas.Texts(), (std::vector<std::string>{"Status: ", words[status]})) << status;
  }
}

TEST(DisplayStatus, UnknownPhaseShowsStatusAndNothingAfterIt) {
  for (int32_t status : {3, -1, 100, INT32_MIN}) {
    RecordingCanvas canvas;
    DisplayStatus(canvas, status);
    EXPECT_EQ(canvas.calls(),
              (Calls{FillWindowColour({160, 140, 300, 160}), Text({160, 140}, "Status: ")}))
        << status;
  }
}

// --- Error counters ---------------------------------------------------------

TEST(DisplayErrCounter, BothCountersInPlainDecimal) {
  struct {
    int32_t err, total;
    const char* text;
  } const cases[] = {
      {0, 0, "# of Error/Total Error: 0/0"},
      {2, 7, "# of Error/Total Error: 2/7"},
      {6, 1234, "# of Error/Total Error: 6/1234"},
      {INT32_MIN, INT32_MIN, "# of Error/Total Error: -2147483648/-2147483648"},
  };
  for (const auto& c : cases) {
    RecordingCanvas canvas;
    DisplayErrCounter(canvas, c.err, c.total);
    EXPECT_EQ(canvas.Texts(), std::vector<std::string>{c.text});
  }
}

// --- The window's two redraws -----------------------------------------------

TEST(PanelRedraw, IdlePanelShowsZerosIdleAndTheDate) {
  RecordingCanvas canvas;
  DrawPanelOnPaint(canvas, PanelValues{});
  EXPECT_EQ(canvas.Texts(),
            (std::vector<std::string>{kElapsedLabel, "  0", kProgressLabel, "  0",
                                      "Status: ", "Idle", "# of Error/Total Error: 0/0", kDate}));
}

// Distinct values in every field, so a value shown in the wrong place or two
// items drawn out of order both show.
const PanelValues kBusy{
    .elapsedTime = 1234, .progress = 33, .flashStatus = 2, .errCounter = 2, .totalErrCounter = 7};

const Calls kFiveItems{
    FillWindowColour({160, 70, 335, 90}),
    Text({160, 70}, kElapsedLabel),
    Text({270, 70}, "1234"),
    Fill({10, 105, 520, 125}, kWhite),
    Fill({10, 105, 178, 125}, kRed),
    FillWindowColour({10, 140, 130, 160}),
    Text({10, 140}, kProgressLabel),
    Text({85, 140}, " 33"),
    FillWindowColour({160, 140, 300, 160}),
    Text({160, 140}, "Status: "),
    Text({209, 140}, "Programming"),
    FillWindowColour({320, 140, 540, 160}),
    Text({320, 140}, "# of Error/Total Error: 2/7"),
    Text({300, 25}, kDate),
};

TEST(PanelRedraw, PaintDrawsTheFiveItemsInOrderAndNoLogo) {
  RecordingCanvas canvas;
  DrawPanelOnPaint(canvas, kBusy);
  EXPECT_EQ(canvas.calls(), kFiveItems);
}

TEST(PanelRedraw, TickDrawsTheSameFiveThenTheLogo) {
  RecordingCanvas canvas;
  DrawPanelOnTick(canvas, kBusy);
  Calls expected = kFiveItems;
  expected.push_back(Logo({435, 15}, {87, 28}));
  EXPECT_EQ(canvas.calls(), expected);
}

}  // namespace
