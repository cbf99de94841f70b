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
