// SPDX-License-Identifier: MIT
// A station at the end of a line: one PLC after another, all day. It waits
// for a PLC (a USB PLC attached, or a PLC answering on the station's serial
// port), updates it, says the outcome in one line and rings the bell, then
// waits for the PLC to be removed (USB) or for Enter (a serial port, where
// nothing tells that the PLC changed), and starts again. Ctrl-C ends the day
// with its counts.
#pragma once

#include <ostream>

#include "cli/reporter.h"
#include "cli/units.h"

// `display` is the run's (mode, width); `bell` the terminal to ring, or
// nullptr. The exit status: 0 when no unit failed, else 1.
int RunStation(const RunShared& shared, const Reporter::Settings& display, std::ostream* bell);
