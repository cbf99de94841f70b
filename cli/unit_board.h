// SPDX-License-Identifier: MIT
// The one output several units' displays share while their burns run at the
// same time. Whatever one unit says is written whole, never torn apart by
// another's. On a terminal the units' status lines stand in a block at the
// bottom, one line per unit labelled with its name, each redrawn in place
// (cursor movements); a line said meanwhile goes above the block, which is
// then drawn again below it.
#pragma once

#include <cstddef>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

class UnitBoard {
 public:
  // `units` in the order of their lines; `columns` the terminal's width.
  UnitBoard(std::ostream& out, std::ostream& err, const std::vector<std::string>& units,
            bool terminal, int columns);

  // Lines on standard output (`text` ends with a line end), above the block.
  void Line(const std::string& text);
  // One line on standard error, without its line end; the block stays whole.
  void ErrorLine(const std::string& text);
  // A unit's status: on a terminal, its line of the block. `text` must fit
  // StatusColumns() - 1 columns: a line that wraps cannot be redrawn.
  void Status(const std::string& unit, const std::string& text);
  // The operator typed a line at the foot of the block (an answer to a
  // prompt): the terminal's echo took the cursor a line down, and is wiped.
  void LineTyped();
  // The block is left as it stands; what follows is written below it.
  void Close();

  // The width left for a status line beside the units' labels.
  int StatusColumns() const { return columns_ - static_cast<int>(labelWidth_) - 2; }

 private:
  void Draw();       // the block, from the cursor down; the cursor ends below it
  void MoveToTop();  // from below the block to its first line, wiped to the end of the screen
  std::string Row(size_t unit) const;

  std::mutex mutex_;
  std::ostream& out_;
  std::ostream& err_;
  const bool terminal_;
  const int columns_;
  std::vector<std::string> labels_;
  std::vector<std::string> units_;
  std::vector<std::string> statuses_;
  size_t labelWidth_ = 0;
  bool drawn_ = false;  // the block stands below everything else written
};
