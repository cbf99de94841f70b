// The two text rules of device discovery: which friendly names name a serial
// port, and which USB device paths are the PLC.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// Longest port name the port list takes (a 10-byte field with its NUL).
inline constexpr size_t kPortNameMax = 9;
// Vendor and product part of the PLC's USB device path.
inline constexpr std::string_view kUsbFilter = "vid_3e9a&pid_0001";

// The port name of a device whose friendly name reads like
// "USB Serial Port (COM3)": the text from the "COM" of the first "(COM" up to
// the first ")" after it. Nothing when the name has no "(COM" (the marker is
// case-sensitive), has no ")" after it, or the port name is longer than
// kPortNameMax characters: such a name could not be opened as a port.
std::optional<std::string> PortNameFromFriendlyName(std::string_view friendlyName);

// Whether a USB device path is the PLC's: the filter text appears in it,
// exactly as written, anywhere.
bool IsPlcDevicePath(std::string_view devicePath);
