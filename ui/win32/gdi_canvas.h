// SPDX-License-Identifier: MIT
// The status panel's Canvas on a GDI drawing context, and the logo it shows.
#pragma once

#include <windows.h>

#include "ui/canvas.h"

// The logo is bitmap resource 12 of the program, 708 × 218 pixels.
inline constexpr int kLogoBitmapId = 12;

// The logo as the system scaled it, kept from one repaint tick to the next:
// it looks the same every time and scaling the large bitmap ten times a
// second would be wasted work. Owned by the window thread.
class GdiLogo {
 public:
  explicit GdiLogo(HINSTANCE module) : module_(module) {}
  ~GdiLogo();
  GdiLogo(const GdiLogo&) = delete;
  GdiLogo& operator=(const GdiLogo&) = delete;

  // The logo scaled to `size`, loaded on first use (and again when the size
  // changes). nullptr when the module holds no logo; the next call retries.
  HBITMAP Scaled(PanelSize size);

 private:
  HINSTANCE module_;
  HBITMAP bitmap_ = nullptr;
  PanelSize size_{};
};

// Draws on a context the caller owns (from BeginPaint or GetDC) and releases.
// Selects nothing into it: texts use its default font and text colour.
class GdiCanvas final : public Canvas {
 public:
  GdiCanvas(HDC dc, GdiLogo& logo) : dc_(dc), logo_(logo) {}

  void FillSolid(const PanelRect& rect, PanelColour colour) override;
  void FillWindowColour(const PanelRect& rect) override;
  void TextAt(PanelPoint at, std::string_view text) override;
  void LogoAt(PanelPoint at, PanelSize size) override;

 private:
  HDC dc_;
  GdiLogo& logo_;
};
