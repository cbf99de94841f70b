// SPDX-License-Identifier: MIT
// The status panel: elapsed seconds, progress bar and percentage, phase, retry
// counters, date line and logo, drawn straight onto the main window's client
// area at fixed pixel positions laid out for the window system's default font.
//
// The panel keeps no state. The caller reads the shared status values once
// per redraw into PanelValues and hands them in; the window thread does this
// on every paint and on every tick of its 100 ms repaint timer, so a change
// made by the burn thread shows within one tick.
#pragma once

#include <cstdint>

#include "ui/canvas.h"

struct PanelValues {
  int32_t elapsedTime = 0;      // whole seconds since "Start Burn"
  int32_t progress = 0;         // percent of the current phase
  int32_t flashStatus = 0;      // 0 idle, 1 erasing, 2 programming
  int32_t errCounter = 0;       // failed attempts of the current exchange
  int32_t totalErrCounter = 0;  // failed attempts of the whole burn
};

inline constexpr PanelRect kProgressBar{10, 105, 520, 125};
inline constexpr int32_t kProgressBarWidth = 510;
inline constexpr PanelPoint kLogoAt{435, 15};
inline constexpr PanelSize kLogoSize{87, 28};

void DisplayElapsedTime(Canvas& canvas, int32_t elapsedTime);
void DisplayProgressBar(Canvas& canvas, int32_t progress);
void DisplayStatus(Canvas& canvas, int32_t flashStatus);
void DisplayErrCounter(Canvas& canvas, int32_t errCounter, int32_t totalErrCounter);
void DisplayDate(Canvas& canvas);
void DisplayLogo(Canvas& canvas);

// Width in pixels of the red part of the progress bar: progress × 510 / 100,
// truncated, kept within the bar.
int32_t ProgressBarFill(int32_t progress);

// The window's paint handler: every item but the logo, which comes back with
// the next repaint tick.
void DrawPanelOnPaint(Canvas& canvas, const PanelValues& values);
// The repaint timer's tick: every item, the logo last.
void DrawPanelOnTick(Canvas& canvas, const PanelValues& values);
