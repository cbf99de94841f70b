// SPDX-License-Identifier: MIT
// The record a production line keeps of every unit it updated (--log): one
// JSON object per line, appended, so that a day's or a year's records are one
// file that jq and a spreadsheet read.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "burn/diagnosis.h"
#include "util/text.h"

struct UnitRecord {
  std::chrono::system_clock::time_point time;  // when the unit's update ended
  std::string host;                            // the station that wrote it
  std::string unit;                            // its port or USB location
  std::string label;                           // the operator's label of the unit; empty: none
  // A USB PLC's serial number: the one seen after the replug when the device
  // reported one there, else the one seen before; empty when unknown.
  std::string serial;
  // After a replug: the serial number the device reported then, empty when
  // it reported none (written as null). Not set when no replug was reached.
  std::optional<std::string> serialAfterReplug;
  std::string model;
  std::string image;  // as given: the file's path, or the built-in image's name
  uint64_t size = 0;
  std::string sha256;   // empty for an image too large to be read
  std::string outcome;  // "success", "failure" or "interrupted"
  std::string caption;  // of the final message
  std::string message;
  int exitStatus = 0;  // what the unit alone would have ended the program with
  double seconds = 0;
  int32_t errCounter = 0;  // the retry counters as the update ended
  int32_t totalErrCounter = 0;
  Diagnosis diagnosis;  // why it failed, and what to do
  // Whether the PLC confirmed what it holds; set only when verification was asked for.
  std::optional<bool> verified;
};

// A text member of a record is cut to this many bytes (and the record names
// it in "capped"), so that a record stays small enough to go out in one write.
inline constexpr size_t kRecordFieldLimit = 1024;

// The record as its line, without the line end.
std::string RecordLine(const UnitRecord& record);

class UnitLog {
 public:
  // nullptr when the file cannot be opened for appending.
  static std::unique_ptr<UnitLog> Open(const std::string& path);
  ~UnitLog();
  UnitLog(const UnitLog&) = delete;
  UnitLog& operator=(const UnitLog&) = delete;

  // Writes the record's line whole, in one write at the end of the file,
  // never interleaved with another unit's or another program's; false when
  // it could not be written whole.
  bool Append(const UnitRecord& record);

 private:
  explicit UnitLog(intptr_t file) : file_(file) {}
  std::mutex mutex_;
  intptr_t file_;
};

// Platform pieces: a file opened so that every write lands whole at its end
// (O_APPEND, FILE_APPEND_DATA), -1 when it does not open; one write of
// `line`, true when all of it was written.
intptr_t OpenForAppending(const std::string& path);
bool WriteOnce(intptr_t file, const std::string& line);
void CloseAppending(intptr_t file);
