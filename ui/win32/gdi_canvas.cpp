// SPDX-License-Identifier: MIT
#include "ui/win32/gdi_canvas.h"

namespace {

RECT ToRect(const PanelRect& rect) { return {rect.left, rect.top, rect.right, rect.bottom}; }

}  // namespace

GdiLogo::~GdiLogo() {
  if (bitmap_ != nullptr) DeleteObject(bitmap_);
}

HBITMAP GdiLogo::Scaled(PanelSize size) {
  if (bitmap_ != nullptr && size == size_) return bitmap_;
  if (bitmap_ != nullptr) DeleteObject(bitmap_);
  // The system scales the bitmap to the size asked for as it loads it.
  bitmap_ = static_cast<HBITMAP>(LoadImageA(module_, MAKEINTRESOURCEA(kLogoBitmapId), IMAGE_BITMAP,
                                            size.width, size.height, LR_DEFAULTCOLOR));
  size_ = size;
  return bitmap_;
}

void GdiCanvas::FillSolid(const PanelRect& rect, PanelColour colour) {
  const RECT area = ToRect(rect);
  HBRUSH brush = CreateSolidBrush(colour);
  if (brush == nullptr) return;
  FillRect(dc_, &area, brush);
  DeleteObject(brush);
}

void GdiCanvas::FillWindowColour(const PanelRect& rect) {
  const RECT area = ToRect(rect);
  // The system's own brush: shared, never deleted.
  FillRect(dc_, &area, GetSysColorBrush(COLOR_SCROLLBAR));
}

void GdiCanvas::TextAt(PanelPoint at, std::string_view text) {
  SetBkMode(dc_, TRANSPARENT);
  TextOutA(dc_, at.x, at.y, text.data(), static_cast<int>(text.size()));
}

void GdiCanvas::LogoAt(PanelPoint at, PanelSize size) {
  // Without the resource there is nothing to draw; blitting an unread
  // BITMAP record would copy a size made of garbage.
  HBITMAP logo = logo_.Scaled(size);
  if (logo == nullptr) return;
  HDC memory = CreateCompatibleDC(dc_);
  if (memory == nullptr) return;
  HGDIOBJ previous = SelectObject(memory, logo);
  BITMAP info{};
  if (GetObjectA(logo, sizeof info, &info) == static_cast<int>(sizeof info)) {
    BitBlt(dc_, at.x, at.y, info.bmWidth, info.bmHeight, memory, 0, 0, SRCCOPY);
  }
  // The kept bitmap must leave the memory context before the context goes.
  SelectObject(memory, previous);
  DeleteDC(memory);
}
