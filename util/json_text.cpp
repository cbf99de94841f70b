// SPDX-License-Identifier: MIT
#include "util/json_text.h"

#include <cstdint>
#include <cstdio>

#include "util/text.h"

std::string JsonString(std::string_view bytes) {
  std::string out = "\"";
  auto escape = [&out](unsigned code) {
    char escaped[8];
    std::snprintf(escaped, sizeof escaped, "\\u%04x", code);
    out += escaped;
  };
  for (size_t at = 0; at < bytes.size();) {
    const size_t length = Utf8SequenceAt(bytes, at);
    const auto c = static_cast<uint8_t>(bytes[at]);
    if (length == 0) {
      escape(0xDC00 + c);
      ++at;
      continue;
    }
    if (length > 1) {
      out.append(bytes.substr(at, length));
      at += length;
      continue;
    }
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          escape(c);
        } else {
          out += static_cast<char>(c);
        }
    }
    ++at;
  }
  return out + "\"";
}
