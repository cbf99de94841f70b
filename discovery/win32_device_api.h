// SPDX-License-Identifier: MIT
// Windows only: the SetupAPI and file calls that discovery makes, gathered in
// one table so tests can put fakes in their place. kSystemDeviceApi holds the
// system's own functions; the overloads without a table use it.
#pragma once

// clang-format off
#include <windows.h>
#include <setupapi.h>
// clang-format on

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "discovery/usb_plc.h"
#include "link/link.h"

struct DeviceApi {
  decltype(&SetupDiGetClassDevsA) getClassDevs;
  decltype(&SetupDiEnumDeviceInfo) enumDeviceInfo;
  decltype(&SetupDiGetDeviceRegistryPropertyA) getDeviceRegistryProperty;
  decltype(&SetupDiEnumDeviceInterfaces) enumDeviceInterfaces;
  decltype(&SetupDiGetDeviceInterfaceDetailA) getDeviceInterfaceDetail;
  decltype(&SetupDiGetDeviceInstanceIdA) getDeviceInstanceId;
  decltype(&SetupDiDestroyDeviceInfoList) destroyDeviceInfoList;
  decltype(&CreateFileA) createFile;
  decltype(&CloseHandle) closeHandle;
  // The link on the pipe path: OpenWin32Link for the system.
  LinkOpening (*openLink)(const char* path, uint32_t shareMode, uint32_t flags);
};

extern const DeviceApi kSystemDeviceApi;

// GUID_DEVINTERFACE_USB_DEVICE, the class of the interfaces searched.
extern const GUID USB_DRIVER_GUID;

// The device path buffer: the interface path, "\", the pipe name and a NUL.
inline constexpr size_t kDevicePathSize = 300;
inline constexpr size_t kFriendlyNameSize = 1024;
// The other device properties read (location, ids, names) and the instance id.
inline constexpr size_t kPropertySize = 1024;

std::optional<std::vector<std::string>> ListComPorts(const DeviceApi& api);

// The search, step by step. `devName` is a buffer of kDevicePathSize bytes.
// A handle when `interfaceData` is the PLC and it opened.
HANDLE OpenOneDevice(const DeviceApi& api, HDEVINFO info, PSP_DEVICE_INTERFACE_DATA interfaceData,
                     char* devName);
// The first PLC among the interfaces of class `guid` that opens.
HANDLE OpenUsbDevice(const DeviceApi& api, const GUID* guid, char* devName);
// 1 with the PLC's path in `devName` when a PLC is present and opens, else 0.
int GetUsbDeviceFileName(const DeviceApi& api, const GUID* guid, char* devName);
LinkOpening OpenMyDevPipe(const DeviceApi& api, const char* pipeName);

// The PLCs among the USB device interfaces, each with the location, ids,
// serial number and names SetupAPI gives; sorted by location.
std::vector<UsbPlc> ListUsbPlcs(const DeviceApi& api);
// The pipe of the PLC at `location` (its device path and "\"), tried through
// the reopen window.
LinkOpening OpenUsbPlcAt(const DeviceApi& api, const std::string& location,
                         const Pause& pause = SleepFor);
