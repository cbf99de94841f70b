// SPDX-License-Identifier: MIT
// The Windows side of discovery. The SetupAPI search runs against fakes that
// record every call in order and note every argument the system would reject
// or that differs from what the search must pass; the system's own calls run
// under wine as well, where no PLC is present.
#include <gtest/gtest.h>
// clang-format off
#include <windows.h>
#include <initguid.h>
#include <usbiodef.h>
// clang-format on

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "discovery/ports.h"
#include "discovery/usb.h"
#include "discovery/usb_plc.h"
#include "discovery/win32_device_api.h"
#include "ui/port_list.h"

namespace {

using Strings = std::vector<std::string>;

struct FakeInterface {
  std::string path;
  DWORD fetchError = 0;  // fetching this index fails with this error
  enum class SizeQuery { kAnswers, kFails, kTooSmall } sizeQuery = SizeQuery::kAnswers;
  bool detailFails = false;
  bool opens = true;
  // Its device's registry properties (a REG_MULTI_SZ with its NULs) and
  // instance id.
  std::map<DWORD, std::string> properties = {};
  std::optional<std::string> instanceId = std::nullopt;
};

// Devices of the interface list are numbered from here, those of the device
// list from 0.
constexpr DWORD kInterfaceDevice = 0x100;

struct Fake {
  // What the system holds.
  bool listFails = false;
  std::vector<FakeInterface> interfaces;
  std::vector<std::optional<std::string>> friendlyNames;  // per device; nullopt: none
  bool linkOpens = true;
  // What the code under test did.
  Strings calls;
  Strings faults;
  std::optional<GUID> classGuid;
  DWORD classFlags = 0;
  uint32_t linkShareMode = 0;
  uint32_t linkFlags = 0;
  int openHandles = 0;
};

Fake fake;
const HDEVINFO kList = reinterpret_cast<HDEVINFO>(static_cast<uintptr_t>(0x5150));

void Fault(const std::string& what) { fake.faults.push_back(what); }

HDEVINFO WINAPI FakeGetClassDevs(const GUID* guid, PCSTR enumerator, HWND parent, DWORD flags) {
  fake.calls.push_back("list");
  if (guid != nullptr) fake.classGuid = *guid;
  fake.classFlags = flags;
  if (enumerator != nullptr || parent != nullptr) Fault("list: enumerator or window given");
  if (fake.listFails) {
    SetLastError(ERROR_INVALID_FLAGS);
    return static_cast<HDEVINFO>(INVALID_HANDLE_VALUE);
  }
  return kList;
}

BOOL WINAPI FakeEnumDeviceInfo(HDEVINFO info, DWORD index, PSP_DEVINFO_DATA device) {
  if (info != kList) Fault("device: not the list");
  if (device->cbSize != sizeof(SP_DEVINFO_DATA)) Fault("device: record size");
  if (index >= fake.friendlyNames.size()) {
    SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
  }
  device->DevInst = index;
  return TRUE;
}

// A property of an interface's device: whole into the buffer or not at all.
BOOL InterfaceDeviceProperty(DWORD device, DWORD property, PDWORD type, PBYTE buffer, DWORD size,
                             PDWORD required) {
  fake.calls.push_back("property " + std::to_string(device - kInterfaceDevice) + " " +
                       std::to_string(property));
  if (type != nullptr || required != nullptr) Fault("property: type or size output given");
  const auto& properties = fake.interfaces.at(device - kInterfaceDevice).properties;
  const auto value = properties.find(property);
  if (value == properties.end()) {
    SetLastError(ERROR_INVALID_DATA);
    return FALSE;
  }
  if (value->second.size() > size) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  std::memcpy(buffer, value->second.data(), value->second.size());
  return TRUE;
}

BOOL WINAPI FakeGetDeviceRegistryProperty(HDEVINFO info, PSP_DEVINFO_DATA device, DWORD property,
                                          PDWORD type, PBYTE buffer, DWORD size, PDWORD required) {
  if (info != kList) Fault("property: not the list");
  if (device->DevInst >= kInterfaceDevice) {
    return InterfaceDeviceProperty(device->DevInst, property, type, buffer, size, required);
  }
  if (property != SPDRP_FRIENDLYNAME) Fault("property: not the friendly name");
  if (type != nullptr || required != nullptr) Fault("property: type or size output given");
  if (size != kFriendlyNameSize) Fault("property: buffer size " + std::to_string(size));
  for (DWORD i = 0; i < size; ++i) {
    if (buffer[i] != 0) {
      Fault("property: buffer not cleared");
      break;
    }
  }
  const auto& name = fake.friendlyNames.at(device->DevInst);
  if (!name) {
    SetLastError(ERROR_INVALID_DATA);
    return FALSE;
  }
  // A name that fills the buffer arrives without its NUL.
  std::memcpy(buffer, name->c_str(), std::min<size_t>(size, name->size() + 1));
  return TRUE;
}

BOOL WINAPI FakeEnumDeviceInterfaces(HDEVINFO info, PSP_DEVINFO_DATA device, const GUID* guid,
                                     DWORD index, PSP_DEVICE_INTERFACE_DATA data) {
  fake.calls.push_back("fetch " + std::to_string(index));
  if (device != nullptr) Fault("fetch: device filter given");
  if (guid == nullptr || *guid != GUID_DEVINTERFACE_USB_DEVICE) Fault("fetch: class");
  if (data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) Fault("fetch: record size");
  // A search that fetches without a list would go on for 2^31 indices;
  // the fake ends it at once.
  if (info != kList) Fault("fetch: no list");
  if (info != kList || index >= fake.interfaces.size()) {
    SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
  }
  if (fake.interfaces[index].fetchError != 0) {
    SetLastError(fake.interfaces[index].fetchError);
    return FALSE;
  }
  data->Reserved = index + 1;
  return TRUE;
}

BOOL WINAPI FakeGetDeviceInterfaceDetail(HDEVINFO info, PSP_DEVICE_INTERFACE_DATA data,
                                         PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD size,
                                         PDWORD required, PSP_DEVINFO_DATA device) {
  if (info != kList) Fault("detail: not the list");
  const size_t index = data->Reserved - 1;
  const FakeInterface& interface = fake.interfaces.at(index);
  const DWORD needed = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) +
                                          interface.path.size() + 1);
  if (detail == nullptr) {
    fake.calls.push_back("size " + std::to_string(index));
    if (size != 0 || required == nullptr) Fault("size query: arguments");
    if (interface.sizeQuery == FakeInterface::SizeQuery::kFails) {
      SetLastError(ERROR_INVALID_USER_BUFFER);
      return FALSE;
    }
    *required = interface.sizeQuery == FakeInterface::SizeQuery::kTooSmall ? 2 : needed;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  fake.calls.push_back("detail " + std::to_string(index) + (device != nullptr ? " +device" : ""));
  if (device != nullptr && device->cbSize != sizeof(SP_DEVINFO_DATA)) Fault("detail: device size");
  if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) Fault("detail: record size");
  if (size < needed) Fault("detail: buffer smaller than the size reported");
  if (interface.detailFails || size < needed) {
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  std::memcpy(detail->DevicePath, interface.path.c_str(), interface.path.size() + 1);
  if (device != nullptr) device->DevInst = kInterfaceDevice + index;
  return TRUE;
}

