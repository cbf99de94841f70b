// SPDX-License-Identifier: MIT
#include "report/summary.h"

#include <algorithm>
#include <cmath>
#include <numeric>

void Tally::Count(const UnitRow& row) {
  first = units == 0 ? row.time : std::min(first, row.time);
  last = units == 0 ? row.time : std::max(last, row.time);
  ++units;
  switch (row.outcome) {
    case Outcome::kSuccess:
      ++succeeded;
      if (row.seconds >= 0) durations.push_back(row.seconds);
      break;
    case Outcome::kFailure: ++failed; break;
    case Outcome::kInterrupted: ++interrupted; break;
  }
  // A unit that was not written was not checked either, whatever its
  // record says: only a written unit counts as verified or not.
  const bool written = row.outcome == Outcome::kSuccess;
  verified += written && row.verified == 1 ? 1 : 0;
  notVerified += written && row.verified == 0 ? 1 : 0;
}

Durations DurationsOf(std::vector<float>& durations) {
  Durations result;
  const size_t n = durations.size();
  if (n == 0) return result;
  auto at = [&](size_t rank) {
    std::nth_element(durations.begin(), durations.begin() + static_cast<std::ptrdiff_t>(rank),
                     durations.end());
    return static_cast<double>(durations[rank]);
  };
  result.median = (at((n - 1) / 2) + at(n / 2)) / 2;
  result.p95 = at(static_cast<size_t>(std::ceil(0.95 * static_cast<double>(n))) - 1);
  return result;
}

Summary Summarise(const UnitRecords& records) {
  Summary summary;
  const std::vector<UnitRow>& rows = records.rows();
  std::map<std::pair<uint32_t, uint32_t>, FailureKind> failures;
  for (const UnitRow& row : rows) {
    summary.total.Count(row);
    summary.byHost[row.host].Count(row);
    summary.byModel[row.model].Count(row);
    summary.byImage[{row.image, row.sha256}].Count(row);
    if (row.outcome != Outcome::kFailure) continue;
    FailureKind& kind = failures[{row.message, row.reason}];
    kind.message = row.message;
    kind.reason = row.reason;
    ++kind.units;
    if (row.hint != 0 && row.time >= kind.last) kind.hint = row.hint;
    kind.last = std::max(kind.last, row.time);
    if (std::find(kind.hosts.begin(), kind.hosts.end(), row.host) == kind.hosts.end()) {
      kind.hosts.push_back(row.host);
    }
  }
  for (auto& [key, kind] : failures) {
    std::sort(kind.hosts.begin(), kind.hosts.end(),
              [&](uint32_t a, uint32_t b) { return records.Text(a) < records.Text(b); });
    summary.failures.push_back(std::move(kind));
  }
  std::stable_sort(summary.failures.begin(), summary.failures.end(),
                   [](const FailureKind& a, const FailureKind& b) { return a.units > b.units; });

  if (!rows.empty()) {
    // Hours, so that a stop of the line shows; days, weeks or months for
    // longer spans, so that the chart stays readable (and small, should one
    // record carry a wild time).
    const int64_t span = summary.total.last - summary.total.first;
    summary.barSeconds = 3600;
    for (const int64_t size : {int64_t{86400}, int64_t{7 * 86400}, int64_t{30 * 86400}}) {
      if (span / summary.barSeconds < kMostHourBars) break;
      summary.barSeconds = size;
    }
    if (span / summary.barSeconds >= kMostHourBars) summary.barSeconds = span / kMostHourBars + 1;
    auto barOf = [&](int64_t time) {
      // Floor division: a time before 1970 still falls in its own bar.
      const int64_t q = time / summary.barSeconds;
      return q - (time % summary.barSeconds < 0 ? 1 : 0);
    };
    const int64_t firstBar = barOf(summary.total.first);
    summary.firstBar = firstBar * summary.barSeconds;
    summary.bars.resize(static_cast<size_t>(barOf(summary.total.last) - firstBar + 1));
    for (const UnitRow& row : rows) {
      HourBar& bar = summary.bars[static_cast<size_t>(barOf(row.time) - firstBar)];
      (row.outcome == Outcome::kSuccess   ? bar.succeeded
       : row.outcome == Outcome::kFailure ? bar.failed
                                          : bar.interrupted) += 1;
    }
  }

  summary.newestFirst.resize(rows.size());
  std::iota(summary.newestFirst.begin(), summary.newestFirst.end(), 0u);
  // Of two records of the same second, the one read later is newer.
  std::sort(summary.newestFirst.begin(), summary.newestFirst.end(), [&](uint32_t a, uint32_t b) {
    return rows[a].time != rows[b].time ? rows[a].time > rows[b].time : a > b;
  });
  return summary;
}
