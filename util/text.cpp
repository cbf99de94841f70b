// SPDX-License-Identifier: MIT
#include "util/text.h"

#include <cstdint>
#include <cstdio>

size_t Utf8SequenceAt(std::string_view text, size_t at) {
  const auto byte = [&](size_t i) { return static_cast<uint8_t>(text[at + i]); };
  const uint8_t lead = byte(0);
  if (lead < 0x80) return 1;
  size_t length = 0;
  uint32_t code = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    code = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    code = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    code = lead & 0x07;
  } else {
    return 0;
  }
  if (at + length > text.size()) return 0;
  for (size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
    code = code << 6 | (byte(i) & 0x3F);
  }
  const bool overlong = (length == 3 && code < 0x800) || (length == 4 && code < 0x10000);
  const bool surrogate = code >= 0xD800 && code <= 0xDFFF;
  if (overlong || surrogate || code > 0x10FFFF) return 0;
  return length;
}

std::string PrintableText(std::string_view text) {
  std::string out;
  for (size_t at = 0; at < text.size();) {
    const size_t length = Utf8SequenceAt(text, at);
    const auto c = static_cast<uint8_t>(text[at]);
    // C1 controls are the two-byte sequences C2 80 to C2 9F.
    const bool c1 = length == 2 && c == 0xC2 && static_cast<uint8_t>(text[at + 1]) < 0xA0;
    if (length > 1 && !c1) {
      out.append(text.substr(at, length));
      at += length;
      continue;
    }
    if (length == 1 && c >= 0x20 && c != 0x7F) {
      out += static_cast<char>(c);
      ++at;
      continue;
    }
    const size_t escaped = c1 ? 2 : 1;
    for (size_t i = 0; i < escaped; ++i) {
      const auto b = static_cast<uint8_t>(text[at + i]);
      switch (b) {
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default: {
          char hex[5];
          std::snprintf(hex, sizeof hex, "\\x%02X", b);
          out += hex;
        }
      }
    }
    at += escaped;
  }
  return out;
}

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
