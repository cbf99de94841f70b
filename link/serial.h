// SPDX-License-Identifier: MIT
// Opening a serial port as a Link: exclusive, synchronous, nothing configured
// yet (the first exchange applies its line settings).
#pragma once

#include <memory>
#include <string>

#include "link/link.h"

// `port` as the port list shows it: "COM3" on Windows, "/dev/ttyUSB0" on
// Linux. Without a link when the port cannot be opened, and why.
LinkOpening OpenSerialLink(const std::string& port);
