// SPDX-License-Identifier: MIT
// The report as one HTML file that needs nothing else: its style, its hour
// chart (SVG) and the unit table's filter are inside it, and every text from
// the records is escaped, so that a label or a file name is shown, never run.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "report/summary.h"
#include "report/unit_records.h"

struct InputFile {
  std::string name;
  uint64_t records = 0, badLines = 0;
};

struct PageFacts {
  std::string title;
  std::string made;      // when the report was made, as UTC text
  std::string period;    // "since 2026-12-01, until 2026-12-07"; empty without --since/--until
  uint64_t leftOut = 0;  // records outside that period
  std::vector<InputFile> files;
  std::vector<BadLine> badLines;  // the first ones
  uint64_t badLineCount = 0;
};

// `text` for an HTML text node or a quoted attribute value: markup
// characters become references, and control characters and bytes that are
// no UTF-8 become U+FFFD, so that any record gives a well-formed page.
void AppendHtml(std::string& out, std::string_view text);

// Writes the page; false when the file could not be written.
bool WritePage(std::FILE* file, const UnitRecords& records, Summary& summary,
               const PageFacts& facts);
