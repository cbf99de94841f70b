// SPDX-License-Identifier: MIT
#include "discovery/port_names.h"

std::optional<std::string> PortNameFromFriendlyName(std::string_view friendlyName) {
  const size_t marker = friendlyName.find("(COM");
  if (marker == std::string_view::npos) return std::nullopt;
  const size_t start = marker + 1;
  // The first ")" closes the port: text in further parentheses ("(COM4) (A)")
  // describes the device, it is not part of the name.
  const size_t end = friendlyName.find(')', start);
  if (end == std::string_view::npos || end - start > kPortNameMax) return std::nullopt;
  return std::string(friendlyName.substr(start, end - start));
}

bool IsPlcDevicePath(std::string_view devicePath) {
  return devicePath.find(kUsbFilter) != std::string_view::npos;
}

namespace {

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// The four hexadecimal digits after `key` ("vid_"), found in any case.
std::optional<std::string> HexAfter(std::string_view id, std::string_view key) {
  for (size_t at = 0; at + key.size() + 4 <= id.size(); ++at) {
    size_t matched = 0;
    while (matched < key.size() && Lower(id[at + matched]) == key[matched]) ++matched;
    if (matched < key.size()) continue;
    std::string digits;
    for (char c : id.substr(at + key.size(), 4)) {
      c = Lower(c);
      if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return std::nullopt;
      digits += c;
    }
    return digits;
  }
  return std::nullopt;
}

}  // namespace

std::optional<UsbIds> UsbIdsFrom(std::string_view id) {
  auto vendor = HexAfter(id, "vid_");
  auto product = HexAfter(id, "pid_");
  if (!vendor || !product) return std::nullopt;
  return UsbIds{std::move(*vendor), std::move(*product)};
}

std::string SerialFromInstanceId(std::string_view instanceId) {
  const size_t slash = instanceId.rfind('\\');
  if (slash == std::string_view::npos) return {};
  const std::string_view last = instanceId.substr(slash + 1);
  if (last.find('&') != std::string_view::npos) return {};
  return std::string(last);
}