BOOL WINAPI FakeGetDeviceInstanceId(HDEVINFO info, PSP_DEVINFO_DATA device, PSTR id, DWORD size,
                                    PDWORD required) {
  if (info != kList) Fault("instance id: not the list");
  if (required != nullptr) Fault("instance id: size output given");
  if (device->DevInst < kInterfaceDevice) Fault("instance id: not an interface's device");
  const auto& instanceId = fake.interfaces.at(device->DevInst - kInterfaceDevice).instanceId;
  if (!instanceId || instanceId->size() >= size) {
    SetLastError(instanceId ? ERROR_INSUFFICIENT_BUFFER : ERROR_INVALID_DATA);
    return FALSE;
  }
  std::memcpy(id, instanceId->c_str(), instanceId->size() + 1);
  return TRUE;
}

BOOL WINAPI FakeDestroyDeviceInfoList(HDEVINFO info) {
  fake.calls.push_back("release");
  if (info != kList) Fault("release: not the list");
  return TRUE;
}

HANDLE WINAPI FakeCreateFile(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                             DWORD disposition, DWORD flags, HANDLE templateFile) {
  fake.calls.push_back(std::string("open ") + path);
  if (access != 0xC0000000 || share != 3 || security != nullptr || disposition != OPEN_EXISTING ||
      flags != 0 || templateFile != nullptr) {
    Fault("open: arguments");
  }
  for (size_t i = 0; i < fake.interfaces.size(); ++i) {
    if (fake.interfaces[i].path == path && fake.interfaces[i].opens) {
      ++fake.openHandles;
      return reinterpret_cast<HANDLE>(0x1000 + i);
    }
  }
  SetLastError(ERROR_SHARING_VIOLATION);
  return INVALID_HANDLE_VALUE;
}

