// SPDX-License-Identifier: MIT
// The friendly-name rule on any text a device driver might report.
// Properties: a port name is "COM" and at most kPortNameMax characters, and
// stands in the friendly name between "(" and the ")" that closes it.
#include "discovery/port_names.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view friendlyName(reinterpret_cast<const char*>(data), size);
  if (const auto name = PortNameFromFriendlyName(friendlyName)) {
    Require(name->size() <= kPortNameMax, "a port name fits the port list's field");
    Require(name->starts_with("COM"), "a port name starts with COM");
    Require(name->find(')') == std::string::npos, "the first ')' ends the port name");
    Require(friendlyName.find("(" + *name + ")") != std::string_view::npos,
            "the port name stands in the friendly name in parentheses");
  }
  IsPlcDevicePath(friendlyName);
  return 0;
}
