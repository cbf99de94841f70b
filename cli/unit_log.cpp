// SPDX-License-Identifier: MIT
#include "cli/unit_log.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "util/json_text.h"
#include "util/text.h"

namespace {

// Texts from outside (a port's or a file's name, a label, the PLC's words)
// cut to the limit at a character's start; `capped` names those that were.
class Capper {
 public:
  std::string operator()(const char* name, const std::string& text) {
    if (text.size() <= kRecordFieldLimit) return JsonString(text);
    size_t end = 0;
    for (size_t length; end < text.size(); end += length) {
      length = std::max<size_t>(Utf8SequenceAt(text, end), 1);
      if (end + length > kRecordFieldLimit) break;
    }
    capped_.emplace_back(name);
    return JsonString(text.substr(0, end));
  }
  std::string Members() const {
    if (capped_.empty()) return "";
    std::string names;
    for (const std::string& name : capped_) names += (names.empty() ? "" : ",") + JsonString(name);
    return ",\"capped\":[" + names + "]";
  }

 private:
  std::vector<std::string> capped_;
};

}  // namespace

std::string RecordLine(const UnitRecord& record) {
  Capper cap;
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.1f", record.seconds);
  std::string line = "{\"time\":" + JsonString(UtcIsoTime(record.time)) +
                     ",\"host\":" + cap("host", record.host) +
                     ",\"unit\":" + cap("unit", record.unit);
  if (!record.label.empty()) line += ",\"label\":" + cap("label", record.label);
  if (!record.serial.empty()) line += ",\"serial\":" + cap("serial", record.serial);
  if (record.serialAfterReplug) {
    line += ",\"serialAfterReplug\":" + (record.serialAfterReplug->empty()
                                             ? std::string("null")
                                             : cap("serialAfterReplug", *record.serialAfterReplug));
  }
  line += ",\"model\":" + JsonString(record.model) + ",\"image\":" + cap("image", record.image) +
          ",\"size\":" + std::to_string(record.size);
  if (!record.sha256.empty()) line += ",\"sha256\":" + JsonString(record.sha256);
  line += ",\"outcome\":" + JsonString(record.outcome) +
          ",\"caption\":" + cap("caption", record.caption) +
          ",\"message\":" + cap("message", record.message) +
          ",\"exit\":" + std::to_string(record.exitStatus) + ",\"seconds\":" + seconds +
          ",\"errCounter\":" + std::to_string(record.errCounter) +
          ",\"totalErrCounter\":" + std::to_string(record.totalErrCounter);
  if (record.verified)
    line += std::string(",\"verified\":") + (*record.verified ? "true" : "false");
  const Diagnosis& diagnosis = record.diagnosis;
  if (!diagnosis.reason.empty()) line += ",\"reason\":" + cap("reason", diagnosis.reason);
  if (!diagnosis.hint.empty()) line += ",\"hint\":" + cap("hint", diagnosis.hint);
  if (diagnosis.reportedCode) {
    line += ",\"reportedCode\":" + std::to_string(*diagnosis.reportedCode);
  }
  return line + cap.Members() + "}";
}

std::unique_ptr<UnitLog> UnitLog::Open(const std::string& path) {
  const intptr_t file = OpenForAppending(path);
  if (file == -1) return nullptr;
  return std::unique_ptr<UnitLog>(new UnitLog(file));
}

UnitLog::~UnitLog() { CloseAppending(file_); }

bool UnitLog::Append(const UnitRecord& record) {
  // "\n" on Windows too: the file is written as bytes.
  const std::string line = RecordLine(record) + "\n";
  std::lock_guard<std::mutex> lock(mutex_);
  return WriteOnce(file_, line);
}
