// Linux only: discovery through sysfs. A serial port is a tty in
// <sys>/class/tty with a device behind it; the PLC's USB link is the tty
// whose nearest USB device has the PLC's idVendor and idProduct. The roots
// are parameters so that tests run on trees of their own.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "discovery/ports.h"
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

// After a replug the PLC's tty may take a moment to appear and udev a moment
// more to hand it to the operator: opening keeps trying for this long.
inline constexpr std::chrono::milliseconds kReopenWindow{3000};
inline constexpr std::chrono::milliseconds kReopenPause{100};

using Pause = std::function<void(std::chrono::milliseconds)>;
void SleepFor(std::chrono::milliseconds pause);

// Device paths (<dev>/ttyUSB0) of the serial ports, sorted. nullopt when
// <sys>/class/tty cannot be read.
std::optional<std::vector<std::string>> ListSerialPorts(const DeviceRoots& roots);

// Device paths of the ttys that are the PLC, in the order of their tty names
// (ttyACM0 before ttyACM1 before ttyUSB0).
std::vector<std::string> FindPlcTtys(const DeviceRoots& roots);

// Opens the first PLC tty that opens (exclusively, as any serial port). When
// none does, tries again after each `pause` until kReopenWindow has been
// spent waiting; then without a link, and why the last try failed (no PLC
// present, or the PLC's tty would not open).
LinkOpening OpenPlcTty(const DeviceRoots& roots, const Pause& pause = SleepFor);

// The port list and the first PLC tty, as `--list-ports` shows them.
PortSurvey SurveyPorts(const DeviceRoots& roots);
