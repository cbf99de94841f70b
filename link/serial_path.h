// SPDX-License-Identifier: MIT
// The name under which the system opens a serial port.
#pragma once

#include <string>
#include <string_view>

// The path to open for `port`: a COM port's name ("COM" in any case, then
// digits) in the "\\.\" form, since Windows opens ports above COM9 only that
// way and every port that way; anything else (a device path, a name already
// in that form) unchanged. Only the opening uses it: the port list, the
// messages and the command line keep the plain name.
std::string SerialDevicePath(std::string_view port);
