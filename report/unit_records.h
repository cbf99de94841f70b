// SPDX-License-Identifier: MIT
// Reading the unit records that morvix-fwupdate-cli --log writes (one JSON
// object per line, of every schema it has written), as the report needs
// them. A year of a busy line is a million records: they are kept compact,
// the repeated texts (stations, ports, models, images, messages) once each.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

enum class Outcome : uint8_t { kSuccess, kFailure, kInterrupted };

// One line read: views into the reader's buffer, valid until the next line.
struct RecordFields {
  int64_t time = 0;  // seconds since 1970-01-01 UTC
  std::optional<double> seconds;
  Outcome outcome = Outcome::kSuccess;
  std::optional<bool> verified;  // present only where --verify was on
  std::string_view host, unit, label, serial, model, image, sha256, message, reason, hint;
};

// Reads one line into `fields`; on failure returns why the line is not a
// record ("not JSON", "no time", ...), else an empty string. `scratch` holds
// the decoded texts the views point into.
std::string ReadRecordLine(std::string_view line, RecordFields& fields, std::string& scratch);

// "2026-03-14T10:15:00Z" (seconds and the Z may be left out) or
// "2026-03-14" as seconds since 1970 UTC.
std::optional<int64_t> ParseUtcTime(std::string_view text);
// "2026-03-14 10:15:00".
std::string UtcText(int64_t time);

// Texts that repeat, each kept once and named by its number.
class TextPool {
 public:
  uint32_t Add(std::string_view text);
  std::string_view operator[](uint32_t id) const { return texts_[id]; }

 private:
  std::deque<std::string> texts_;  // a deque never moves its strings: ids_ views them
  std::unordered_map<std::string_view, uint32_t> ids_;
};

struct UnitRow {
  int64_t time;
  float seconds;  // negative when the record had none
  Outcome outcome;
  int8_t verified;  // -1 not checked, 0 not verified, 1 verified
  uint32_t host, unit, model, image, sha256, message, reason, hint;  // in the pool
  uint32_t label, serial;  // offsets of NUL-ended texts in the arena; 0 is the empty text
};

// A line that is not a record, named in the report.
struct BadLine {
  std::string file;
  uint64_t line;
  std::string why;
  std::string text;  // its beginning
};

class UnitRecords {
 public:
  UnitRecords();
  void Add(const RecordFields& fields);
  const std::vector<UnitRow>& rows() const { return rows_; }
  std::string_view Text(uint32_t id) const { return pool_[id]; }
  std::string_view Unique(uint32_t offset) const { return arena_.data() + offset; }

 private:
  uint32_t Keep(std::string_view text);
  std::vector<UnitRow> rows_;
  TextPool pool_;
  std::string arena_;
};
