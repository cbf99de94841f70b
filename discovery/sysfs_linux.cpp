// SPDX-License-Identifier: MIT
// Serial ports and the PLC's USB tty from sysfs. Every file-system call uses
// the error_code overloads: a device that vanishes in the middle of a scan is
// simply not there.
#include <algorithm>
#include <cstdlib>
#include <fstream>

#include "discovery/linux_sysfs.h"
#include "discovery/ports.h"
#include "discovery/usb.h"
#include "link/serial.h"

namespace fs = std::filesystem;

std::string ReadSysfsAttribute(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  if (!in || !std::getline(in, line)) return {};
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' '))
    line.pop_back();
  return line;
}

namespace {

struct Tty {
  std::string name;
  fs::path entry;  // <sys>/class/tty/<name>
};

// The ttys with a device behind them, sorted by name. The virtual consoles,
// ptmx and the pseudo-terminals have none.
std::optional<std::vector<Tty>> TtysWithDevice(const DeviceRoots& roots) {
  std::error_code error;
  fs::directory_iterator it(roots.sys / "class" / "tty", error);
  if (error) return std::nullopt;
  std::vector<Tty> ttys;
  for (; it != fs::directory_iterator(); it.increment(error)) {
    if (error) break;
    const fs::path entry = it->path();
    std::error_code ignored;
    if (!fs::exists(entry / "device", ignored)) continue;
    ttys.push_back({entry.filename().string(), entry});
  }
  std::sort(ttys.begin(), ttys.end(), [](const Tty& a, const Tty& b) { return a.name < b.name; });
  return ttys;
}

// The kernel keeps a tty for every legacy 8250 port it reserves, present or
// not; one without a UART reports port type 0.
bool IsPhantomUart(const Tty& tty) { return ReadSysfsAttribute(tty.entry / "type") == "0"; }

// Where a tty sits on the USB: the nearest USB device above the tty's
// device (the directory that holds idVendor and idProduct), and the
// interface of that device the tty belongs to. For a USB-serial adapter the
// device is two levels up (port, interface, device), for a CDC-ACM device
// one (interface, device).
struct UsbPlace {
  fs::path device;
  std::string interface;  // "1-1.2:1.0"
};

std::optional<UsbPlace> UsbPlaceOf(const Tty& tty, const fs::path& sysRoot) {
  std::error_code error;
  const fs::path ttyDevice = fs::canonical(tty.entry / "device", error);
  if (error) return std::nullopt;
  const fs::path top = fs::canonical(sysRoot, error);
  if (error) return std::nullopt;
  for (fs::path dir = ttyDevice; dir != top && dir.has_relative_path(); dir = dir.parent_path()) {
    std::error_code missing;
    if (fs::exists(dir / "idVendor", missing) && fs::exists(dir / "idProduct", missing)) {
      const fs::path below = ttyDevice.lexically_relative(dir);
      return UsbPlace{dir, below.empty() ? std::string() : below.begin()->string()};
    }
  }
  return std::nullopt;
}

struct PlcTty {
  Tty tty;
  UsbPlace place;
};

// Every tty of a PLC, in the order of their names.
std::vector<PlcTty> PlcTtys(const DeviceRoots& roots) {
  std::vector<PlcTty> found;
  if (const auto ttys = TtysWithDevice(roots)) {
    for (const Tty& tty : *ttys) {
      auto place = UsbPlaceOf(tty, roots.sys);
      if (place && ReadSysfsAttribute(place->device / "idVendor") == kPlcVendorId &&
          ReadSysfsAttribute(place->device / "idProduct") == kPlcProductId) {
        found.push_back({tty, std::move(*place)});
      }
    }
  }
  return found;
}

std::string DevicePath(const DeviceRoots& roots, const Tty& tty) {
  return (roots.dev / tty.name).string();
}

UsbPlc UsbPlcOf(const DeviceRoots& roots, const PlcTty& plcTty) {
  const fs::path& device = plcTty.place.device;
  return {device.filename().string(),
          DevicePath(roots, plcTty.tty),
          ReadSysfsAttribute(device / "idVendor"),
          ReadSysfsAttribute(device / "idProduct"),
          ReadSysfsAttribute(device / "serial"),
          ReadSysfsAttribute(device / "manufacturer"),
          ReadSysfsAttribute(device / "product")};
}

}  // namespace

DeviceRoots SystemDeviceRoots() {
  const char* root = std::getenv("MORVIX_SYSFS_ROOT");
  if (root == nullptr || *root == '\0') return {};
  fs::path sys = fs::path(root).lexically_normal();
  // "/tmp/t/sys/" names the same root as "/tmp/t/sys".
  if (!sys.has_filename() && sys.has_relative_path()) sys = sys.parent_path();
  return {sys, sys.parent_path() / "dev"};
}

