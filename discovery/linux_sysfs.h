// SPDX-License-Identifier: MIT
// Linux only: discovery through sysfs. A serial port is a tty in
// <sys>/class/tty with a device behind it; the PLC's USB link is the tty
// whose nearest USB device has the PLC's idVendor and idProduct. The roots
// are parameters so that tests run on trees of their own.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "discovery/ports.h"
#include "discovery/usb_plc.h"
#include "link/link.h"

struct DeviceRoots {
  std::filesystem::path sys = "/sys";
  std::filesystem::path dev = "/dev";
};

// The roots the programs use: /sys and /dev, unless the environment variable
// MORVIX_SYSFS_ROOT names another sysfs root, a testing aid for running a
// whole program on a fake tree. The device nodes are then taken from the
// `dev` folder beside that root (MORVIX_SYSFS_ROOT=/tmp/t/sys: /tmp/t/dev),
// as /dev lies beside /sys, so that a fake tree never names a real device.
DeviceRoots SystemDeviceRoots();

inline constexpr char kPlcVendorId[] = "3e9a";
inline constexpr char kPlcProductId[] = "0001";

// Device paths (<dev>/ttyUSB0) of the serial ports, sorted. nullopt when
// <sys>/class/tty cannot be read.
std::optional<std::vector<std::string>> ListSerialPorts(const DeviceRoots& roots);

// First line of a sysfs attribute, without its line end; empty when the
// attribute is missing.
std::string ReadSysfsAttribute(const std::filesystem::path& file);

// A serial port of the port list, with where it sits.
struct SerialPortFacts {
  std::string devicePath;       // <dev>/ttyUSB0
  std::filesystem::path entry;  // <sys>/class/tty/ttyUSB0
  std::string usbLocation;      // of its USB device, "1-2"; empty for a port not on USB
  std::string vendorId;         // of its USB device, "0403"
  std::string productId;
};

// The ports ListSerialPorts lists, in its order; empty when <sys>/class/tty
// cannot be read.
std::vector<SerialPortFacts> DescribeSerialPorts(const DeviceRoots& roots);

// Device paths of the ttys that are the PLC, in the order of their tty names
// (ttyACM0 before ttyACM1 before ttyUSB0).
std::vector<std::string> FindPlcTtys(const DeviceRoots& roots);

// Opens the first PLC tty that opens (exclusively, as any serial port). When
// none does, tries again after each `pause` until kReopenWindow has been
// spent waiting; then without a link, and why the last try failed (no PLC
// present, or the PLC's tty would not open).
LinkOpening OpenPlcTty(const DeviceRoots& roots, const Pause& pause = SleepFor);

// The PLCs present by USB location (the name of the USB device's folder in
// <sys>/bus/usb/devices). A PLC with several ttys is reached through the one
// on its lowest interface, whatever the ttys are called.
std::vector<UsbPlc> ListUsbPlcs(const DeviceRoots& roots);

// Opens the tty of the PLC at `location`, trying through the reopen window as
// OpenPlcTty does: after a replug the tty comes back late, and perhaps under
// another name.
LinkOpening OpenUsbPlcAt(const DeviceRoots& roots, const std::string& location,
                         const Pause& pause = SleepFor);

// The port list and the PLCs by location, as `--list-ports` shows them.
PortSurvey SurveyPorts(const DeviceRoots& roots);
