// Filling the port list of the main window. The list itself belongs to the
// front end (a Win32 combo box, a Qt list, a test's fake); the bookkeeping of
// what this side put into it is kept here, once for all of them.
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
};

// Entries this side has put into the port list: the only record of how many
// must be removed before the next fill. Window thread only.
extern int32_t totalComPort;

// Replaces the entries of the previous fill with `ports`. When the system's
// device list could not be read (nullopt) the list and totalComPort stay as
// they are, so the operator keeps the ports seen last. Selects nothing.
void RefillPortList(PortList& list, const std::optional<std::vector<std::string>>& ports);

// Fills the list with the serial ports present now.
void EnumComPort(PortList& list);
// A USB model has one way to the PLC: the list holds the single entry "USB",
// selected.
void EnumUSBPort(PortList& list);
