// SPDX-License-Identifier: MIT
#include "report/unit_records.h"

#include <charconv>
#include <chrono>
#include <cstdio>

#include "util/text.h"

namespace {

// A JSON reader for one line: an object whose members the report reads are
// strings, numbers and booleans; anything else (members of later schemas,
// nested values) is stepped over.
class LineReader {
 public:
  LineReader(std::string_view line, std::string& scratch) : text_(line), scratch_(scratch) {}

  bool AtEnd() {
    SkipBlanks();
    return at_ == text_.size();
  }
  bool Take(char c) {
    SkipBlanks();
    if (at_ < text_.size() && text_[at_] == c) {
      ++at_;
      return true;
    }
    return false;
  }
  char Peek() {
    SkipBlanks();
    return at_ < text_.size() ? text_[at_] : '\0';
  }

  // A string's decoded text, appended to the scratch buffer: its offset and
  // length there.
  bool String(size_t& offset, size_t& length) {
    if (!Take('"')) return false;
    offset = scratch_.size();
    while (at_ < text_.size()) {
      // Most of a record is plain text: copied in runs.
      size_t plain = at_;
      while (plain < text_.size() && text_[plain] != '"' && text_[plain] != '\\' &&
             static_cast<unsigned char>(text_[plain]) >= 0x20) {
        ++plain;
      }
      scratch_.append(text_.substr(at_, plain - at_));
      at_ = plain;
      if (at_ == text_.size()) break;
      const char c = text_[at_++];
      if (c == '"') {
        length = scratch_.size() - offset;
        return true;
      }
      if (static_cast<unsigned char>(c) < 0x20) return false;
      if (c != '\\') {
        scratch_ += c;
        continue;
      }
      if (at_ == text_.size()) return false;
      switch (const char e = text_[at_++]) {
        case '"':
        case '\\':
        case '/': scratch_ += e; break;
        case 'b': scratch_ += '\b'; break;
        case 'f': scratch_ += '\f'; break;
        case 'n': scratch_ += '\n'; break;
        case 'r': scratch_ += '\r'; break;
        case 't': scratch_ += '\t'; break;
        case 'u': {
          uint32_t code = 0;
          if (!Hex4(code)) return false;
          if (code >= 0xD800 && code <= 0xDBFF && text_.substr(at_, 2) == "\\u") {
            const size_t back = at_;
            at_ += 2;
            uint32_t low = 0;
            if (Hex4(low) && low >= 0xDC00 && low <= 0xDFFF) {
              code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
            } else {
              at_ = back;
            }
          }
          // A lone surrogate is how the command line writes a byte that was
          // no UTF-8 (a file name's); NUL would end a kept text early.
          if ((code >= 0xD800 && code <= 0xDFFF) || code == 0) code = 0xFFFD;
          AppendUtf8(code);
          break;
        }
        default: return false;
      }
    }
    return false;
  }

  bool Number(double& value) {
    SkipBlanks();
    const char* begin = text_.data() + at_;
    const char* end = text_.data() + text_.size();
    const auto [stop, error] = std::from_chars(begin, end, value);
    if (error != std::errc() || stop == begin) return false;
    at_ += static_cast<size_t>(stop - begin);
    return true;
  }

  bool Word(std::string_view word) {
    SkipBlanks();
    if (text_.substr(at_, word.size()) != word) return false;
    at_ += word.size();
    return true;
  }

  // Any value, read and forgotten: nested objects and arrays of later
  // schemas included.
  bool SkipValue(int depth = 0) {
    if (depth > 64) return false;
    const char c = Peek();
    if (c == '"') {
      const size_t mark = scratch_.size();
      size_t offset = 0, length = 0;
      const bool ok = String(offset, length);
      scratch_.resize(mark);
      return ok;
    }
    if (c == '{' || c == '[') {
      const char close = c == '{' ? '}' : ']';
      ++at_;
      if (Take(close)) return true;
      do {
        if (c == '{') {
          const size_t mark = scratch_.size();
          size_t offset = 0, length = 0;
          const bool key = String(offset, length);
          scratch_.resize(mark);
          if (!key || !Take(':')) return false;
        }
        if (!SkipValue(depth + 1)) return false;
      } while (Take(','));
      return Take(close);
    }
    if (Word("true") || Word("false") || Word("null")) return true;
    double ignored = 0;
    return Number(ignored);
  }

