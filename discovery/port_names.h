// SPDX-License-Identifier: MIT
// The text rules of device discovery: which friendly names name a serial
// port, which USB device paths are the PLC, and what Windows' device ids say
// of a USB device.
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

struct UsbIds {
  std::string vendorId;   // lower-case hexadecimal, "3e9a"
  std::string productId;  // "0001"
};

// The vendor and product in a USB hardware id or device path
// ("USB\VID_3E9A&PID_0001&REV_0100", "\\?\usb#vid_3e9a&pid_0001#..."), in
// either case. Nothing when either is missing or not four hexadecimal digits.
std::optional<UsbIds> UsbIdsFrom(std::string_view id);

// The serial number in a USB device's instance id: its last part,
// "USB\VID_3E9A&PID_0001\MX0042" gives MX0042. Empty when that part is one
// Windows made up for a device without a serial number ("5&2c4f3e1&0&2",
// always with a "&", which a serial number in an instance id never has).
std::string SerialFromInstanceId(std::string_view instanceId);
