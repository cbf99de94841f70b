// SPDX-License-Identifier: MIT
// morvix-report: one HTML page from the unit records of any number of
// stations and days.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "report/page.h"
#include "report/summary.h"
#include "report/unit_records.h"

namespace {

constexpr const char* kHelp =
    R"(Usage: morvix-report [OPTION]... -o REPORT.html LOG.jsonl...
Makes one HTML page from the unit records that morvix-fwupdate-cli --log
writes (one JSON object per line, every schema): the totals, the same per
station, model and image, the failures by message with what to do, the
updates per hour, and every unit, newest first, with a filter. The page
needs nothing else: open it in any browser, mail it, archive it.

  --output REPORT.html  the page to write (also -o REPORT.html)
  --title TEXT          the page's heading (default: "Firmware updates")
  --since DATE          leave out records before DATE: 2026-03-14 or 2026-03-14T06:00:00Z (UTC)
  --until DATE          leave out records after DATE; a day as DATE is included whole
  --help                show this text
  --version             show the version

A line that is not a record is counted and named on the page. Exit status:
0 the page was written, 1 a log could not be read or the page not written,
2 a usage error.
)";

// The first lines that are not records, named on the page; the rest counted.
constexpr size_t kBadLinesShown = 50;
constexpr size_t kBadLineText = 160;

int Usage(const std::string& message) {
  std::fprintf(stderr, "morvix-report: %s\nTry 'morvix-report --help'.\n", message.c_str());
  return 2;
}

struct Options {
  std::string output, title = "Firmware updates";
  std::optional<int64_t> since, until;  // the first and the last second kept
  std::string period;
  std::vector<std::string> logs;
};

// Reads every line of `path` into `records`; false when it cannot be read.
bool ReadLog(const std::string& path, const Options& options, UnitRecords& records,
             PageFacts& facts) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  InputFile input{path};
  RecordFields fields;
  std::string scratch, line, chunk(1 << 20, '\0');
  uint64_t number = 0;
  auto take = [&](std::string_view text) {
    ++number;
    if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
    if (text.find_first_not_of(" \t") == std::string_view::npos) return;
    const std::string why = ReadRecordLine(text, fields, scratch);
    if (!why.empty()) {
      ++input.badLines;
      if (facts.badLines.size() < kBadLinesShown) {
        facts.badLines.push_back(
            BadLine{path, number, why, std::string(text.substr(0, kBadLineText))});
      }
      return;
    }
    if ((options.since && fields.time < *options.since) ||
        (options.until && fields.time > *options.until)) {
      ++facts.leftOut;
      return;
    }
    ++input.records;
    records.Add(fields);
  };
  bool ok = true;
  for (;;) {
    const size_t got = std::fread(chunk.data(), 1, chunk.size(), file);
    std::string_view data(chunk.data(), got);
    for (size_t end; (end = data.find('\n')) != std::string_view::npos;) {
      if (line.empty()) {
        take(data.substr(0, end));
      } else {
        line.append(data.substr(0, end));
        take(line);
        line.clear();
      }
      data.remove_prefix(end + 1);
    }
    line.append(data);
    if (got < chunk.size()) {
      ok = std::ferror(file) == 0;
      break;
    }
  }
  // A last line without its end is read all the same: if the station was
  // cut off while writing it, it is no JSON and is named as such.
  if (!line.empty()) take(line);
  std::fclose(file);
  facts.badLineCount += input.badLines;
  facts.files.push_back(std::move(input));
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  std::string since, until;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    std::optional<std::string> inlineValue;
    if (arg.rfind("--", 0) == 0 && arg.find('=') != std::string::npos) {
      inlineValue = arg.substr(arg.find('=') + 1);
      arg.resize(arg.find('='));
    }
    auto value = [&]() -> std::optional<std::string> {
      if (inlineValue) return inlineValue;
      if (i + 1 < argc) return std::string(argv[++i]);
      return std::nullopt;
    };
    if (arg == "--help") {
      std::fputs(kHelp, stdout);
      return 0;
    }
    if (arg == "--version") {
      std::printf("morvix-report %s\n", MORVIX_VERSION);
      return 0;
    }
    if (arg == "-o" || arg == "--output" || arg == "--title" || arg == "--since" ||
        arg == "--until") {
      const auto given = value();
      if (!given) return Usage(arg + " needs a value");
      if (arg == "--title") {
        options.title = *given;
        continue;
      }
      if (arg == "-o" || arg == "--output") {
        options.output = *given;
        continue;
      }
      const auto time = ParseUtcTime(*given);
      if (!time)
        return Usage(arg + " '" + *given +
                     "': give a date (2026-03-14) or a UTC time (2026-03-14T06:00:00Z)");
      if (arg == "--since") {
        options.since = *time;
        since = *given;
      } else {
        // A day alone means the whole of it.
        options.until = given->size() == 10 ? *time + 86399 : *time;
        until = *given;
      }
      continue;
    }
    if (arg.size() > 1 && arg[0] == '-') return Usage("unknown option " + arg);
    options.logs.push_back(arg);
  }
  if (options.output.empty()) return Usage("name the page to write with -o REPORT.html");
  if (options.logs.empty()) return Usage("name the unit records to read (LOG.jsonl...)");
  if (options.since && options.until && *options.since > *options.until) {
    return Usage("--since " + since + " is after --until " + until);
  }
  if (!since.empty()) options.period = "since " + since;
  if (!until.empty()) options.period += (since.empty() ? "until " : ", until ") + until;

  UnitRecords records;
  PageFacts facts;
  facts.title = options.title;
  facts.period = options.period;
  facts.made = UtcText(std::chrono::duration_cast<std::chrono::seconds>(
                           std::chrono::system_clock::now().time_since_epoch())
                           .count())
                   .substr(0, 16);
  for (const std::string& log : options.logs) {
    if (!ReadLog(log, options, records, facts)) {
      std::fprintf(stderr, "morvix-report: cannot read %s: %s\n", log.c_str(),
                   std::strerror(errno));
      return 1;
    }
  }
  Summary summary = Summarise(records);

  // Written beside the page and renamed over it at the end, so that a
  // browser or a mail never gets half a page.
  const std::string part = options.output + ".part";
  std::FILE* file = std::fopen(part.c_str(), "wb");
  if (file == nullptr) {
    std::fprintf(stderr, "morvix-report: cannot write %s: %s\n", part.c_str(),
                 std::strerror(errno));
    return 1;
  }
  const bool written = WritePage(file, records, summary, facts);
  const bool closed = std::fclose(file) == 0;
  std::error_code error;
  if (written && closed) std::filesystem::rename(part, options.output, error);
  if (!written || !closed || error) {
    std::fprintf(stderr, "morvix-report: cannot write %s\n", options.output.c_str());
    std::filesystem::remove(part, error);
    return 1;
  }
  std::fprintf(stderr,
               "morvix-report: %s: %llu unit record(s), %llu line(s) that are not records\n",
               options.output.c_str(), static_cast<unsigned long long>(summary.total.units),
               static_cast<unsigned long long>(facts.badLineCount));
  return 0;
}
