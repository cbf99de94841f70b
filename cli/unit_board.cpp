// SPDX-License-Identifier: MIT
#include "cli/unit_board.h"

#include <algorithm>

#include "util/text.h"

namespace {

// A label too long for its column keeps its end, where names differ
// (/dev/ttyUSB0, /dev/ttyUSB1), cut where a character begins.
std::string Shortened(const std::string& label, size_t width) {
  if (label.size() <= width) return label;
  size_t from = label.size() - (width - 3);
  while (from < label.size() && (static_cast<unsigned char>(label[from]) & 0xC0) == 0x80) ++from;
  return "..." + label.substr(from);
}

}  // namespace

UnitBoard::UnitBoard(std::ostream& out, std::ostream& err, const std::vector<std::string>& units,
                     bool terminal, int columns)
    : out_(out),
      err_(err),
      terminal_(terminal),
      columns_(std::max(columns, 20)),
      units_(units),
      statuses_(units.size()) {
  size_t widest = 0;
  for (const std::string& unit : units) {
    labels_.push_back(PrintableText(unit));
    widest = std::max(widest, labels_.back().size());
  }
  labelWidth_ = std::min(widest, std::max<size_t>(8, static_cast<size_t>(columns_) / 3));
  for (std::string& label : labels_) label = Shortened(label, labelWidth_);
}

std::string UnitBoard::Row(size_t unit) const {
  std::string row = labels_[unit];
  row.resize(labelWidth_, ' ');
  return row + "  " + statuses_[unit];
}

void UnitBoard::Draw() {
  for (size_t unit = 0; unit < units_.size(); ++unit) out_ << Row(unit) << "\x1b[K\n";
  drawn_ = true;
}

void UnitBoard::MoveToTop() { out_ << "\x1b[" << units_.size() << "A\r\x1b[J"; }

void UnitBoard::Line(const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (terminal_ && drawn_) {
    MoveToTop();
    out_ << text;
    Draw();
  } else {
    out_ << text;
  }
  out_.flush();
}

void UnitBoard::ErrorLine(const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  const bool redraw = terminal_ && drawn_;
  if (redraw) MoveToTop();
  out_.flush();
  err_ << text << "\n";
  err_.flush();
  if (redraw) Draw();
  out_.flush();
}

void UnitBoard::Status(const std::string& unit, const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto at = std::find(units_.begin(), units_.end(), unit);
  if (at == units_.end()) return;
  const auto index = static_cast<size_t>(at - units_.begin());
  statuses_[index] = text;
  if (!terminal_) return;
  if (!drawn_) {
    Draw();
  } else {
    // Up to the unit's line, and back down below the block.
    const size_t up = units_.size() - index;
    out_ << "\x1b[" << up << "A\r" << Row(index) << "\x1b[K\x1b[" << up << "B\r";
  }
  out_.flush();
}

void UnitBoard::LineTyped() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!terminal_ || !drawn_) return;
  out_ << "\x1b[A\r\x1b[K";
  out_.flush();
}

void UnitBoard::Close() {
  std::lock_guard<std::mutex> lock(mutex_);
  // Wipes what was typed at its foot (^C).
  if (terminal_ && drawn_) out_ << "\r\x1b[K";
  drawn_ = false;
  out_.flush();
}