BOOL WINAPI FakeCloseHandle(HANDLE handle) {
  fake.calls.push_back("close");
  if (handle == INVALID_HANDLE_VALUE) Fault("close: invalid handle");
  --fake.openHandles;
  return TRUE;
}

LinkOpening FakeOpenLink(const char* path, uint32_t shareMode, uint32_t flags) {
  fake.calls.push_back(std::string("link ") + path);
  fake.linkShareMode = shareMode;
  fake.linkFlags = flags;
  if (fake.linkOpens) return {MakeInvalidLink(), OpenFailure::kNone, {}};
  return {nullptr, OpenFailure::kBusy, "in use"};
}

const DeviceApi kFakeApi = {FakeGetClassDevs,
                            FakeEnumDeviceInfo,
                            FakeGetDeviceRegistryProperty,
                            FakeEnumDeviceInterfaces,
                            FakeGetDeviceInterfaceDetail,
                            FakeGetDeviceInstanceId,
                            FakeDestroyDeviceInfoList,
                            FakeCreateFile,
                            FakeCloseHandle,
                            FakeOpenLink};

const std::string kPlcA = R"(\\?\usb#vid_3e9a&pid_0001#a1#{a5dcbf10-6530-11d2-901f-00c04fb951ed})";
const std::string kPlcB = R"(\\?\usb#vid_3e9a&pid_0001#b2#{a5dcbf10-6530-11d2-901f-00c04fb951ed})";
const std::string kHub = R"(\\?\usb#vid_05e3&pid_0608#5&1#{a5dcbf10-6530-11d2-901f-00c04fb951ed})";

// Pauses that take no time and are counted.
struct CountingPause {
  int count = 0;
  std::chrono::milliseconds total{0};
  std::function<void(int)> onPause;
  Pause AsPause() {
    return [this](std::chrono::milliseconds pause) {
      ++count;
      total += pause;
      if (onPause) onPause(count);
    };
  }
};

class UsbSearch : public ::testing::Test {
 protected:
  void SetUp() override { fake = Fake{}; }
  void TearDown() override {
    EXPECT_EQ(fake.faults, Strings{});
    EXPECT_EQ(fake.openHandles, 0) << "the search's own handle must be closed";
  }
  static bool Called(const std::string& call) {
    return std::find(fake.calls.begin(), fake.calls.end(), call) != fake.calls.end();
  }
  static size_t CountStartingWith(const std::string& prefix) {
    return std::count_if(fake.calls.begin(), fake.calls.end(),
                         [&](const std::string& c) { return c.rfind(prefix, 0) == 0; });
  }
};

TEST_F(UsbSearch, GoesInEnumerationOrderAndOpensTheFirstPlcWithAnEmptyPipeName) {
  fake.interfaces = {{kHub}, {kPlcA}, {kPlcB}};
  auto link = OpenMyDevPipe(kFakeApi, "").link;
  ASSERT_NE(link, nullptr);
  EXPECT_EQ(fake.calls,
            (Strings{"list", "fetch 0", "size 0", "detail 0", "fetch 1", "size 1", "detail 1",
                     "open " + kPlcA, "release", "close", "link " + kPlcA + "\\"}));
  ASSERT_TRUE(fake.classGuid.has_value());
  EXPECT_EQ(*fake.classGuid, GUID_DEVINTERFACE_USB_DEVICE);
  EXPECT_EQ(fake.classFlags, 0x12u);
  EXPECT_EQ(fake.linkShareMode, 3u);
  EXPECT_EQ(fake.linkFlags, 0u);
}

