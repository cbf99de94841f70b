// SPDX-License-Identifier: MIT
#include "ui/panel.h"

#include <algorithm>
#include <cstdio>
#include <string_view>

namespace {

// Large enough for "# of Error/Total Error: " and two of the widest int32_t.
using TextBuffer = char[64];

// The number right-aligned in at least three characters: "  7", " 42", "100";
// wider numbers grow to the right from the same x.
std::string_view NumberField(TextBuffer& buffer, int32_t value) {
  const int length = std::snprintf(buffer, sizeof buffer, "%3d", static_cast<int>(value));
  return {buffer, static_cast<size_t>(length)};
}

std::string_view PhaseWord(int32_t flashStatus) {
  switch (flashStatus) {
    case 0: return "Idle";
    case 1: return "Erasing";
    case 2: return "Programming";
    default: return {};
  }
}

}  // namespace

int32_t ProgressBarFill(int32_t progress) {
  // In 64 bits: no value of progress may overflow the product. The loader
  // only ever reports 0..100; anything else still stays inside the bar.
  const int64_t width = int64_t{progress} * kProgressBarWidth / 100;
  return static_cast<int32_t>(std::clamp<int64_t>(width, 0, kProgressBarWidth));
}

void DisplayElapsedTime(Canvas& canvas, int32_t elapsedTime) {
  canvas.FillWindowColour({160, 70, 335, 90});
  TextBuffer field;
  // The seconds field lands in the 14 blanks between the words.
  canvas.TextAt({160, 70}, "Elapsed Time:              sec");
  canvas.TextAt({270, 70}, NumberField(field, elapsedTime));
}

void DisplayProgressBar(Canvas& canvas, int32_t progress) {
  canvas.FillSolid(kProgressBar, kWhite);
  canvas.FillSolid({kProgressBar.left, kProgressBar.top,
                    kProgressBar.left + ProgressBarFill(progress), kProgressBar.bottom},
                   kRed);
  canvas.FillWindowColour({10, 140, 130, 160});
  TextBuffer field;
  // The percentage lands in the 12 blanks between "Progress:" and "%".
  canvas.TextAt({10, 140}, "Progress:            %");
  canvas.TextAt({85, 140}, NumberField(field, progress));
}

void DisplayStatus(Canvas& canvas, int32_t flashStatus) {
  canvas.FillWindowColour({160, 140, 300, 160});
  canvas.TextAt({160, 140}, "Status: ");
  const std::string_view word = PhaseWord(flashStatus);
  if (!word.empty()) canvas.TextAt({209, 140}, word);
}

void DisplayErrCounter(Canvas& canvas, int32_t errCounter, int32_t totalErrCounter) {
  // Reaches past the client area's right edge; only the visible part shows.
  canvas.FillWindowColour({320, 140, 540, 160});
  TextBuffer text;
  const int length = std::snprintf(text, sizeof text, "# of Error/Total Error: %d/%d",
                                   static_cast<int>(errCounter), static_cast<int>(totalErrCounter));
  canvas.TextAt({320, 140}, {text, static_cast<size_t>(length)});
}

void DisplayDate(Canvas& canvas) {
  // Never cleared: the same text lands on itself every tick.
  canvas.TextAt({300, 25}, "Date: 2023/02/13-2");
}

void DisplayLogo(Canvas& canvas) { canvas.LogoAt(kLogoAt, kLogoSize); }

void DrawPanelOnPaint(Canvas& canvas, const PanelValues& values) {
  DisplayElapsedTime(canvas, values.elapsedTime);
  DisplayProgressBar(canvas, values.progress);
  DisplayStatus(canvas, values.flashStatus);
  DisplayErrCounter(canvas, values.errCounter, values.totalErrCounter);
  DisplayDate(canvas);
}

void DrawPanelOnTick(Canvas& canvas, const PanelValues& values) {
  DrawPanelOnPaint(canvas, values);
  DisplayLogo(canvas);
}