 private:
  void SkipBlanks() {
    while (at_ < text_.size() &&
           (text_[at_] == ' ' || text_[at_] == '\t' || text_[at_] == '\r' || text_[at_] == '\n')) {
      ++at_;
    }
  }
  bool Hex4(uint32_t& code) {
    if (at_ + 4 > text_.size()) return false;
    const auto [stop, error] =
        std::from_chars(text_.data() + at_, text_.data() + at_ + 4, code, 16);
    if (error != std::errc() || stop != text_.data() + at_ + 4) return false;
    at_ += 4;
    return true;
  }
  void AppendUtf8(uint32_t code) {
    if (code < 0x80) {
      scratch_ += static_cast<char>(code);
    } else if (code < 0x800) {
      scratch_ += static_cast<char>(0xC0 | code >> 6);
      scratch_ += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
      scratch_ += static_cast<char>(0xE0 | code >> 12);
      scratch_ += static_cast<char>(0x80 | (code >> 6 & 0x3F));
      scratch_ += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      scratch_ += static_cast<char>(0xF0 | code >> 18);
      scratch_ += static_cast<char>(0x80 | (code >> 12 & 0x3F));
      scratch_ += static_cast<char>(0x80 | (code >> 6 & 0x3F));
      scratch_ += static_cast<char>(0x80 | (code & 0x3F));
    }
  }

  std::string_view text_;
  size_t at_ = 0;
  std::string& scratch_;
};

// Where a member's text goes: its offset and length in the scratch buffer,
// made views once the whole line is read (the buffer may grow meanwhile).
struct Span {
  size_t offset = 0, length = 0;
  bool present = false;
};

bool Digits(std::string_view text, size_t at, size_t count, int& value) {
  if (at + count > text.size()) return false;
  const auto [stop, error] = std::from_chars(text.data() + at, text.data() + at + count, value);
  return error == std::errc() && stop == text.data() + at + count;
}

}  // namespace

std::optional<int64_t> ParseUtcTime(std::string_view text) {
  using namespace std::chrono;
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
  if (text.size() < 10 || !Digits(text, 0, 4, y) || text[4] != '-' || !Digits(text, 5, 2, mo) ||
      text[7] != '-' || !Digits(text, 8, 2, d)) {
    return std::nullopt;
  }
  std::string_view rest = text.substr(10);
  if (!rest.empty()) {
    if (rest.size() < 6 || (rest[0] != 'T' && rest[0] != ' ') || !Digits(rest, 1, 2, h) ||
        rest[3] != ':' || !Digits(rest, 4, 2, mi)) {
      return std::nullopt;
    }
    rest.remove_prefix(6);
    if (!rest.empty() && rest[0] == ':') {
      if (!Digits(rest, 1, 2, s)) return std::nullopt;
      rest.remove_prefix(3);
    }
    if (rest == "Z") rest.remove_prefix(1);
    if (!rest.empty() || h > 23 || mi > 59 || s > 60) return std::nullopt;
  }
  const year_month_day date{year{y}, month{static_cast<unsigned>(mo)},
                            day{static_cast<unsigned>(d)}};
  if (!date.ok()) return std::nullopt;
  return sys_days{date}.time_since_epoch() / seconds(1) + h * 3600 + mi * 60 + s;
}

std::string UtcText(int64_t time) {
  // "2026-12-08 06:27:00": the ISO form with a blank for the T, no Z.
  std::string text = UtcIsoTime(std::chrono::sys_seconds(std::chrono::seconds(time)));
  text[10] = ' ';
  text.pop_back();
  return text;
}

