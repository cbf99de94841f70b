// SPDX-License-Identifier: MIT
// Finding the PLC among the USB device interfaces present, and opening it as
// the burn's link. The search opens the device once to prove it opens, closes
// it, and the pipe is then opened on the device path followed by "\" and the
// pipe name.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <functional>
#include <new>

#include "discovery/port_names.h"
#include "discovery/ports.h"
#include "discovery/usb.h"
#include "discovery/usb_plc.h"
#include "discovery/win32_device_api.h"
#include "link/win32_link.h"

// Record sizes come from the structures as this target lays them out: the
// 32-bit build has the 28-byte records and the 5-byte detail record, the
// 64-bit build the larger ones that its SetupAPI insists on.
static_assert(sizeof(void*) != 4 ||
              (sizeof(SP_DEVINFO_DATA) == 28 && sizeof(SP_DEVICE_INTERFACE_DATA) == 28 &&
               sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 5));
static_assert(sizeof(void*) != 8 ||
              (sizeof(SP_DEVINFO_DATA) == 32 && sizeof(SP_DEVICE_INTERFACE_DATA) == 32 &&
               sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 8));

const GUID USB_DRIVER_GUID = {
    0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};

const DeviceApi kSystemDeviceApi = {
    SetupDiGetClassDevsA,
    SetupDiEnumDeviceInfo,
    SetupDiGetDeviceRegistryPropertyA,
    SetupDiEnumDeviceInterfaces,
    SetupDiGetDeviceInterfaceDetailA,
    SetupDiGetDeviceInstanceIdA,
    SetupDiDestroyDeviceInfoList,
    CreateFileA,
    CloseHandle,
    OpenWin32Link,
};

namespace {

constexpr DWORD kReadWrite = GENERIC_READ | GENERIC_WRITE;
constexpr DWORD kShareReadWrite = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr size_t kPathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);

// The interface's device path into `devName` (kDevicePathSize bytes), and
// its device into `device` when one is asked for. False when the record
// cannot be read or its path would not fit with its NUL.
bool ReadInterfacePath(const DeviceApi& api, HDEVINFO info, PSP_DEVICE_INTERFACE_DATA interfaceData,
                       char* devName, PSP_DEVINFO_DATA device) {
  // A failed size query leaves no size to trust: without this test a record
  // too small for its own size field would be allocated and written.
  DWORD required = 0;
  if (!api.getDeviceInterfaceDetail(info, interfaceData, nullptr, 0, &required, nullptr) &&
      GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
    return false;
  }
  if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) return false;

  // DWORDs keep the record aligned for its size field.
  const size_t words = (required + sizeof(DWORD) - 1) / sizeof(DWORD);
  std::unique_ptr<DWORD[]> buffer(new (std::nothrow) DWORD[words]());
  if (!buffer) return false;
  auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(buffer.get());
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
  if (!api.getDeviceInterfaceDetail(info, interfaceData, detail, required, nullptr, device)) {
    return false;
  }

  // The path may fill the record to its end without a NUL; a path that would
  // not fit the path buffer with its NUL cannot be used and is not copied.
  const size_t length = strnlen(detail->DevicePath, required - kPathOffset);
  if (length >= kDevicePathSize) return false;
  std::memcpy(devName, detail->DevicePath, length);
  devName[length] = '\0';
  return true;
}

// Calls `visit` with each interface of class `guid` present, in the system's
// order, until it returns true.
void ForEachInterface(const DeviceApi& api, const GUID* guid,
                      const std::function<bool(HDEVINFO, PSP_DEVICE_INTERFACE_DATA)>& visit) {
  HDEVINFO info = api.getClassDevs(guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  // Without a list every fetch below would fail with some other error than
  // "no more items", and the search would step through 2^31 indices.
  if (info == INVALID_HANDLE_VALUE) return;

  for (DWORD index = 0; index < 0x7FFFFFFF; ++index) {
    SP_DEVICE_INTERFACE_DATA interfaceData{};
    interfaceData.cbSize = sizeof(SP_DEVICE_INTERFACE_DATA);
    if (!api.enumDeviceInterfaces(info, nullptr, guid, index, &interfaceData)) {
      if (GetLastError() == ERROR_NO_MORE_ITEMS) break;
      continue;
    }
    if (visit(info, &interfaceData)) break;
  }
  api.destroyDeviceInfoList(info);
}

// The first text of a device property (a REG_MULTI_SZ holds several, the
// most telling first); empty when the device has none.
std::string TextProperty(const DeviceApi& api, HDEVINFO info, PSP_DEVINFO_DATA device,
                         DWORD property) {
  char text[kPropertySize] = {};
  if (!api.getDeviceRegistryProperty(info, device, property, nullptr, reinterpret_cast<PBYTE>(text),
                                     sizeof text, nullptr)) {
    return {};
  }
  return std::string(text, strnlen(text, sizeof text));
}

// Where the device is plugged in. The location paths
// ("PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USB(3)") name the ports from the
// root down and stay the same across restarts; systems without them give the
// port and hub ("Port_#0003.Hub_#0002"), whose hub numbers are handed out as
// the hubs come up.
std::string LocationOf(const DeviceApi& api, HDEVINFO info, PSP_DEVINFO_DATA device) {
  std::string location = TextProperty(api, info, device, SPDRP_LOCATION_PATHS);
  if (location.empty()) location = TextProperty(api, info, device, SPDRP_LOCATION_INFORMATION);
  return location;
}

UsbPlc UsbPlcOf(const DeviceApi& api, HDEVINFO info, PSP_DEVINFO_DATA device,
                const std::string& path) {
  UsbPlc plc;
  plc.location = LocationOf(api, info, device);
  plc.devicePath = path;
  // The path holds the ids too (it passed the filter), for a device whose
  // hardware id cannot be read.
  auto ids = UsbIdsFrom(TextProperty(api, info, device, SPDRP_HARDWAREID));
  if (!ids) ids = UsbIdsFrom(path);
  if (ids) {
    plc.vendorId = ids->vendorId;
    plc.productId = ids->productId;
  }
  char instanceId[kPropertySize] = {};
  if (api.getDeviceInstanceId(info, device, instanceId, sizeof instanceId, nullptr)) {
    plc.serial =
        SerialFromInstanceId(std::string_view(instanceId, strnlen(instanceId, sizeof instanceId)));
  }
  plc.manufacturer = TextProperty(api, info, device, SPDRP_MFG);
  plc.product = TextProperty(api, info, device, SPDRP_DEVICEDESC);
  return plc;
}

}  // namespace

