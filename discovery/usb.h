// SPDX-License-Identifier: MIT
// The PLC's USB link. A USB model has no port to pick: the PLC is found among
// the USB devices present by its vendor and product (kUsbFilter), before the
// update and again after the operator has replugged it.
#pragma once

#include <memory>
#include <string>

#include "link/link.h"

// Opens the PLC's USB device as the burn's link. The burn passes an empty
// pipe name (a Linux tty has no pipes: any other name opens nothing).
// nullptr when no PLC is present or it cannot be opened; on Linux only after
// trying for up to 3 s, the time a replugged PLC needs to come back.
LinkOpening OpenMyDevPipe(const char* pipeName = "");

// Device path of the PLC's USB link, or empty when none is present.
std::string FindPlcDevicePath();
