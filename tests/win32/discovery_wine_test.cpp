// SPDX-License-Identifier: MIT
// The system's own discovery calls in a wine prefix made for this test, first
// fresh, then with devices registered the way Windows registers them.
// run_discovery_wine_test.sh sets the stage in MORVIX_WINE_STAGE (and gives
// the combo box a display); without it every test here is skipped.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "discovery/ports.h"
#include "discovery/usb.h"
#include "discovery/usb_plc.h"
#include "discovery/win32_device_api.h"
#include "ui/port_list.h"
#include "ui/win32/combo_box_port_list.h"

namespace {

using Strings = std::vector<std::string>;

bool AtStage(const char* stage) {
  const char* current = std::getenv("MORVIX_WINE_STAGE");
  return current != nullptr && std::strcmp(current, stage) == 0;
}

TEST(FreshPrefix, ListsNoSerialPortAndFindsNoPlc) {
  if (!AtStage("fresh")) GTEST_SKIP() << "MORVIX_WINE_STAGE is not fresh";
  EXPECT_EQ(ListComPorts(), Strings{});
  EXPECT_EQ(OpenMyDevPipe("").link, nullptr);
  EXPECT_EQ(FindPlcDevicePath(), "");
}

// The main window's list is a sorted drop-down combo box: the port list
// operations must land there as entries, in the box's own order.
TEST(FreshPrefix, ComboBoxTakesTheFillAndTheUsbEntry) {
  if (!AtStage("fresh")) GTEST_SKIP() << "MORVIX_WINE_STAGE is not fresh";
  HWND box = CreateWindowExA(0, "COMBOBOX", "", WS_POPUP | CBS_DROPDOWNLIST | CBS_SORT, 0, 0, 100,
                             200, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
  ASSERT_NE(box, nullptr);
  auto entries = [box] {
    Strings texts;
    const LRESULT count = SendMessageA(box, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
      char text[64] = {};
      SendMessageA(box, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(text));
      texts.push_back(text);
    }
    return texts;
  };
  ComboBoxPortList list(box);
  RefillPortList(list, Strings{"COM3", "COM10", "COM1"});
  EXPECT_EQ(entries(), (Strings{"COM1", "COM10", "COM3"}));
  EXPECT_EQ(SendMessageA(box, CB_GETCURSEL, 0, 0), CB_ERR);
  RefillPortList(list, Strings{"COM4"});
  EXPECT_EQ(entries(), Strings{"COM4"});
  EnumUSBPort(list);
  EXPECT_EQ(entries(), Strings{"USB"});
  EXPECT_EQ(SendMessageA(box, CB_GETCURSEL, 0, 0), 0);
  DestroyWindow(box);
}

TEST(RegisteredDevices, SerialPortsAreListedByTheirFriendlyNames) {
  if (!AtStage("registered")) GTEST_SKIP() << "MORVIX_WINE_STAGE is not registered";
  EXPECT_EQ(ListComPorts(), (Strings{"COM5", "COM7"}));
}

// The PLC's interface is enumerated with its path; wine has no driver behind
// it, so the system cannot open it and no pipe opens.
Strings opened;
HANDLE WINAPI RecordingCreateFile(LPCSTR path, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD,
                                  HANDLE) {
  opened.push_back(path);
  return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x4242));
}
BOOL WINAPI RecordingCloseHandle(HANDLE) { return TRUE; }

TEST(RegisteredDevices, PlcInterfaceIsFoundButWithoutADriverDoesNotOpen) {
  if (!AtStage("registered")) GTEST_SKIP() << "MORVIX_WINE_STAGE is not registered";
  DeviceApi api = kSystemDeviceApi;
  api.createFile = RecordingCreateFile;
  api.closeHandle = RecordingCloseHandle;
  char devName[kDevicePathSize] = {};
  ASSERT_EQ(GetUsbDeviceFileName(api, &USB_DRIVER_GUID, devName), 1);
  const std::string path = devName;
  EXPECT_EQ(path.rfind(R"(\\?\usb#vid_3e9a&pid_0001#0001#)", 0), 0u) << path;
  EXPECT_EQ(opened, Strings{path});  // the other USB device is never opened

  EXPECT_EQ(OpenMyDevPipe("").link, nullptr);
  EXPECT_EQ(FindPlcDevicePath(), "");
}

// What wine's SetupAPI gives of a USB device: the location from its
// LocationInformation value (it has no location paths), the hardware id,
// the names, and the instance id whose last part is the serial number.
Strings linked;
LinkOpening RecordingOpenLink(const char* path, uint32_t, uint32_t) {
  linked.push_back(path);
  return {MakeInvalidLink(), OpenFailure::kNone, {}};
}

TEST(RegisteredDevices, PlcIsListedAndOpenedByItsLocation) {
  if (!AtStage("registered")) GTEST_SKIP() << "MORVIX_WINE_STAGE is not registered";
  const auto plcs = ListUsbPlcs();
  ASSERT_EQ(plcs.size(), 1u);
  const UsbPlc& plc = plcs[0];
  EXPECT_EQ(plc.location, "Port_#0002.Hub_#0001");
  EXPECT_EQ(plc.devicePath.rfind(R"(\\?\usb#vid_3e9a&pid_0001#0001#)", 0), 0u) << plc.devicePath;
  EXPECT_EQ(plc.vendorId, "3e9a");
  EXPECT_EQ(plc.productId, "0001");
  EXPECT_EQ(plc.serial, "0001");
  EXPECT_EQ(plc.manufacturer, "Morvix");
  EXPECT_EQ(plc.product, "Morvix PLC");
  EXPECT_EQ(SurveyPorts().usbPlcs.size(), 1u);

  DeviceApi api = kSystemDeviceApi;
  api.openLink = RecordingOpenLink;
  EXPECT_NE(OpenUsbPlcAt(api, "Port_#0002.Hub_#0001", [](std::chrono::milliseconds) {}).link,
            nullptr);
  EXPECT_EQ(linked, Strings{plc.devicePath + "\\"});
  // Without a driver behind it the system's own open fails, through the window.
  const LinkOpening opening = OpenUsbPlcAt("Port_#0002.Hub_#0001");
  EXPECT_EQ(opening.link, nullptr);
  EXPECT_NE(opening.failure, OpenFailure::kNoDevice);
}

}  // namespace
