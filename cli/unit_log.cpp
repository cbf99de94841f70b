#include "cli/unit_log.h"

#include <cstdio>

#include "util/json_text.h"

namespace {

// Larger than any record, so that a line leaves the buffer in one write:
// the file is opened for appending, and each write lands whole at its end,
// also beside another program appending to the same file.
constexpr size_t kLineBuffer = 64 * 1024;

}  // namespace

std::string UtcIsoTime(std::chrono::system_clock::time_point time) {
  using namespace std::chrono;
  const auto day = floor<days>(time);
  const year_month_day date{day};
  const hh_mm_ss<seconds> clock{floor<seconds>(time - day)};
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
                static_cast<int>(clock.seconds().count()));
  return text;
}

std::string RecordLine(const UnitRecord& record) {
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.1f", record.seconds);
  std::string line =
      "{\"time\":" + JsonString(UtcIsoTime(record.time)) + ",\"unit\":" + JsonString(record.unit);
  if (!record.serial.empty()) line += ",\"serial\":" + JsonString(record.serial);
  line += ",\"model\":" + JsonString(record.model) + ",\"image\":" + JsonString(record.image) +
          ",\"size\":" + std::to_string(record.size);
  if (!record.sha256.empty()) line += ",\"sha256\":" + JsonString(record.sha256);
  line += ",\"outcome\":" + JsonString(record.outcome) +
          ",\"caption\":" + JsonString(record.caption) +
          ",\"message\":" + JsonString(record.message) +
          ",\"exit\":" + std::to_string(record.exitStatus) + ",\"seconds\":" + seconds +
          ",\"errCounter\":" + std::to_string(record.errCounter) +
          ",\"totalErrCounter\":" + std::to_string(record.totalErrCounter);
  const Diagnosis& diagnosis = record.diagnosis;
  if (!diagnosis.reason.empty()) line += ",\"reason\":" + JsonString(diagnosis.reason);
  if (!diagnosis.hint.empty()) line += ",\"hint\":" + JsonString(diagnosis.hint);
  if (diagnosis.reportedCode) {
    line += ",\"reportedCode\":" + std::to_string(*diagnosis.reportedCode);
  }
  if (record.verified)
    line += std::string(",\"verified\":") + (*record.verified ? "true" : "false");
  return line + "}";
}

std::unique_ptr<UnitLog> UnitLog::Open(const std::string& path) {
  // Binary: a line ends in "\n" on Windows too.
  std::FILE* file = std::fopen(path.c_str(), "ab");
  if (file == nullptr) return nullptr;
  std::setvbuf(file, nullptr, _IOFBF, kLineBuffer);
  return std::unique_ptr<UnitLog>(new UnitLog(file));
}

UnitLog::~UnitLog() { std::fclose(file_); }

bool UnitLog::Append(const UnitRecord& record) {
  const std::string line = RecordLine(record) + "\n";
  std::lock_guard<std::mutex> lock(mutex_);
  const bool written = std::fwrite(line.data(), 1, line.size(), file_) == line.size();
  return std::fflush(file_) == 0 && written;
}
