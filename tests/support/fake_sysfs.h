// SPDX-License-Identifier: MIT
// A sysfs tree and a /dev folder under one temporary folder, laid out as the
// kernel lays them out, for the Linux discovery and the programs that use it
// (MORVIX_SYSFS_ROOT names Sys(); the devices are then read from Dev()).
#pragma once

#include <filesystem>
#include <string>

class FakeSysfs {
 public:
  // Makes /tmp/morvix-sysfs-XXXXXX with sys/class/tty and dev in it;
  // throws when it cannot.
  FakeSysfs();
  ~FakeSysfs();
  FakeSysfs(const FakeSysfs&) = delete;
  FakeSysfs& operator=(const FakeSysfs&) = delete;

  const std::filesystem::path& Sys() const { return sys_; }
  const std::filesystem::path& Dev() const { return dev_; }
  std::string DevPath(const std::string& name) const { return (dev_ / name).string(); }

  // A USB device at `port` (such as "1-2") on bus 1, or below `parent`,
  // linked from <sys>/bus/usb/devices.
  std::filesystem::path UsbDevice(const std::string& port, const char* vendor, const char* product,
                                  const std::filesystem::path& parent = {});
  // A sysfs attribute of `dir` (a USB device's serial, manufacturer, product).
  void Attribute(const std::filesystem::path& dir, const std::string& name,
                 const std::string& value);
  // The device and everything below it go, as at an unplug: its folder and
  // the class entries of its ttys (their /dev nodes are the caller's).
  void Unplug(const std::filesystem::path& usbDevice);
  // usb-serial: device / interface / ttyUSBn port / tty / ttyUSBn
  void UsbSerialTty(const std::filesystem::path& usbDevice, const std::string& name);
  // cdc_acm: device / interface / tty / ttyACMn, the device link on the interface
  void AcmTty(const std::filesystem::path& usbDevice, const std::string& name, int interface = 0);
  // A legacy 8250 port; type 0 when no UART answers there.
  void PlatformUart(const std::string& name, const char* type);
  void VirtualTty(const std::string& name);

 private:
  std::filesystem::path Devices() const;
  // The class entry and the tty's folder; `device` is what its device link names.
  void ClassTty(const std::string& name, const std::filesystem::path& ttyDir,
                const std::filesystem::path& device);

  std::filesystem::path root_;
  std::filesystem::path sys_;
  std::filesystem::path dev_;
};