std::string ReadRecordLine(std::string_view line, RecordFields& fields, std::string& scratch) {
  scratch.clear();
  LineReader reader(line, scratch);
  if (!reader.Take('{')) return "not a JSON object";
  struct Member {
    std::string_view key;
    Span span;
  };
  // The order of the record's own members; the last four are the newer
  // schemas' and the one assemble-records gives a line it could not read.
  Member texts[] = {{"time", {}},      {"host", {}},    {"unit", {}},   {"label", {}},
                    {"serial", {}},    {"model", {}},   {"image", {}},  {"sha256", {}},
                    {"outcome", {}},   {"message", {}}, {"reason", {}}, {"hint", {}},
                    {"unreadable", {}}};
  enum {
    kTime,
    kHost,
    kUnit,
    kLabel,
    kSerial,
    kModel,
    kImage,
    kSha,
    kOutcome,
    kMessage,
    kReason,
    kHint,
    kUnreadable
  };
  fields.seconds.reset();
  fields.verified.reset();
  if (!reader.Take('}')) {
    do {
      size_t keyOffset = 0, keyLength = 0;
      if (!reader.String(keyOffset, keyLength) || !reader.Take(':')) return "not JSON";
      const std::string_view key = std::string_view(scratch).substr(keyOffset, keyLength);
      Member* member = nullptr;
      for (Member& m : texts) {
        if (m.key == key) member = &m;
      }
      const bool seconds = key == "seconds", verified = key == "verified";
      scratch.resize(keyOffset);  // the key is no longer needed
      if (member != nullptr && reader.Peek() == '"') {
        if (!reader.String(member->span.offset, member->span.length)) return "not JSON";
        member->span.present = true;
      } else if (seconds &&
                 (reader.Peek() == '-' || (reader.Peek() >= '0' && reader.Peek() <= '9'))) {
        double value = 0;
        if (!reader.Number(value)) return "not JSON";
        fields.seconds = value;
      } else if (verified && reader.Peek() != 'n') {
        if (reader.Word("true")) {
          fields.verified = true;
        } else if (reader.Word("false")) {
          fields.verified = false;
        } else if (!reader.SkipValue()) {
          return "not JSON";
        }
      } else if (!reader.SkipValue()) {
        return "not JSON";
      }
    } while (reader.Take(','));
    if (!reader.Take('}')) return "not JSON";
  }
  if (!reader.AtEnd()) return "not JSON";

  auto view = [&](int which) {
    const Span& span = texts[which].span;
    return std::string_view(scratch).substr(span.offset, span.length);
  };
  if (texts[kUnreadable].span.present) return "cut short or garbled on the station";
  if (!texts[kTime].span.present) return "no time";
  const auto time = ParseUtcTime(view(kTime));
  if (!time) return "time '" + std::string(view(kTime)) + "' is not a UTC time";
  fields.time = *time;
  const std::string_view outcome = view(kOutcome);
  if (outcome == "success") {
    fields.outcome = Outcome::kSuccess;
  } else if (outcome == "failure") {
    fields.outcome = Outcome::kFailure;
  } else if (outcome == "interrupted") {
    fields.outcome = Outcome::kInterrupted;
  } else if (!texts[kOutcome].span.present) {
    return "no outcome";
  } else {
    return "unknown outcome '" + std::string(outcome) + "'";
  }
  fields.host = view(kHost);
  fields.unit = view(kUnit);
  fields.label = view(kLabel);
  fields.serial = view(kSerial);
  fields.model = view(kModel);
  fields.image = view(kImage);
  fields.sha256 = view(kSha);
  fields.message = view(kMessage);
  fields.reason = view(kReason);
  fields.hint = view(kHint);
  return "";
}

uint32_t TextPool::Add(std::string_view text) {
  const auto found = ids_.find(text);
  if (found != ids_.end()) return found->second;
  const auto id = static_cast<uint32_t>(texts_.size());
  texts_.emplace_back(text);
  ids_.emplace(texts_.back(), id);
  return id;
}

UnitRecords::UnitRecords() {
  pool_.Add("");
  arena_.push_back('\0');
}

uint32_t UnitRecords::Keep(std::string_view text) {
  if (text.empty()) return 0;
  const auto offset = static_cast<uint32_t>(arena_.size());
  arena_.append(text);
  arena_.push_back('\0');
  return offset;
}

void UnitRecords::Add(const RecordFields& fields) {
  // An image is named by its file, wherever the station kept it.
  std::string_view image = fields.image;
  const size_t slash = image.find_last_of("/\\");
  if (slash != std::string_view::npos) image.remove_prefix(slash + 1);
  const int8_t verified = fields.verified ? (*fields.verified ? 1 : 0) : -1;
  rows_.push_back(UnitRow{fields.time, fields.seconds ? static_cast<float>(*fields.seconds) : -1.0f,
                          fields.outcome, verified, pool_.Add(fields.host), pool_.Add(fields.unit),
                          pool_.Add(fields.model), pool_.Add(image), pool_.Add(fields.sha256),
                          pool_.Add(fields.message), pool_.Add(fields.reason),
                          pool_.Add(fields.hint), Keep(fields.label), Keep(fields.serial)});
}
