// SPDX-License-Identifier: MIT
// USB PLCs by where they are plugged in. Several PLCs on one machine are told
// apart by their physical USB location, which survives the replug of an
// update even when the system names the device anew: on Linux the sysfs port
// path (1-1.2: bus 1, port 1, then port 2 of the hub there), on Windows the
// location SetupAPI gives. The same device on another port is another unit.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "link/link.h"

struct UsbPlc {
  std::string location;    // "1-1.2"; on Windows empty when SetupAPI gives none
  std::string devicePath;  // what opens it: "/dev/ttyACM0", or the interface path
  std::string vendorId;    // lower-case hexadecimal, "3e9a"
  std::string productId;   // "0001"
  std::string serial;      // empty when the device reports none
  std::string manufacturer;
  std::string product;
};

// The USB PLCs present, one per location, sorted by location (port numbers
// compared as numbers: 1-1.2 before 1-1.10).
std::vector<UsbPlc> ListUsbPlcs();

// Opens the PLC at `location` as the burn's link, whatever the system calls
// its device now. A replugged PLC takes a moment to come back, so this keeps
// trying for kReopenWindow. kNoDevice when no PLC is at that location.
LinkOpening OpenUsbPlcAt(const std::string& location);

// Whether USB location `a` sorts before `b`: number by number, so that the
// order is the order of the ports.
bool LocationBefore(const std::string& a, const std::string& b);

// After a replug the PLC's device may take a moment to appear and the system
// a moment more to hand it to the operator: opening keeps trying this long.
inline constexpr std::chrono::milliseconds kReopenWindow{3000};
inline constexpr std::chrono::milliseconds kReopenPause{100};

using Pause = std::function<void(std::chrono::milliseconds)>;
void SleepFor(std::chrono::milliseconds pause);

// Calls `attempt` until it gives a link, pausing kReopenPause after each
// failure until kReopenWindow has been spent pausing; then the last failure.
// The window is counted in pauses: an attempt is a scan and a non-blocking
// open, nothing that takes time worth counting.
LinkOpening OpenWithinReopenWindow(const std::function<LinkOpening()>& attempt, const Pause& pause);

// --- Waiting for a PLC to come and go (a station that takes one after
// another). Watching is a scan every kWatchPause: the same scan as the list,
// cheap enough to repeat, and the system's own notifications would add a
// platform dependency for no gain at a human's pace.
inline constexpr std::chrono::milliseconds kWatchPause{250};

// Waits up to the given time, or less when the caller asks to stop; true
// when it did. With a CancelToken: [&](auto d) { return token.WaitFor(d); }.
using StopWait = std::function<bool(std::chrono::milliseconds)>;
using UsbPlcLister = std::function<std::vector<UsbPlc>()>;
using UsbPlcFilter = std::function<bool(const UsbPlc&)>;

// The first PLC present (by location) that `wanted` accepts (any, when
// empty), as soon as there is one; nullopt when stopped first.
std::optional<UsbPlc> WaitForUsbPlc(const StopWait& wait, const UsbPlcFilter& wanted = {},
                                    const UsbPlcLister& list = ListUsbPlcs);

// True once no PLC is at `location`; false when stopped first.
bool WaitUntilUsbPlcGone(const std::string& location, const StopWait& wait,
                         const UsbPlcLister& list = ListUsbPlcs);
