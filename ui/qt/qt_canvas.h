// SPDX-License-Identifier: MIT
// The status panel's Canvas on a QPainter, and the logo it shows.
#pragma once

#include <QImage>
#include <QPalette>
#include <QString>
#include <utility>

#include "ui/canvas.h"

class QPainter;

// The logo bitmap the Windows program carries as resource 12, 708 × 218
// pixels, built into the Linux programs as a Qt resource.
inline constexpr char kLogoResource[] = ":/morvix/logo.bmp";

// The logo scaled once and kept: it looks the same on every repaint tick, and
// scaling the large bitmap ten times a second would be wasted work. Window
// thread only.
class QtLogo {
 public:
  explicit QtLogo(QString file = kLogoResource) : file_(std::move(file)) {}

  // The logo scaled to `size`, loaded on first use (and again when the size
  // changes); a null image when the file cannot be read.
  const QImage& Scaled(PanelSize size);

 private:
  QString file_;
  QImage scaled_;
  PanelSize size_{};
};

// Draws with the painter's font (the widget's, the application's default)
// in the palette's text colour; clears with the palette's window colour, the
// colour Qt fills the window with, so a cleared area matches the window.
class QtCanvas final : public Canvas {
 public:
  QtCanvas(QPainter& painter, const QPalette& palette, QtLogo& logo)
      : painter_(painter), palette_(palette), logo_(logo) {}

  void FillSolid(const PanelRect& rect, PanelColour colour) override;
  void FillWindowColour(const PanelRect& rect) override;
  void TextAt(PanelPoint at, std::string_view text) override;
  void LogoAt(PanelPoint at, PanelSize size) override;

 private:
  QPainter& painter_;
  const QPalette& palette_;
  QtLogo& logo_;
};
