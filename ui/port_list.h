// SPDX-License-Identifier: MIT
// Filling the port list of the main window, the same for every window system:
// the list itself is the window's (a Win32 combo box, a Qt combo box, a
// test's fake) and keeps the count of what this side put into it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The operations the port list offers, as a sorted combo box does them.
class PortList {
 public:
  virtual ~PortList() = default;
  virtual void DeleteFirst() = 0;                 // removes entry 0
  virtual void Add(const std::string& text) = 0;  // at its sorted place
  virtual void SelectFirst() = 0;                 // selects entry 0

  // Entries the fills put into the list: the only record of how many must be
  // removed before the next fill.
  int32_t totalComPort = 0;
};

// Replaces the entries of the previous fill with `ports`. When the system's
// device list could not be read (nullopt) the list and totalComPort stay as
// they are, so the operator keeps the ports seen last. Selects nothing.
void RefillPortList(PortList& list, const std::optional<std::vector<std::string>>& ports);

// Fills the list with the serial ports present now.
void EnumComPort(PortList& list);
// A USB model has one way to the PLC: the list holds the single entry "USB",
// selected.
void EnumUSBPort(PortList& list);
