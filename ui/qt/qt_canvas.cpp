// SPDX-License-Identifier: MIT
#include "ui/qt/qt_canvas.h"

#include <QColor>
#include <QFontMetrics>
#include <QPainter>
#include <QRect>
#include <algorithm>

namespace {

// An empty rectangle stays empty: QRect would take a right edge left of the
// left one as a rectangle drawn backwards.
QRect ToRect(const PanelRect& rect) {
  return QRect(rect.left, rect.top, std::max(0, rect.right - rect.left),
               std::max(0, rect.bottom - rect.top));
}

QColor ToColour(PanelColour colour) {
  return QColor(static_cast<int>(colour & 0xFF), static_cast<int>((colour >> 8) & 0xFF),
                static_cast<int>((colour >> 16) & 0xFF));
}

}  // namespace

const QImage& QtLogo::Scaled(PanelSize size) {
  if (!scaled_.isNull() && size == size_) return scaled_;
  const QImage full(file_);
  scaled_ = full.isNull() ? QImage()
                          : full.scaled(size.width, size.height, Qt::IgnoreAspectRatio,
                                        Qt::SmoothTransformation);
  size_ = size;
  return scaled_;
}

void QtCanvas::FillSolid(const PanelRect& rect, PanelColour colour) {
  const QRect area = ToRect(rect);
  if (!area.isEmpty()) painter_.fillRect(area, ToColour(colour));
}

void QtCanvas::FillWindowColour(const PanelRect& rect) {
  const QRect area = ToRect(rect);
  if (!area.isEmpty()) painter_.fillRect(area, palette_.color(QPalette::Window));
}

void QtCanvas::TextAt(PanelPoint at, std::string_view text) {
  // The panel places a text by its top-left corner; Qt by its base line.
  const int baseline = at.y + QFontMetrics(painter_.font()).ascent();
  painter_.setPen(palette_.color(QPalette::WindowText));
  painter_.drawText(at.x, baseline,
                    QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size())));
}

void QtCanvas::LogoAt(PanelPoint at, PanelSize size) {
  const QImage& logo = logo_.Scaled(size);
  if (!logo.isNull()) painter_.drawImage(at.x, at.y, logo);
}
