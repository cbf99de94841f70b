// SPDX-License-Identifier: MIT
#include "support/fake_sysfs.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <fstream>
#include <stdexcept>
#include <vector>

namespace fs = std::filesystem;

namespace {

void Write(const fs::path& file, const std::string& text) { std::ofstream(file) << text << "\n"; }

void Link(const fs::path& target, const fs::path& link) {
  fs::create_directory_symlink(fs::relative(target, link.parent_path()), link);
}

}  // namespace

FakeSysfs::FakeSysfs() {
  char pattern[] = "/tmp/morvix-sysfs-XXXXXX";
  if (mkdtemp(pattern) == nullptr) throw std::runtime_error("cannot make a temporary folder");
  root_ = pattern;
  chmod(pattern, 0755);  // an unprivileged child process walks it too
  sys_ = root_ / "sys";
  dev_ = root_ / "dev";
  fs::create_directories(sys_ / "class" / "tty");
  fs::create_directories(dev_);
}

FakeSysfs::~FakeSysfs() {
  std::error_code ignored;
  fs::remove_all(root_, ignored);
}

fs::path FakeSysfs::Devices() const { return sys_ / "devices" / "pci0000:00" / "0000:00:14.0"; }

fs::path FakeSysfs::UsbDevice(const std::string& port, const char* vendor, const char* product,
                              const fs::path& parent) {
  const fs::path dir = (parent.empty() ? Devices() / "usb1" : parent) / port;
  fs::create_directories(dir);
  Write(dir / "idVendor", vendor);
  Write(dir / "idProduct", product);
  const fs::path bus = sys_ / "bus" / "usb" / "devices";
  fs::create_directories(bus);
  // A device made again at the same port (a replug the test did not
  // unplug first) keeps its link.
  std::error_code exists;
  if (!fs::is_symlink(bus / port, exists)) Link(dir, bus / port);
  return dir;
}

void FakeSysfs::Attribute(const fs::path& dir, const std::string& name, const std::string& value) {
  Write(dir / name, value);
}

void FakeSysfs::Unplug(const fs::path& usbDevice) {
  const std::string inside = fs::canonical(usbDevice).string() + "/";
  std::vector<fs::path> entries;
  for (const auto& entry : fs::directory_iterator(sys_ / "class" / "tty")) {
    std::error_code error;
    const fs::path target = fs::canonical(entry.path(), error);
    if (!error && target.string().rfind(inside, 0) == 0) entries.push_back(entry.path());
  }
  for (const fs::path& entry : entries) fs::remove(entry);
  fs::remove(sys_ / "bus" / "usb" / "devices" / usbDevice.filename());
  fs::remove_all(usbDevice);
}

void FakeSysfs::ClassTty(const std::string& name, const fs::path& ttyDir, const fs::path& device) {
  fs::create_directories(ttyDir);
  Write(ttyDir / "dev", "188:0");
  if (!device.empty()) Link(device, ttyDir / "device");
  Link(ttyDir, sys_ / "class" / "tty" / name);
}

void FakeSysfs::UsbSerialTty(const fs::path& usbDevice, const std::string& name) {
  const fs::path port = usbDevice / (usbDevice.filename().string() + ":1.0") / name;
  ClassTty(name, port / "tty" / name, port);
}

void FakeSysfs::AcmTty(const fs::path& usbDevice, const std::string& name, int interface) {
  const fs::path iface =
      usbDevice / (usbDevice.filename().string() + ":1." + std::to_string(interface));
  ClassTty(name, iface / "tty" / name, iface);
}

void FakeSysfs::PlatformUart(const std::string& name, const char* type) {
  const fs::path platform = sys_ / "devices" / "platform" / "serial8250";
  const fs::path ttyDir = platform / "tty" / name;
  ClassTty(name, ttyDir, platform);
  Write(ttyDir / "type", type);
}

void FakeSysfs::VirtualTty(const std::string& name) {
  ClassTty(name, sys_ / "devices" / "virtual" / "tty" / name, {});
}