HANDLE OpenOneDevice(const DeviceApi& api, HDEVINFO info, PSP_DEVICE_INTERFACE_DATA interfaceData,
                     char* devName) {
  if (!ReadInterfacePath(api, info, interfaceData, devName, nullptr)) return INVALID_HANDLE_VALUE;
  if (!IsPlcDevicePath(devName)) return INVALID_HANDLE_VALUE;
  return api.createFile(devName, kReadWrite, kShareReadWrite, nullptr, OPEN_EXISTING, 0, nullptr);
}

HANDLE OpenUsbDevice(const DeviceApi& api, const GUID* guid, char* devName) {
  HANDLE found = INVALID_HANDLE_VALUE;
  ForEachInterface(api, guid, [&](HDEVINFO info, PSP_DEVICE_INTERFACE_DATA interfaceData) {
    found = OpenOneDevice(api, info, interfaceData, devName);
    return found != INVALID_HANDLE_VALUE;
  });
  return found;
}

std::vector<UsbPlc> ListUsbPlcs(const DeviceApi& api) {
  std::vector<UsbPlc> plcs;
  ForEachInterface(api, &USB_DRIVER_GUID, [&](HDEVINFO info, PSP_DEVICE_INTERFACE_DATA data) {
    char path[kDevicePathSize] = {};
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof(SP_DEVINFO_DATA);
    if (ReadInterfacePath(api, info, data, path, &device) && IsPlcDevicePath(path)) {
      plcs.push_back(UsbPlcOf(api, info, &device, path));
    }
    return false;
  });
  std::stable_sort(plcs.begin(), plcs.end(), [](const UsbPlc& a, const UsbPlc& b) {
    return LocationBefore(a.location, b.location);
  });
  return plcs;
}

LinkOpening OpenUsbPlcAt(const DeviceApi& api, const std::string& location, const Pause& pause) {
  if (location.empty()) return {nullptr, OpenFailure::kMissing, "no USB location given"};
  return OpenWithinReopenWindow(
      [&]() -> LinkOpening {
        for (const UsbPlc& plc : ListUsbPlcs(api)) {
          if (plc.location != location) continue;
          // The pipe path, as OpenMyDevPipe opens it: the device path and "\".
          LinkOpening opening = api.openLink((plc.devicePath + "\\").c_str(), kShareReadWrite, 0);
          if (!opening) opening.detail = plc.devicePath + ": " + opening.detail;
          return opening;
        }
        return {nullptr, OpenFailure::kNoDevice, "no USB PLC (vid_3e9a&pid_0001) at " + location};
      },
      pause);
}

int GetUsbDeviceFileName(const DeviceApi& api, const GUID* guid, char* devName) {
  HANDLE device = OpenUsbDevice(api, guid, devName);
  if (device == INVALID_HANDLE_VALUE) return 0;
  api.closeHandle(device);  // the open only proved that it opens
  return 1;
}

LinkOpening OpenMyDevPipe(const DeviceApi& api, const char* pipeName) {
  char devName[kDevicePathSize] = {};
  if (GetUsbDeviceFileName(api, &USB_DRIVER_GUID, devName) == 0) {
    return {nullptr, OpenFailure::kNoDevice, "no USB device vid_3e9a&pid_0001 opens"};
  }
  const size_t pathLength = std::strlen(devName);
  if (pipeName == nullptr) pipeName = "";
  const size_t pipeLength = std::strlen(pipeName);
  if (pathLength + 1 + pipeLength >= kDevicePathSize) {
    return {nullptr, OpenFailure::kOther, "the device path is too long"};
  }
  devName[pathLength] = '\\';
  std::memcpy(devName + pathLength + 1, pipeName, pipeLength + 1);
  return api.openLink(devName, kShareReadWrite, 0);
}

LinkOpening OpenMyDevPipe(const char* pipeName) {
  return OpenMyDevPipe(kSystemDeviceApi, pipeName);
}

std::string FindPlcDevicePath() {
  char devName[kDevicePathSize] = {};
  if (GetUsbDeviceFileName(kSystemDeviceApi, &USB_DRIVER_GUID, devName) == 0) return {};
  return devName;
}

std::vector<UsbPlc> ListUsbPlcs() { return ListUsbPlcs(kSystemDeviceApi); }

LinkOpening OpenUsbPlcAt(const std::string& location) {
  return OpenUsbPlcAt(kSystemDeviceApi, location, SleepFor);
}
