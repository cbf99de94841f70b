// Finding the PLC among the USB device interfaces present, and opening it as
// the burn's link. The search opens the device once to prove it opens, closes
// it, and the pipe is then opened on the device path followed by "\" and the
// pipe name.
#include <cstddef>
#include <cstring>
#include <new>

#include "discovery/port_names.h"
#include "discovery/usb.h"
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
    SetupDiDestroyDeviceInfoList,
    CreateFileA,
    CloseHandle,
    OpenWin32Link,
};

namespace {

constexpr DWORD kReadWrite = GENERIC_READ | GENERIC_WRITE;
constexpr DWORD kShareReadWrite = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr size_t kPathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);

}  // namespace

HANDLE OpenOneDevice(const DeviceApi& api, HDEVINFO info, PSP_DEVICE_INTERFACE_DATA interfaceData,
                     char* devName) {
  // A failed size query leaves no size to trust: without this test a record
  // too small for its own size field would be allocated and written.
  DWORD required = 0;
  if (!api.getDeviceInterfaceDetail(info, interfaceData, nullptr, 0, &required, nullptr) &&
      GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
    return INVALID_HANDLE_VALUE;
  }
  if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) return INVALID_HANDLE_VALUE;

  // DWORDs keep the record aligned for its size field.
  const size_t words = (required + sizeof(DWORD) - 1) / sizeof(DWORD);
  std::unique_ptr<DWORD[]> buffer(new (std::nothrow) DWORD[words]());
  if (!buffer) return INVALID_HANDLE_VALUE;
  auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(buffer.get());
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
  if (!api.getDeviceInterfaceDetail(info, interfaceData, detail, required, nullptr, nullptr)) {
    return INVALID_HANDLE_VALUE;
  }

  // The path may fill the record to its end without a NUL; a path that would
  // not fit the path buffer with its NUL cannot be used and is not copied.
  const size_t length = strnlen(detail->DevicePath, required - kPathOffset);
  if (length >= kDevicePathSize) return INVALID_HANDLE_VALUE;
  std::memcpy(devName, detail->DevicePath, length);
  devName[length] = '\0';

  if (!IsPlcDevicePath(std::string_view(devName, length))) return INVALID_HANDLE_VALUE;
  return api.createFile(devName, kReadWrite, kShareReadWrite, nullptr, OPEN_EXISTING, 0, nullptr);
}

HANDLE OpenUsbDevice(const DeviceApi& api, const GUID* guid, char* devName) {
  HDEVINFO info = api.getClassDevs(guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  // Without a list every fetch below would fail with some other error than
  // "no more items", and the search would step through 2^31 indices.
  if (info == INVALID_HANDLE_VALUE) return INVALID_HANDLE_VALUE;

  HANDLE found = INVALID_HANDLE_VALUE;
  for (DWORD index = 0; index < 0x7FFFFFFF; ++index) {
    SP_DEVICE_INTERFACE_DATA interfaceData{};
    interfaceData.cbSize = sizeof(SP_DEVICE_INTERFACE_DATA);
    if (!api.enumDeviceInterfaces(info, nullptr, guid, index, &interfaceData)) {
      if (GetLastError() == ERROR_NO_MORE_ITEMS) break;
      continue;
    }
    found = OpenOneDevice(api, info, &interfaceData, devName);
    if (found != INVALID_HANDLE_VALUE) break;
  }
  api.destroyDeviceInfoList(info);
  return found;
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
