// SPDX-License-Identifier: MIT
// What the status panel needs from a window system: solid fills, the window's
// own background colour, plain text and the logo.
//
// The panel is laid out once, in client-area pixels, and drawn through this
// interface by the Win32 window (GDI), the Linux window and the tests.
#pragma once

#include <cstdint>
#include <string_view>

struct PanelPoint {
  int32_t x;
  int32_t y;
  friend bool operator==(const PanelPoint&, const PanelPoint&) = default;
};

// Left, top, right, bottom; the right column and bottom row are not filled.
// A rectangle whose right edge is not past its left (or bottom past its top)
// covers no pixel.
struct PanelRect {
  int32_t left;
  int32_t top;
  int32_t right;
  int32_t bottom;
  friend bool operator==(const PanelRect&, const PanelRect&) = default;
};

struct PanelSize {
  int32_t width;
  int32_t height;
  friend bool operator==(const PanelSize&, const PanelSize&) = default;
};

// 0x00BBGGRR, the layout of the window system's colour values.
using PanelColour = uint32_t;
inline constexpr PanelColour kWhite = 0x00FFFFFF;
inline constexpr PanelColour kRed = 0x000000FF;

class Canvas {
 public:
  virtual ~Canvas() = default;
  virtual void FillSolid(const PanelRect& rect, PanelColour colour) = 0;
  // The window's background colour (the system's scroll-bar colour), so that
  // a cleared area matches the window around it.
  virtual void FillWindowColour(const PanelRect& rect) = 0;
  // Exactly text.size() characters, top-left corner at `at`, in the default
  // font and text colour, on a transparent background: what is under the
  // blanks stays visible.
  virtual void TextAt(PanelPoint at, std::string_view text) = 0;
  // The program's logo, scaled to `size`, top-left corner at `at`.
  virtual void LogoAt(PanelPoint at, PanelSize size) = 0;
};
