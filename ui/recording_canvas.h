// SPDX-License-Identifier: MIT
// A Canvas that draws nothing and keeps every call in order: for the tests
// of the panel and of the windows that draw it.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "ui/canvas.h"

struct CanvasCall {
  enum class Kind { kFill, kFillWindowColour, kText, kLogo } kind;
  PanelRect rect{};      // kFill, kFillWindowColour
  PanelColour colour{};  // kFill
  PanelPoint at{};       // kText, kLogo
  std::string text{};    // kText
  PanelSize size{};      // kLogo
  friend bool operator==(const CanvasCall&, const CanvasCall&) = default;
};

// Shorthands for writing expected sequences.
CanvasCall Fill(PanelRect rect, PanelColour colour);
CanvasCall FillWindowColour(PanelRect rect);
CanvasCall Text(PanelPoint at, std::string text);
CanvasCall Logo(PanelPoint at, PanelSize size);

// "fill (10,105,520,125) 0x00ffffff", "text (160,70) \"Status: \"", ...
std::ostream& operator<<(std::ostream& out, const CanvasCall& call);

class RecordingCanvas : public Canvas {
 public:
  const std::vector<CanvasCall>& calls() const { return calls_; }
  std::vector<std::string> Texts() const;  // every text drawn, in order
  void Clear() { calls_.clear(); }

  void FillSolid(const PanelRect& rect, PanelColour colour) override;
  void FillWindowColour(const PanelRect& rect) override;
  void TextAt(PanelPoint at, std::string_view text) override;
  void LogoAt(PanelPoint at, PanelSize size) override;

 private:
  std::vector<CanvasCall> calls_;
};