TEST_F(UsbSearch, PipeNameFollowsTheBackslash) {
  fake.interfaces = {{kPlcA}};
  ASSERT_NE(OpenMyDevPipe(kFakeApi, "PIPE01").link, nullptr);
  EXPECT_EQ(fake.calls.back(), "link " + kPlcA + "\\PIPE01");
}

TEST_F(UsbSearch, PathIsCopiedForTheCaller) {
  fake.interfaces = {{kHub}, {kPlcB}};
  char devName[kDevicePathSize];
  std::memset(devName, 'x', sizeof devName);
  EXPECT_EQ(GetUsbDeviceFileName(kFakeApi, &USB_DRIVER_GUID, devName), 1);
  EXPECT_STREQ(devName, kPlcB.c_str());
}

TEST_F(UsbSearch, PathsWithoutTheExactFilterAreNeverOpened) {
  fake.interfaces = {{kHub},
                     {R"(\\?\USB#VID_3E9A&PID_0001#a1#{a5dcbf10-6530-11d2-901f-00c04fb951ed})"},
                     {R"(\\?\usb#vid_3e9a&pid_0002#a1#{a5dcbf10-6530-11d2-901f-00c04fb951ed})"}};
  EXPECT_EQ(OpenMyDevPipe(kFakeApi, "").link, nullptr);
  EXPECT_EQ(CountStartingWith("open"), 0u);
  EXPECT_EQ(CountStartingWith("link"), 0u);
  EXPECT_EQ(fake.calls.back(), "release");
  EXPECT_EQ(CountStartingWith("fetch"), 4u);  // three, then "no more items"
}

TEST_F(UsbSearch, PlcThatCannotBeOpenedIsPassedOverForTheNext) {
  fake.interfaces = {{kPlcA}, {kPlcB}};
  fake.interfaces[0].opens = false;
  ASSERT_NE(OpenMyDevPipe(kFakeApi, "").link, nullptr);
  EXPECT_TRUE(Called("open " + kPlcA));
  EXPECT_EQ(fake.calls.back(), "link " + kPlcB + "\\");
}

TEST_F(UsbSearch, NoPlcThatOpensOpensNoPipe) {
  fake.interfaces = {{kPlcA}};
  fake.interfaces[0].opens = false;
  EXPECT_EQ(OpenMyDevPipe(kFakeApi, "").link, nullptr);
  EXPECT_EQ(CountStartingWith("link"), 0u);
}

TEST_F(UsbSearch, FailingPipeOpenGivesNoLink) {
  fake.interfaces = {{kPlcA}};
  fake.linkOpens = false;
  EXPECT_EQ(OpenMyDevPipe(kFakeApi, "").link, nullptr);
  EXPECT_EQ(fake.calls.back(), "link " + kPlcA + "\\");
}

TEST_F(UsbSearch, UnobtainableInterfaceListEndsAtOnceWithNoDevice) {
  fake.listFails = true;
  fake.interfaces = {{kPlcA}};
  char devName[kDevicePathSize] = {};
  EXPECT_EQ(OpenUsbDevice(kFakeApi, &USB_DRIVER_GUID, devName), INVALID_HANDLE_VALUE);
  EXPECT_EQ(OpenMyDevPipe(kFakeApi, "").link, nullptr);
  EXPECT_EQ(fake.calls, (Strings{"list", "list"}));
}

TEST_F(UsbSearch, FetchErrorOtherThanNoMoreItemsSkipsOnlyThatIndex) {
  fake.interfaces = {{kPlcA}, {kPlcB}};
  fake.interfaces[0].fetchError = ERROR_INVALID_DATA;
  ASSERT_NE(OpenMyDevPipe(kFakeApi, "").link, nullptr);
  EXPECT_EQ(fake.calls.back(), "link " + kPlcB + "\\");
  EXPECT_FALSE(Called("size 0"));
}

class UnusableDetail : public UsbSearch, public ::testing::WithParamInterface<int> {};

