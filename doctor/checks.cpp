// SPDX-License-Identifier: MIT
#include "doctor/checks.h"

#include <algorithm>
#include <charconv>
#include <optional>

namespace {

// udev's match patterns: "*" any run of characters, "?" any one.
bool GlobMatches(std::string_view pattern, std::string_view text) {
  if (pattern.empty()) return text.empty();
  if (pattern.front() == '*') {
    for (size_t skip = 0; skip <= text.size(); ++skip) {
      if (GlobMatches(pattern.substr(1), text.substr(skip))) return true;
    }
    return false;
  }
  if (text.empty() || (pattern.front() != '?' && pattern.front() != text.front())) return false;
  return GlobMatches(pattern.substr(1), text.substr(1));
}

// A value with udev's "|" alternatives matches when one of them does.
bool AnyAlternativeMatches(std::string_view alternatives, std::string_view text) {
  size_t start = 0;
  while (true) {
    const size_t bar = alternatives.find('|', start);
    if (GlobMatches(alternatives.substr(start, bar - start), text)) return true;
    if (bar == std::string_view::npos) return false;
    start = bar + 1;
  }
}

std::string_view Trimmed(std::string_view text) {
  const size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// One "KEY{attr}OP\"value\"" of a rule line.
struct RuleToken {
  std::string_view key;  // "ATTRS{idVendor}"
  std::string_view op;   // "==", "!=", "=", "+=", ":="
  std::string_view value;
};

// The tokens of one rule line, split at the commas outside quotes; a token
// that does not parse is left out.
std::vector<RuleToken> Tokens(std::string_view line) {
  std::vector<RuleToken> tokens;
  bool quoted = false;
  size_t start = 0;
  for (size_t i = 0; i <= line.size(); ++i) {
    if (i < line.size() && line[i] == '"') quoted = !quoted;
    if (i < line.size() && (quoted || line[i] != ',')) continue;
    const std::string_view token = Trimmed(line.substr(start, i - start));
    start = i + 1;
    const size_t op = token.find_first_of("=!+:-");
    const size_t open = token.find('"');
    if (op == std::string_view::npos || open == std::string_view::npos || open < op ||
        token.back() != '"' || open + 1 > token.size() - 1) {
      continue;
    }
    tokens.push_back({Trimmed(token.substr(0, op)), Trimmed(token.substr(op, open - op)),
                      token.substr(open + 1, token.size() - open - 2)});
  }
  return tokens;
}

// Calls `visit` with the tokens of each rule line (continuations joined,
// comments and blank lines left out) until it returns true.
template <typename Visit>
bool AnyRuleLine(std::string_view rules, Visit visit) {
  std::string line;
  size_t start = 0;
  while (start < rules.size()) {
    size_t end = rules.find('\n', start);
    if (end == std::string_view::npos) end = rules.size();
    std::string_view part = rules.substr(start, end - start);
    start = end + 1;
    if (!part.empty() && part.back() == '\r') part.remove_suffix(1);
    if (!part.empty() && part.back() == '\\') {
      line.append(part.substr(0, part.size() - 1));
      continue;
    }
    line.append(part);
    const std::string_view whole = Trimmed(line);
    const bool found = !whole.empty() && whole.front() != '#' && visit(Tokens(whole));
    line.clear();
    if (found) return true;
  }
  return false;
}

// The value a line matches against ("==") under the first of `keys` it
// has; several keys name the same thing (ATTRS{idVendor}, ENV{ID_VENDOR_ID}).
std::optional<std::string_view> Matched(const std::vector<RuleToken>& tokens,
                                        std::initializer_list<std::string_view> keys) {
  for (const RuleToken& token : tokens) {
    if (token.op != "==") continue;
    if (std::find(keys.begin(), keys.end(), token.key) != keys.end()) return token.value;
  }
  return std::nullopt;
}

bool AddsWithoutRemove(const std::vector<RuleToken>& tokens) {
  const auto action = Matched(tokens, {"ACTION"});
  return !action || *action != "remove";
}

// Whether the line's vendor and product matches take this USB device; a
// line that matches no vendor is about something else.
bool MatchesIds(const std::vector<RuleToken>& tokens, std::string_view vendor,
                std::string_view product) {
  const auto vendorPattern =
      Matched(tokens, {"ATTRS{idVendor}", "ATTR{idVendor}", "ENV{ID_VENDOR_ID}"});
  if (!vendorPattern || !AnyAlternativeMatches(*vendorPattern, vendor)) return false;
  const auto productPattern =
      Matched(tokens, {"ATTRS{idProduct}", "ATTR{idProduct}", "ENV{ID_MODEL_ID}"});
  return !productPattern || AnyAlternativeMatches(*productPattern, product);
}

// A USB device's PRODUCT variable writes its ids in hexadecimal without
// leading zeros: 0403 is "403".
std::string_view WithoutLeadingZeros(std::string_view hex) {
  const size_t first = hex.find_first_not_of('0');
  return first == std::string_view::npos ? hex.substr(hex.empty() ? 0 : hex.size() - 1)
                                         : hex.substr(first);
}

}  // namespace

const char* LevelWord(CheckLevel level) {
  switch (level) {
    case CheckLevel::kOk: return "ok";
    case CheckLevel::kAdvice: return "advice";
    case CheckLevel::kProblem: return "problem";
  }
  return "problem";
}

bool AnyProblem(const std::vector<BenchCheck>& checks) {
  return std::any_of(checks.begin(), checks.end(),
                     [](const BenchCheck& check) { return check.level == CheckLevel::kProblem; });
}

std::vector<BenchCheck> UsbPlcChecks(const std::vector<UsbPlc>& plcs) {
  std::vector<BenchCheck> checks;
  for (const UsbPlc& plc : plcs) {
    const std::string where = plc.location.empty()
                                  ? "a PLC (no location)"
                                  : "a PLC at " + plc.location + " (--usb " + plc.location + ")";
    checks.push_back({"usb-plc", CheckLevel::kOk,
                      where + ": " + plc.devicePath + ", " +
                          (plc.serial.empty() ? "no serial" : "serial " + plc.serial),
                      ""});
  }
  if (checks.empty()) {
    checks.push_back({"usb-plc", CheckLevel::kOk,
                      "no USB PLC is attached (COM models are reached through a serial port)", ""});
  }
  return checks;
}

bool KeepsModemManagerOff(std::string_view rules, std::string_view vendor,
                          std::string_view product) {
  return AnyRuleLine(rules, [&](const std::vector<RuleToken>& tokens) {
    const bool sets = std::any_of(tokens.begin(), tokens.end(), [](const RuleToken& token) {
      return token.key == "ENV{ID_MM_DEVICE_IGNORE}" && (token.op == "=" || token.op == ":=") &&
             token.value == "1";
    });
    return sets && AddsWithoutRemove(tokens) && MatchesIds(tokens, vendor, product);
  });
}

bool BrlttyClaims(std::string_view rules, std::string_view vendor, std::string_view product) {
  return AnyRuleLine(rules, [&](const std::vector<RuleToken>& tokens) {
    if (!AddsWithoutRemove(tokens)) return false;
    if (MatchesIds(tokens, vendor, product)) return true;
    const auto pattern = Matched(tokens, {"ENV{PRODUCT}"});
    if (!pattern) return false;
    // "1a86/7523/*": vendor, product and device release; the release is
    // not known here, so only the first two parts are compared.
    const size_t first = pattern->find('/');
    if (first == std::string_view::npos) return false;
    const size_t second = pattern->find('/', first + 1);
    const std::string_view vendorPart = pattern->substr(0, first);
    const std::string_view productPart = pattern->substr(first + 1, second - first - 1);
    return GlobMatches(vendorPart, WithoutLeadingZeros(vendor)) &&
           GlobMatches(productPart, WithoutLeadingZeros(product));
  });
}

std::vector<GroupEntry> ParseGroupFile(std::string_view text) {
  std::vector<GroupEntry> groups;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = text.substr(start, end - start);
    start = end + 1;
    // name:password:gid:member,member
    const size_t a = line.find(':');
    const size_t b = a == std::string_view::npos ? a : line.find(':', a + 1);
    const size_t c = b == std::string_view::npos ? b : line.find(':', b + 1);
    if (c == std::string_view::npos || a == 0) continue;
    GroupEntry entry;
    entry.name = line.substr(0, a);
    const std::string_view gid = line.substr(b + 1, c - b - 1);
    const auto [end_, error] = std::from_chars(gid.data(), gid.data() + gid.size(), entry.gid);
    if (error != std::errc() || end_ != gid.data() + gid.size() || gid.empty()) continue;
    std::string_view members = Trimmed(line.substr(c + 1));
    while (!members.empty()) {
      const size_t comma = members.find(',');
      const std::string_view member = Trimmed(members.substr(0, comma));
      if (!member.empty()) entry.members.emplace_back(member);
      if (comma == std::string_view::npos) break;
      members.remove_prefix(comma + 1);
    }
    groups.push_back(std::move(entry));
  }
  return groups;
}
