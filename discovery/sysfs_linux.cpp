// Serial ports and the PLC's USB tty from sysfs. Every file-system call uses
// the error_code overloads: a device that vanishes in the middle of a scan is
// simply not there.
#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "discovery/linux_sysfs.h"
#include "discovery/ports.h"
#include "discovery/usb.h"
#include "link/serial.h"

namespace fs = std::filesystem;

namespace {

// First line of a sysfs attribute, without its line end; empty when the
// attribute is missing.
std::string ReadAttribute(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  if (!in || !std::getline(in, line)) return {};
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' '))
    line.pop_back();
  return line;
}

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
bool IsPhantomUart(const Tty& tty) { return ReadAttribute(tty.entry / "type") == "0"; }

// The nearest USB device above the tty's device: the directory that holds
// idVendor and idProduct. For a USB-serial adapter that is two levels up
// (port, interface, device), for a CDC-ACM device one (interface, device).
std::optional<fs::path> UsbDeviceOf(const Tty& tty, const fs::path& sysRoot) {
  std::error_code error;
  fs::path dir = fs::canonical(tty.entry / "device", error);
  if (error) return std::nullopt;
  const fs::path top = fs::canonical(sysRoot, error);
  if (error) return std::nullopt;
  for (; dir != top && dir.has_relative_path(); dir = dir.parent_path()) {
    std::error_code missing;
    if (fs::exists(dir / "idVendor", missing) && fs::exists(dir / "idProduct", missing)) return dir;
  }
  return std::nullopt;
}

bool IsPlc(const Tty& tty, const fs::path& sysRoot) {
  const auto usbDevice = UsbDeviceOf(tty, sysRoot);
  return usbDevice && ReadAttribute(*usbDevice / "idVendor") == kPlcVendorId &&
         ReadAttribute(*usbDevice / "idProduct") == kPlcProductId;
}

std::string DevicePath(const DeviceRoots& roots, const Tty& tty) {
  return (roots.dev / tty.name).string();
}

}  // namespace

void SleepFor(std::chrono::milliseconds pause) { std::this_thread::sleep_for(pause); }

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

std::vector<std::string> FindPlcTtys(const DeviceRoots& roots) {
  std::vector<std::string> found;
  if (const auto ttys = TtysWithDevice(roots)) {
    for (const Tty& tty : *ttys) {
      if (IsPlc(tty, roots.sys)) found.push_back(DevicePath(roots, tty));
    }
  }
  return found;
}

LinkOpening OpenPlcTty(const DeviceRoots& roots, const Pause& pause) {
  // The window is counted in pauses: an attempt is a sysfs scan and a
  // non-blocking open, nothing that takes time worth counting.
  std::chrono::milliseconds waited{0};
  for (;;) {
    LinkOpening last{nullptr, OpenFailure::kNoDevice, "no USB device 3e9a:0001 is attached"};
    // A PLC held by another program is passed over for the next one.
    for (const std::string& path : FindPlcTtys(roots)) {
      last = OpenSerialLink(path);
      if (last) return last;
      last.detail = path + ": " + last.detail;
    }
    if (waited >= kReopenWindow) return last;
    pause(kReopenPause);
    waited += kReopenPause;
  }
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
  const auto plcTtys = FindPlcTtys(roots);
  return {ListSerialPorts(roots), plcTtys.empty() ? std::string() : plcTtys.front()};
}

std::string FindPlcDevicePath() {
  const auto plcTtys = FindPlcTtys(SystemDeviceRoots());
  return plcTtys.empty() ? std::string() : plcTtys.front();
}

PortSurvey SurveyPorts() { return SurveyPorts(SystemDeviceRoots()); }