// 0: the size query fails; 1: it reports less than the record's fixed part;
// 2: the size is known but the record cannot be read.
TEST_P(UnusableDetail, MakesTheInterfaceNoMatch) {
  fake.interfaces = {{kPlcA}, {kPlcB}};
  switch (GetParam()) {
    case 0: fake.interfaces[0].sizeQuery = FakeInterface::SizeQuery::kFails; break;
    case 1: fake.interfaces[0].sizeQuery = FakeInterface::SizeQuery::kTooSmall; break;
    case 2: fake.interfaces[0].detailFails = true; break;
  }
  ASSERT_NE(OpenMyDevPipe(kFakeApi, "").link, nullptr);
  EXPECT_FALSE(Called("open " + kPlcA));
  EXPECT_EQ(Called("detail 0"), GetParam() == 2);
  EXPECT_EQ(fake.calls.back(), "link " + kPlcB + "\\");
}

INSTANTIATE_TEST_SUITE_P(Kinds, UnusableDetail, ::testing::Values(0, 1, 2));

// A PLC path of the given length: the filter, padded.
std::string PlcPathOfLength(size_t length) {
  std::string path = R"(\\?\usb#vid_3e9a&pid_0001#)";
  path.resize(length, 'a');
  return path;
}

TEST_F(UsbSearch, PathThatFillsTheBufferLeavesNoRoomForThePipeSuffix) {
  // 298 characters, "\" and the NUL fill the 300 bytes exactly.
  fake.interfaces = {{PlcPathOfLength(298)}};
  ASSERT_NE(OpenMyDevPipe(kFakeApi, "").link, nullptr);
  EXPECT_EQ(fake.calls.back(), "link " + PlcPathOfLength(298) + "\\");

  fake.calls.clear();
  fake.interfaces = {{PlcPathOfLength(299)}};
  EXPECT_EQ(OpenMyDevPipe(kFakeApi, "").link, nullptr);
  EXPECT_TRUE(Called("open " + PlcPathOfLength(299)));  // the device itself is there
  EXPECT_EQ(CountStartingWith("link"), 0u);
}

TEST_F(UsbSearch, PathLongerThanTheBufferIsNeitherCopiedNorOpened) {
  fake.interfaces = {{PlcPathOfLength(300)}, {kPlcB}};
  char devName[kDevicePathSize + 16];
  std::memset(devName, 'x', sizeof devName);
  EXPECT_EQ(GetUsbDeviceFileName(kFakeApi, &USB_DRIVER_GUID, devName), 1);
  EXPECT_STREQ(devName, kPlcB.c_str());
  EXPECT_EQ(CountStartingWith("open"), 1u);
}

class ComPortList : public UsbSearch {};

TEST_F(ComPortList, NamesComeFromTheFriendlyNamesOfAllDevicesPresent) {
  std::string filling(kFriendlyNameSize, 'x');  // fills the buffer, no NUL
  filling.replace(1000, 6, "(COM9)");
  fake.friendlyNames = {"Communications Port (COM1)",
                        std::nullopt,
                        "USB Serial Port (COM12)",
                        "PCI Express Root Port",
                        "Standard Serial over Bluetooth link (COM4) (A)",
                        "USB Serial Port (com3)",
                        "Virtual port (COM1234567)",
                        filling};
  EXPECT_EQ(ListComPorts(kFakeApi), (Strings{"COM1", "COM12", "COM4", "COM9"}));
  EXPECT_FALSE(fake.classGuid.has_value());
  EXPECT_EQ(fake.classFlags, 6u);
  EXPECT_EQ(fake.calls, (Strings{"list", "release"}));
}

TEST_F(ComPortList, UnobtainableDeviceListGivesNoListAtAll) {
  fake.listFails = true;
  fake.friendlyNames = {"Communications Port (COM1)"};
  EXPECT_EQ(ListComPorts(kFakeApi), std::nullopt);
  EXPECT_EQ(fake.calls, Strings{"list"});

  class Counting final : public PortList {
   public:
    void DeleteFirst() override { ++changes; }
    void Add(const std::string&) override { ++changes; }
    void SelectFirst() override { ++changes; }
    int changes = 0;
  } list;
  RefillPortList(list, ListComPorts(kFakeApi));
  EXPECT_EQ(list.changes, 0);
}

// --- USB PLCs by location -----------------------------------------------------

using namespace std::string_literals;

const std::string kPlcC =
    R"(\\?\usb#vid_3e9a&pid_0001#5&2c4f3e1&0&4#{a5dcbf10-6530-11d2-901f-00c04fb951ed})";
const std::string kPathsA = "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USB(3)";