std::optional<std::vector<std::string>> ListSerialPorts(const DeviceRoots& roots) {
  const auto ttys = TtysWithDevice(roots);
  if (!ttys) return std::nullopt;
  std::vector<std::string> ports;
  for (const Tty& tty : *ttys) {
    if (!IsPhantomUart(tty)) ports.push_back(DevicePath(roots, tty));
  }
  return ports;
}

std::vector<SerialPortFacts> DescribeSerialPorts(const DeviceRoots& roots) {
  std::vector<SerialPortFacts> ports;
  const auto ttys = TtysWithDevice(roots);
  if (!ttys) return ports;
  for (const Tty& tty : *ttys) {
    if (IsPhantomUart(tty)) continue;
    SerialPortFacts port{DevicePath(roots, tty), tty.entry, {}, {}, {}};
    if (const auto place = UsbPlaceOf(tty, roots.sys)) {
      port.usbLocation = place->device.filename().string();
      port.vendorId = ReadSysfsAttribute(place->device / "idVendor");
      port.productId = ReadSysfsAttribute(place->device / "idProduct");
    }
    ports.push_back(std::move(port));
  }
  return ports;
}

std::vector<std::string> FindPlcTtys(const DeviceRoots& roots) {
  std::vector<std::string> found;
  for (const PlcTty& plcTty : PlcTtys(roots)) found.push_back(DevicePath(roots, plcTty.tty));
  return found;
}

LinkOpening OpenPlcTty(const DeviceRoots& roots, const Pause& pause) {
  return OpenWithinReopenWindow(
      [&roots] {
        LinkOpening last{nullptr, OpenFailure::kNoDevice, "no USB device 3e9a:0001 is attached"};
        // A PLC held by another program is passed over for the next one.
        for (const std::string& path : FindPlcTtys(roots)) {
          last = OpenSerialLink(path);
          if (last) return last;
          last.detail = path + ": " + last.detail;
        }
        return last;
      },
      pause);
}

std::vector<UsbPlc> ListUsbPlcs(const DeviceRoots& roots) {
  // One tty per location: the one on the lowest interface (the interfaces'
  // names differ only in their numbers).
  std::vector<PlcTty> chosen;
  for (PlcTty& plcTty : PlcTtys(roots)) {
    auto same = std::find_if(chosen.begin(), chosen.end(), [&](const PlcTty& other) {
      return other.place.device == plcTty.place.device;
    });
    if (same == chosen.end()) {
      chosen.push_back(std::move(plcTty));
    } else if (LocationBefore(plcTty.place.interface, same->place.interface)) {
      *same = std::move(plcTty);
    }
  }
  std::vector<UsbPlc> plcs;
  for (const PlcTty& plcTty : chosen) plcs.push_back(UsbPlcOf(roots, plcTty));
  std::sort(plcs.begin(), plcs.end(), [](const UsbPlc& a, const UsbPlc& b) {
    return LocationBefore(a.location, b.location);
  });
  return plcs;
}

LinkOpening OpenUsbPlcAt(const DeviceRoots& roots, const std::string& location,
                         const Pause& pause) {
  if (location.empty()) return {nullptr, OpenFailure::kMissing, "no USB location given"};
  return OpenWithinReopenWindow(
      [&]() -> LinkOpening {
        for (const UsbPlc& plc : ListUsbPlcs(roots)) {
          if (plc.location != location) continue;
          LinkOpening opening = OpenSerialLink(plc.devicePath);
          if (!opening) opening.detail = plc.devicePath + ": " + opening.detail;
          return opening;
        }
        return {nullptr, OpenFailure::kNoDevice, "no USB PLC (3e9a:0001) at " + location};
      },
      pause);
}

std::optional<std::vector<std::string>> ListComPorts() {
  return ListSerialPorts(SystemDeviceRoots());
}

LinkOpening OpenMyDevPipe(const char* pipeName) {
  // A tty has no pipes to choose from.
  if (pipeName != nullptr && *pipeName != '\0') {
    return {nullptr, OpenFailure::kMissing, "a tty has no pipe " + std::string(pipeName)};
  }
  return OpenPlcTty(SystemDeviceRoots());
}

PortSurvey SurveyPorts(const DeviceRoots& roots) {
  return {ListSerialPorts(roots), ListUsbPlcs(roots)};
}

std::string FindPlcDevicePath() {
  const auto plcTtys = FindPlcTtys(SystemDeviceRoots());
  return plcTtys.empty() ? std::string() : plcTtys.front();
}

PortSurvey SurveyPorts() { return SurveyPorts(SystemDeviceRoots()); }

std::vector<UsbPlc> ListUsbPlcs() { return ListUsbPlcs(SystemDeviceRoots()); }

LinkOpening OpenUsbPlcAt(const std::string& location) {
  return OpenUsbPlcAt(SystemDeviceRoots(), location);
}
