// SPDX-License-Identifier: MIT
// What the report page shows, counted from the records: totals, the same per
// station, model and image, the failures by message and reason, and the
// updates of each hour.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "report/unit_records.h"

struct Tally {
  uint64_t units = 0, succeeded = 0, failed = 0, interrupted = 0;
  uint64_t verified = 0, notVerified = 0;  // of the units checked after writing
  int64_t first = 0, last = 0;
  std::vector<float> durations;  // of the successful updates
  void Count(const UnitRow& row);
};

// The middle and the 95th percentile (nearest rank) of a tally's durations;
// negative when it has none. Reorders them.
struct Durations {
  double median = -1, p95 = -1;
};
Durations DurationsOf(std::vector<float>& durations);

struct FailureKind {
  uint32_t message = 0, reason = 0;
  uint32_t hint = 0;  // the latest record's that had one
  uint64_t units = 0;
  std::vector<uint32_t> hosts;  // the stations it happened on, each once
  int64_t last = 0;
};

struct HourBar {
  uint64_t succeeded = 0, failed = 0, interrupted = 0;
};

struct Summary {
  Tally total;
  // Keyed by pool text ids; images by name and SHA-256.
  std::map<uint32_t, Tally> byHost, byModel;
  std::map<std::pair<uint32_t, uint32_t>, Tally> byImage;
  std::vector<FailureKind> failures;  // the most frequent first
  int64_t firstBar = 0;               // the start of the first bar
  int64_t barSeconds = 3600;          // an hour; longer for records of many weeks
  std::vector<HourBar> bars;          // from the first record's to the last's, empty ones too
  std::vector<uint32_t> newestFirst;  // row numbers
};

// Records spanning more hours than this are charted by day (or longer).
constexpr int64_t kMostHourBars = 24 * 14;

Summary Summarise(const UnitRecords& records);
