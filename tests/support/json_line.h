// SPDX-License-Identifier: MIT
// A strict reader for JSON output: a line of the command line's events, or
// the simulator's report, must hold exactly one object and nothing else.
// Its members come back as text (strings unescaped, other values as
// written), enough for a test to check them without a JSON library.
#pragma once

#include <cctype>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace json_line {

class Reader {
 public:
  explicit Reader(const std::string& text) : text_(text) {}

  std::optional<std::map<std::string, std::string>> Object() {
    std::map<std::string, std::string> members;
    if (!Take('{')) return std::nullopt;
    if (Take('}')) return members;
    do {
      std::string name;
      std::string value;
      if (!String(name) || !Take(':') || !Value(value)) return std::nullopt;
      if (members.count(name) != 0) return std::nullopt;
      members[name] = value;
    } while (Take(','));
    if (!Take('}')) return std::nullopt;
    return members;
  }

  // The elements of an array, each as Value gives it.
  std::optional<std::vector<std::string>> Elements() {
    std::vector<std::string> elements;
    if (!Take('[')) return std::nullopt;
    if (Take(']')) return elements;
    do {
      std::string element;
      if (!Value(element)) return std::nullopt;
      elements.push_back(element);
    } while (Take(','));
    if (!Take(']')) return std::nullopt;
    return elements;
  }

  bool AtEnd() {
    SkipSpace();
    return pos_ == text_.size();
  }

 private:
  void SkipSpace() {
    while (pos_ < text_.size() &&
           std::string_view(" \t\r\n").find(text_[pos_]) != std::string_view::npos) {
      ++pos_;
    }
  }
  bool Take(char c) {
    SkipSpace();
    if (pos_ < text_.size() && text_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }
  bool String(std::string& out) {
    if (!Take('"')) return false;
    while (pos_ < text_.size()) {
      const char c = text_[pos_++];
      if (c == '"') return true;
      if (static_cast<unsigned char>(c) < 0x20) return false;
      if (c != '\\') {
        out += c;
        continue;
      }
      if (pos_ >= text_.size()) return false;
      const char e = text_[pos_++];
      switch (e) {
        case '"': out += '"'; break;
        case '\\': out += '\\'; break;
        case '/': out += '/'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': {
          if (pos_ + 4 > text_.size()) return false;
          unsigned code = 0;
          for (int i = 0; i < 4; ++i) {
            const char h = text_[pos_++];
            if (!std::isxdigit(static_cast<unsigned char>(h))) return false;
            code = code * 16 + static_cast<unsigned>(std::isdigit(static_cast<unsigned char>(h))
                                                         ? h - '0'
                                                         : std::tolower(h) - 'a' + 10);
          }
          // A lone surrogate U+DC80..U+DCFF stands for a byte that was no
          // UTF-8 (surrogateescape); every other code point is put back as
          // UTF-8. Pairs of surrogates are not written by the program.
          if (code >= 0xDC80 && code <= 0xDCFF) {
            out += static_cast<char>(code - 0xDC00);
          } else if (code >= 0xD800 && code <= 0xDFFF) {
            return false;
          } else if (code < 0x80) {
            out += static_cast<char>(code);
          } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | code >> 6);
            out += static_cast<char>(0x80 | (code & 0x3F));
          } else {
            out += static_cast<char>(0xE0 | code >> 12);
            out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
          }
          break;
        }
        default: return false;
      }
    }
    return false;
  }
  bool Value(std::string& out) {
    SkipSpace();
    if (pos_ >= text_.size()) return false;
    const char c = text_[pos_];
    if (c == '"') return String(out);
    if (c == '{' || c == '[') {
      const size_t start = pos_;
      if (!(c == '{' ? Object().has_value() : Array())) return false;
      out = text_.substr(start, pos_ - start);
      return true;
    }
    for (const char* word : {"true", "false", "null"}) {
      if (text_.compare(pos_, std::string(word).size(), word) == 0) {
        out = word;
        pos_ += out.size();
        return true;
      }
    }
    // A number: -?digits(.digits)?([eE][+-]?digits)?
    const size_t start = pos_;
    if (text_[pos_] == '-') ++pos_;
    const auto digits = [&] {
      const size_t from = pos_;
      while (pos_ < text_.size() && std::isdigit(static_cast<unsigned char>(text_[pos_]))) ++pos_;
      return pos_ > from;
    };
    if (!digits()) return false;
    if (pos_ < text_.size() && text_[pos_] == '.') {
      ++pos_;
      if (!digits()) return false;
    }
    if (pos_ < text_.size() && (text_[pos_] == 'e' || text_[pos_] == 'E')) {
      ++pos_;
      if (pos_ < text_.size() && (text_[pos_] == '+' || text_[pos_] == '-')) ++pos_;
      if (!digits()) return false;
    }
    out = text_.substr(start, pos_ - start);
    return true;
  }

  bool Array() {
    if (!Take('[')) return false;
    if (Take(']')) return true;
    std::string element;
    do {
      if (!Value(element)) return false;
    } while (Take(','));
    return Take(']');
  }

  const std::string& text_;
  size_t pos_ = 0;
};

// Whether `text` is one JSON object and nothing else (spaces and line ends aside).
inline bool IsJsonObject(const std::string& text) {
  Reader reader(text);
  return reader.Object().has_value() && reader.AtEnd();
}

// The members of the one object on `line`; empty when the line is anything
// else (no object, trailing text, malformed JSON).
inline std::optional<std::map<std::string, std::string>> ParseObjectLine(const std::string& line) {
  Reader reader(line);
  auto object = reader.Object();
  if (!object || !reader.AtEnd()) return std::nullopt;
  return object;
}

// The elements of the array `text` (a member's value as ParseObjectLine gives
// it); empty when it is anything else.
inline std::optional<std::vector<std::string>> ParseArray(const std::string& text) {
  Reader reader(text);
  auto elements = reader.Elements();
  if (!elements || !reader.AtEnd()) return std::nullopt;
  return elements;
}

}  // namespace json_line
