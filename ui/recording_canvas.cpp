// SPDX-License-Identifier: MIT
#include "ui/recording_canvas.h"

#include <iomanip>

CanvasCall Fill(PanelRect rect, PanelColour colour) {
  CanvasCall call{CanvasCall::Kind::kFill};
  call.rect = rect;
  call.colour = colour;
  return call;
}

CanvasCall FillWindowColour(PanelRect rect) {
  CanvasCall call{CanvasCall::Kind::kFillWindowColour};
  call.rect = rect;
  return call;
}

CanvasCall Text(PanelPoint at, std::string text) {
  CanvasCall call{CanvasCall::Kind::kText};
  call.at = at;
  call.text = std::move(text);
  return call;
}

CanvasCall Logo(PanelPoint at, PanelSize size) {
  CanvasCall call{CanvasCall::Kind::kLogo};
  call.at = at;
  call.size = size;
  return call;
}

std::ostream& operator<<(std::ostream& out, const CanvasCall& call) {
  const auto rect = [&out](const PanelRect& r) -> std::ostream& {
    return out << '(' << r.left << ',' << r.top << ',' << r.right << ',' << r.bottom << ')';
  };
  const auto point = [&out](const PanelPoint& p) -> std::ostream& {
    return out << '(' << p.x << ',' << p.y << ')';
  };
  switch (call.kind) {
    case CanvasCall::Kind::kFill:
      out << "fill ";
      rect(call.rect) << " 0x" << std::hex << std::setw(8) << std::setfill('0') << call.colour
                      << std::dec << std::setfill(' ');
      break;
    case CanvasCall::Kind::kFillWindowColour:
      out << "fill ";
      rect(call.rect) << " window colour";
      break;
    case CanvasCall::Kind::kText:
      out << "text ";
      point(call.at) << ' ' << std::quoted(call.text) << " (" << call.text.size() << " chars)";
      break;
    case CanvasCall::Kind::kLogo:
      out << "logo ";
      point(call.at) << ' ' << call.size.width << 'x' << call.size.height;
      break;
  }
  return out;
}

std::vector<std::string> RecordingCanvas::Texts() const {
  std::vector<std::string> texts;
  for (const CanvasCall& call : calls_) {
    if (call.kind == CanvasCall::Kind::kText) texts.push_back(call.text);
  }
  return texts;
}

void RecordingCanvas::FillSolid(const PanelRect& rect, PanelColour colour) {
  calls_.push_back(Fill(rect, colour));
}

void RecordingCanvas::FillWindowColour(const PanelRect& rect) {
  calls_.push_back(::FillWindowColour(rect));
}

void RecordingCanvas::TextAt(PanelPoint at, std::string_view text) {
  calls_.push_back(Text(at, std::string(text)));
}

void RecordingCanvas::LogoAt(PanelPoint at, PanelSize size) { calls_.push_back(Logo(at, size)); }
