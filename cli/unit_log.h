// The record a production line keeps of every unit it updated (--log): one
// JSON object per line, appended, so that a day's or a year's records are one
// file that jq and a spreadsheet read.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "burn/diagnosis.h"

struct UnitRecord {
  std::chrono::system_clock::time_point time;  // when the unit's update ended
  std::string unit;                            // its port or USB location
  std::string serial;                          // a USB PLC's serial number; empty when unknown
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
  Diagnosis diagnosis;           // why it failed, and what to do
  std::optional<bool> verified;  // --verify's verdict; empty without --verify
};

// The record as its line, without the line end.
std::string RecordLine(const UnitRecord& record);
// "2026-03-14T10:15:00Z".
std::string UtcIsoTime(std::chrono::system_clock::time_point time);

class UnitLog {
 public:
  // nullptr when the file cannot be opened for appending.
  static std::unique_ptr<UnitLog> Open(const std::string& path);
  ~UnitLog();
  UnitLog(const UnitLog&) = delete;
  UnitLog& operator=(const UnitLog&) = delete;

  // Writes the record's line whole, in one write, never interleaved with
  // another unit's; false when it could not be written.
  bool Append(const UnitRecord& record);

 private:
  explicit UnitLog(std::FILE* file) : file_(file) {}
  std::mutex mutex_;
  std::FILE* file_;
};
