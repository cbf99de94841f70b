// SPDX-License-Identifier: MIT
// The bench's own check before an update: may this user open the ports, is
// the system set up to leave them alone, does another program hold one, and
// which PLCs are attached. Nothing here opens a port or talks to a PLC: an
// open alone raises DTR and RTS on many adapters, which some PLCs take as a
// reset.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "discovery/usb_plc.h"

enum class CheckLevel {
  kOk,
  kAdvice,   // works, but could be better; no reason to stop
  kProblem,  // an update is likely to fail until it is mended
};

struct BenchCheck {
  std::string check;  // what was checked, one word: "access", "udev-rule", ...
  CheckLevel level = CheckLevel::kOk;
  std::string detail;  // what was found
  std::string fix;     // the command that mends it; empty when there is nothing to do
};

// "ok", "advice", "problem".
const char* LevelWord(CheckLevel level);

bool AnyProblem(const std::vector<BenchCheck>& checks);

// Every check of this machine, in a fixed order.
std::vector<BenchCheck> CheckBench();

// One line per USB PLC attached, with the location --usb takes; one that
// says so when none is.
std::vector<BenchCheck> UsbPlcChecks(const std::vector<UsbPlc>& plcs);

// --- Text rules the Linux checks read, portable so that any build tests them.

// Whether the udev rules in `rules` set ID_MM_DEVICE_IGNORE=1 on a USB
// device `vendor`:`product` (lower-case hexadecimal): a rule line that sets
// it and whose ATTRS{idVendor} and ATTRS{idProduct} match, with udev's "|"
// alternatives and "*" and "?" patterns.
bool KeepsModemManagerOff(std::string_view rules, std::string_view vendor,
                          std::string_view product);

// Whether brltty's udev rules in `rules` hand a USB device `vendor`:`product`
// to brltty: a line whose ENV{PRODUCT} pattern ("1a86/7523/*") or whose
// ATTRS{idVendor} and ATTRS{idProduct} match it.
bool BrlttyClaims(std::string_view rules, std::string_view vendor, std::string_view product);

struct GroupEntry {
  std::string name;
  unsigned gid = 0;
  std::vector<std::string> members;
};

// The lines of an /etc/group file that parse; others are skipped.
std::vector<GroupEntry> ParseGroupFile(std::string_view text);
