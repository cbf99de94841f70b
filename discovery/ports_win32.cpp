// SPDX-License-Identifier: MIT
// Serial ports from the friendly names of every device present, of every
// class: "USB Serial Port (COM5)" gives COM5.
#include <algorithm>
#include <cstring>

#include "discovery/port_names.h"
#include "discovery/ports.h"
#include "discovery/usb.h"
#include "discovery/win32_device_api.h"

std::optional<std::vector<std::string>> ListComPorts(const DeviceApi& api) {
  HDEVINFO info = api.getClassDevs(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
  if (info == INVALID_HANDLE_VALUE) return std::nullopt;

  std::vector<std::string> ports;
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof(SP_DEVINFO_DATA);
  char friendlyName[kFriendlyNameSize];
  for (DWORD index = 0; api.enumDeviceInfo(info, index, &device); ++index) {
    std::memset(friendlyName, 0, sizeof friendlyName);
    if (!api.getDeviceRegistryProperty(info, &device, SPDRP_FRIENDLYNAME, nullptr,
                                       reinterpret_cast<PBYTE>(friendlyName), sizeof friendlyName,
                                       nullptr)) {
      continue;
    }
    // A driver's name may fill the buffer without a NUL.
    const std::string_view name(friendlyName, strnlen(friendlyName, sizeof friendlyName));
    if (auto port = PortNameFromFriendlyName(name)) ports.push_back(std::move(*port));
  }
  api.destroyDeviceInfoList(info);
  std::sort(ports.begin(), ports.end());
  return ports;
}

std::optional<std::vector<std::string>> ListComPorts() { return ListComPorts(kSystemDeviceApi); }

PortSurvey SurveyPorts() { return {ListComPorts(), ListUsbPlcs()}; }