class UsbPlcList : public UsbSearch {
 protected:
  void SetUp() override {
    UsbSearch::SetUp();
    // A hub, and three PLCs: behind the hub with a serial number and every
    // property; with only the older location and no hardware id; and one
    // without any location.
    FakeInterface hub{kHub};
    hub.properties[SPDRP_LOCATION_PATHS] = "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)\0\0"s;
    FakeInterface plcA{kPlcA};
    plcA.properties[SPDRP_LOCATION_PATHS] = kPathsA + "\0ACPI(_SB_)#ACPI(PCI0)#ACPI(XHC_)\0\0"s;
    plcA.properties[SPDRP_LOCATION_INFORMATION] = "Port_#0003.Hub_#0002\0"s;
    plcA.properties[SPDRP_HARDWAREID] =
        "USB\\VID_3E9A&PID_0001&REV_0120\0USB\\VID_3E9A&PID_0001\0\0"s;
    plcA.properties[SPDRP_MFG] = "Morvix\0"s;
    plcA.properties[SPDRP_DEVICEDESC] = "Morvix PLC\0"s;
    plcA.instanceId = R"(USB\VID_3E9A&PID_0001\MX0042)";
    FakeInterface plcB{kPlcB};
    plcB.properties[SPDRP_LOCATION_INFORMATION] = "Port_#0001.Hub_#0001\0"s;
    plcB.instanceId = R"(USB\VID_3E9A&PID_0001\5&2C4F3E1&0&1)";
    FakeInterface plcC{kPlcC};
    fake.interfaces = {hub, plcA, plcB, plcC};
  }
};

TEST_F(UsbPlcList, ListsEveryPlcWithItsLocationIdsSerialAndNamesOpeningNone) {
  const auto plcs = ListUsbPlcs(kFakeApi);
  ASSERT_EQ(plcs.size(), 3u);
  // Sorted by location; the one without comes first.
  EXPECT_EQ(plcs[0].location, "");
  EXPECT_EQ(plcs[0].devicePath, kPlcC);
  EXPECT_EQ(plcs[0].vendorId, "3e9a");  // from the path when no hardware id is given
  EXPECT_EQ(plcs[0].productId, "0001");
  EXPECT_EQ(plcs[1].location, kPathsA);  // the paths before the older location
  EXPECT_EQ(plcs[1].devicePath, kPlcA);
  EXPECT_EQ(plcs[1].serial, "MX0042");
  EXPECT_EQ(plcs[1].manufacturer, "Morvix");
  EXPECT_EQ(plcs[1].product, "Morvix PLC");
  EXPECT_EQ(plcs[2].location, "Port_#0001.Hub_#0001");
  EXPECT_EQ(plcs[2].devicePath, kPlcB);
  EXPECT_EQ(plcs[2].serial, "");  // an id Windows made up, not a serial number
  EXPECT_EQ(plcs[2].manufacturer, "");

  EXPECT_EQ(CountStartingWith("open"), 0u);
  EXPECT_EQ(CountStartingWith("link"), 0u);
  EXPECT_TRUE(Called("detail 1 +device"));
  EXPECT_FALSE(Called("property 0 " + std::to_string(SPDRP_LOCATION_PATHS)));  // not a PLC
  EXPECT_EQ(fake.classFlags, 0x12u);
  EXPECT_EQ(fake.calls.back(), "release");
}

TEST_F(UsbPlcList, PlcIsOpenedAtItsLocationOnItsPipePath) {
  for (const std::string& location : {kPathsA, "Port_#0001.Hub_#0001"s}) {
    fake.calls.clear();
    CountingPause pauses;
    ASSERT_NE(OpenUsbPlcAt(kFakeApi, location, pauses.AsPause()).link, nullptr) << location;
    EXPECT_EQ(fake.calls.back(), "link " + (location == kPathsA ? kPlcA : kPlcB) + "\\");
    EXPECT_EQ(CountStartingWith("link"), 1u);
    EXPECT_EQ(pauses.count, 0);
  }
  EXPECT_EQ(fake.linkShareMode, 3u);
  EXPECT_EQ(fake.linkFlags, 0u);
}

// A replug: the PLC is gone for a while, then back at its location under
// another path (another instance id).
TEST_F(UsbPlcList, ReplugWithinTheWindowIsWaitedFor) {
  FakeInterface back = fake.interfaces[1];
  back.path = R"(\\?\usb#vid_3e9a&pid_0001#mx0042#{a5dcbf10-6530-11d2-901f-00c04fb951ed})";
  fake.interfaces.erase(fake.interfaces.begin() + 1);
  CountingPause pauses;
  pauses.onPause = [&](int count) {
    if (count == 6) fake.interfaces.push_back(back);
  };
  ASSERT_NE(OpenUsbPlcAt(kFakeApi, kPathsA, pauses.AsPause()).link, nullptr);
  EXPECT_EQ(pauses.count, 6);
  EXPECT_EQ(fake.calls.back(), "link " + back.path + "\\");
}

TEST_F(UsbPlcList, NoPlcAtTheLocationOrAPipeThatWillNotOpenFailsAfterTheWindow) {
  CountingPause pauses;
  LinkOpening opening =
      OpenUsbPlcAt(kFakeApi, "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)", pauses.AsPause());
  EXPECT_EQ(opening.link, nullptr);
  EXPECT_EQ(opening.failure, OpenFailure::kNoDevice);
  EXPECT_EQ(pauses.total, kReopenWindow);
  EXPECT_EQ(CountStartingWith("link"), 0u);

  fake.linkOpens = false;
  pauses = CountingPause{};
  opening = OpenUsbPlcAt(kFakeApi, kPathsA, pauses.AsPause());
  EXPECT_EQ(opening.link, nullptr);
  EXPECT_EQ(opening.failure, OpenFailure::kBusy);
  EXPECT_EQ(opening.detail, kPlcA + ": in use");
  EXPECT_EQ(pauses.total, kReopenWindow);

  pauses = CountingPause{};
  opening = OpenUsbPlcAt(kFakeApi, "", pauses.AsPause());
  EXPECT_EQ(opening.failure, OpenFailure::kMissing);
  EXPECT_EQ(pauses.count, 0);
  EXPECT_EQ(CountStartingWith("list"), 2 * static_cast<size_t>(kReopenWindow / kReopenPause + 1));
}

TEST_F(UsbPlcList, PropertiesThatCannotBeReadLeaveTheirFieldsEmpty) {
  // Too long for the buffer, or no instance id at all.
  fake.interfaces[1].properties[SPDRP_LOCATION_PATHS] = std::string(kPropertySize + 1, 'x');
  fake.interfaces[1].properties[SPDRP_HARDWAREID] = std::string(kPropertySize + 1, 'x');
  fake.interfaces[1].instanceId.reset();
  const auto plcs = ListUsbPlcs(kFakeApi);
  ASSERT_EQ(plcs.size(), 3u);
  EXPECT_EQ(plcs[1].location, "Port_#0001.Hub_#0001");
  EXPECT_EQ(plcs[2].location, "Port_#0003.Hub_#0002");
  EXPECT_EQ(plcs[2].devicePath, kPlcA);
  EXPECT_EQ(plcs[2].vendorId, "3e9a");
  EXPECT_EQ(plcs[2].serial, "");
}

TEST(UsbDriverGuid, IsTheUsbDeviceInterfaceClass) {
  EXPECT_EQ(USB_DRIVER_GUID, GUID_DEVINTERFACE_USB_DEVICE);
}

// The system's own calls, in a wine prefix without a PLC or a serial device.
TEST(SystemCalls, ReturnCleanlyWhenNoPlcIsPresent) {
  const auto ports = ListComPorts();
  ASSERT_TRUE(ports.has_value());
  for (const std::string& port : *ports) EXPECT_EQ(port.rfind("COM", 0), 0u) << port;
  EXPECT_EQ(OpenMyDevPipe("").link, nullptr);
  EXPECT_EQ(FindPlcDevicePath(), "");
  char devName[kDevicePathSize] = {};
  EXPECT_EQ(GetUsbDeviceFileName(kSystemDeviceApi, &USB_DRIVER_GUID, devName), 0);
  const PortSurvey survey = SurveyPorts();
  EXPECT_TRUE(survey.ports.has_value());
  EXPECT_TRUE(survey.usbPlcs.empty());
  EXPECT_TRUE(ListUsbPlcs().empty());
}

}  // namespace
