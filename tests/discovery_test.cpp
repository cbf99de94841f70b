// SPDX-License-Identifier: MIT
// The text rules of discovery and the port-list bookkeeping, the same on
// every platform.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "discovery/port_names.h"
#include "discovery/usb_plc.h"
#include "ui/port_list.h"

namespace {

struct FriendlyNameCase {
  const char* friendlyName;
  std::optional<std::string> port;
  friend void PrintTo(const FriendlyNameCase& c, std::ostream* os) { *os << c.friendlyName; }
};

class FriendlyName : public ::testing::TestWithParam<FriendlyNameCase> {};

TEST_P(FriendlyName, GivesThePortNameBetweenTheParentheses) {
  EXPECT_EQ(PortNameFromFriendlyName(GetParam().friendlyName), GetParam().port);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FriendlyName,
    ::testing::Values(FriendlyNameCase{"Communications Port (COM3)", "COM3"},
                      FriendlyNameCase{"USB Serial Port (COM12)", "COM12"},
                      FriendlyNameCase{"Intel(R) Active Management Technology - SOL (COM2)",
                                       "COM2"},
                      FriendlyNameCase{"(COM7) first", "COM7"},
                      // Further text in parentheses belongs to the device, not the port.
                      FriendlyNameCase{"Standard Serial over Bluetooth link (COM4) (A)", "COM4"},
                      FriendlyNameCase{"Prolific USB-to-Serial Comm Port COM5", std::nullopt},
                      FriendlyNameCase{"USB Serial Port (com3)", std::nullopt},
                      FriendlyNameCase{"USB Serial Port (Com3)", std::nullopt},
                      FriendlyNameCase{"Modem (COM8", std::nullopt},
                      FriendlyNameCase{"", std::nullopt},
                      // The name must fit nine characters.
                      FriendlyNameCase{"Virtual port (COM123456)", "COM123456"},
                      FriendlyNameCase{"Virtual port (COM1234567)", std::nullopt},
                      FriendlyNameCase{"Virtual port (COM1 and more text) (A)", std::nullopt}));

struct PathCase {
  const char* path;
  bool plc;
  friend void PrintTo(const PathCase& c, std::ostream* os) { *os << c.path; }
};

class UsbFilter : public ::testing::TestWithParam<PathCase> {};

TEST_P(UsbFilter, MatchesTheExactLowerCaseVendorAndProductAnywhere) {
  EXPECT_EQ(IsPlcDevicePath(GetParam().path), GetParam().plc) << GetParam().path;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UsbFilter,
    ::testing::Values(
        PathCase{R"(\\?\usb#vid_3e9a&pid_0001#0001#{a5dcbf10-6530-11d2-901f-00c04fb951ed})", true},
        PathCase{"vid_3e9a&pid_0001", true}, PathCase{"prefix vid_3e9a&pid_0001", true},
        PathCase{R"(\\?\USB#VID_3E9A&PID_0001#0001#{a5dcbf10-6530-11d2-901f-00c04fb951ed})", false},
        PathCase{R"(\\?\usb#vid_3e9a&pid_0002#0001#{a5dcbf10-6530-11d2-901f-00c04fb951ed})", false},
        PathCase{R"(\\?\usb#vid_3e9b&pid_0001#0001)", false}, PathCase{"vid_3e9a#pid_0001", false},
        PathCase{"vid_3e9a&pid_000", false}, PathCase{"", false}));

struct IdsCase {
  const char* id;
  std::optional<std::pair<std::string, std::string>> ids;
  friend void PrintTo(const IdsCase& c, std::ostream* os) { *os << c.id; }
};

class UsbIdsOfId : public ::testing::TestWithParam<IdsCase> {};

TEST_P(UsbIdsOfId, AreTheFourDigitsAfterVidAndPidInLowerCase) {
  const auto ids = UsbIdsFrom(GetParam().id);
  ASSERT_EQ(ids.has_value(), GetParam().ids.has_value());
  if (ids) {
    EXPECT_EQ(ids->vendorId, GetParam().ids->first);
    EXPECT_EQ(ids->productId, GetParam().ids->second);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UsbIdsOfId,
    ::testing::Values(IdsCase{R"(USB\VID_3E9A&PID_0001&REV_0120)", std::pair{"3e9a", "0001"}},
                      IdsCase{
                          R"(\\?\usb#vid_3e9a&pid_00ab#mx1#{a5dcbf10-6530-11d2-901f-00c04fb951ed})",
                          std::pair{"3e9a", "00ab"}},
                      IdsCase{R"(USB\Vid_0403&Pid_6001)", std::pair{"0403", "6001"}},
                      IdsCase{R"(USB\VID_3E9A)", std::nullopt},
                      IdsCase{R"(USB\VID_3E9&PID_0001)", std::nullopt},
                      IdsCase{R"(USB\VID_3G9A&PID_0001)", std::nullopt},
                      IdsCase{"PID_000", std::nullopt}, IdsCase{"", std::nullopt}));

struct SerialCase {
  const char* instanceId;
  const char* serial;
  friend void PrintTo(const SerialCase& c, std::ostream* os) { *os << c.instanceId; }
};

class InstanceIdSerial : public ::testing::TestWithParam<SerialCase> {};

TEST_P(InstanceIdSerial, IsTheLastPartUnlessWindowsMadeItUp) {
  EXPECT_EQ(SerialFromInstanceId(GetParam().instanceId), GetParam().serial);
}

INSTANTIATE_TEST_SUITE_P(Cases, InstanceIdSerial,
                         ::testing::Values(SerialCase{R"(USB\VID_3E9A&PID_0001\MX0042)", "MX0042"},
                                           SerialCase{R"(USB\VID_3E9A&PID_0001\0001)", "0001"},
                                           SerialCase{R"(USB\VID_3E9A&PID_0001\5&2C4F3E1&0&2)", ""},
                                           SerialCase{R"(USB\VID_3E9A&PID_0001\)", ""},
                                           SerialCase{"MX0042", ""}, SerialCase{"", ""}));

// Behaves as a sorted drop-down combo box: entries in sorted order, one
// selection (-1 for none).
class FakeComboBox final : public PortList {
 public:
  void DeleteFirst() override {
    ++deletes;
    if (!entries.empty()) entries.erase(entries.begin());
    selected = -1;
  }
  void Add(const std::string& text) override {
    entries.insert(std::upper_bound(entries.begin(), entries.end(), text), text);
  }
  void SelectFirst() override { selected = entries.empty() ? -1 : 0; }

  std::vector<std::string> entries;
  int selected = -1;
  int deletes = 0;
};

using Ports = std::vector<std::string>;

class PortListFill : public ::testing::Test {
 protected:
  FakeComboBox list;
};

TEST_F(PortListFill, AddsEveryPortAndCountsThem) {
  RefillPortList(list, Ports{"COM3", "COM12", "COM1"});
  EXPECT_EQ(list.entries, (Ports{"COM1", "COM12", "COM3"}));
  EXPECT_EQ(list.totalComPort, 3);
  EXPECT_EQ(list.selected, -1);  // the caller chooses
}

TEST_F(PortListFill, NextFillRemovesExactlyTheThreeEntriesOfTheLastFill) {
  RefillPortList(list, Ports{"COM3", "COM12", "COM1"});
  list.Add("~foreign");  // sorts last, so a fourth removal would take it
  list.deletes = 0;

  RefillPortList(list, Ports{"COM5"});

  EXPECT_EQ(list.deletes, 3);
  EXPECT_EQ(list.entries, (Ports{"COM5", "~foreign"}));
  EXPECT_EQ(list.totalComPort, 1);
}

TEST_F(PortListFill, NoPortsLeavesAnEmptyListAndCountZero) {
  RefillPortList(list, Ports{"COM3", "COM4"});
  RefillPortList(list, Ports{});
  EXPECT_TRUE(list.entries.empty());
  EXPECT_EQ(list.totalComPort, 0);
}

TEST_F(PortListFill, UnreadableDeviceListKeepsTheEntriesAndTheCount) {
  RefillPortList(list, Ports{"COM3", "COM4"});
  list.SelectFirst();
  RefillPortList(list, std::nullopt);
  EXPECT_EQ(list.entries, (Ports{"COM3", "COM4"}));
  EXPECT_EQ(list.deletes, 0);
  EXPECT_EQ(list.totalComPort, 2);
  EXPECT_EQ(list.selected, 0);
}

class UsbEntry : public PortListFill, public ::testing::WithParamInterface<Ports> {};

TEST_P(UsbEntry, IsTheSingleSelectedEntryWhateverTheListHeld) {
  RefillPortList(list, GetParam());
  EnumUSBPort(list);
  EXPECT_EQ(list.entries, Ports{"USB"});
  EXPECT_EQ(list.selected, 0);
  EXPECT_EQ(list.totalComPort, 1);

  EnumUSBPort(list);  // choosing a USB model again
  EXPECT_EQ(list.entries, Ports{"USB"});
  EXPECT_EQ(list.totalComPort, 1);

  RefillPortList(list, Ports{"COM2"});  // and back to a COM model
  EXPECT_EQ(list.entries, Ports{"COM2"});
}

INSTANTIATE_TEST_SUITE_P(Before, UsbEntry,
                         ::testing::Values(Ports{}, Ports{"COM1"}, Ports{"COM9", "COM10", "COM3"},
                                           Ports{"/dev/ttyACM0", "/dev/ttyUSB0"}));

// --- USB PLCs by location -----------------------------------------------------

class LocationOrder : public ::testing::TestWithParam<std::pair<const char*, const char*>> {};

TEST_P(LocationOrder, FollowsThePortNumbers) {
  const auto [before, after] = GetParam();
  EXPECT_TRUE(LocationBefore(before, after)) << before << " < " << after;
  EXPECT_FALSE(LocationBefore(after, before)) << after << " < " << before;
  EXPECT_FALSE(LocationBefore(before, before));
}

INSTANTIATE_TEST_SUITE_P(
    Pairs, LocationOrder,
    ::testing::Values(std::pair{"1-1", "1-2"}, std::pair{"1-2", "1-10"},
                      std::pair{"1-1.2", "1-1.10"}, std::pair{"1-1", "1-1.1"},
                      std::pair{"1-9.9.9", "2-1"}, std::pair{"1-1.2", "1-1.02.1"},
                      std::pair{"1-99999999999999999999", "1-100000000000000000000"},
                      std::pair{"Port_#0002.Hub_#0001", "Port_#0010.Hub_#0001"},
                      std::pair{"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)",
                                "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USB(3)"}));

// What a station sees, one scan after another: each scan the list of that
// moment, the last list for ever after.
class StationWatch : public ::testing::Test {
 protected:
  UsbPlcLister Scans(std::vector<std::vector<UsbPlc>> scans) {
    return [this, scans = std::move(scans)] {
      return scans.at(std::min(scanCount++, scans.size() - 1));
    };
  }
  // Asks to stop at the wait numbered `stopAt` (0: never).
  StopWait Waits(size_t stopAt = 0) {
    return [this, stopAt](std::chrono::milliseconds pause) {
      EXPECT_EQ(pause, kWatchPause);
      return ++waitCount == stopAt;
    };
  }
  size_t scanCount = 0;
  size_t waitCount = 0;
};

UsbPlc Plc(const char* location, const char* serial = "") {
  return {location, std::string("/dev/") + location, "3e9a", "0001", serial, "", ""};
}

TEST_F(StationWatch, PlcAlreadyPresentIsTakenAtOnce) {
  const auto plc = WaitForUsbPlc(Waits(), {}, Scans({{Plc("1-3"), Plc("1-4")}}));
  ASSERT_TRUE(plc.has_value());
  EXPECT_EQ(plc->location, "1-3");
  EXPECT_EQ(waitCount, 0u);
}

TEST_F(StationWatch, WaitsForTheFirstPlcTheFilterWants) {
  // The unit just updated is still there; a new one comes on the third scan.
  const auto plc = WaitForUsbPlc(
      Waits(), [](const UsbPlc& p) { return p.serial != "A1"; },
      Scans({{Plc("1-1", "A1")}, {Plc("1-1", "A1")}, {Plc("1-1", "A1"), Plc("1-2", "B2")}}));
  ASSERT_TRUE(plc.has_value());
  EXPECT_EQ(plc->location, "1-2");
  EXPECT_EQ(waitCount, 2u);
  EXPECT_EQ(scanCount, 3u);
}

TEST_F(StationWatch, StopEndsTheWaitForAPlc) {
  EXPECT_EQ(WaitForUsbPlc(Waits(3), {}, Scans({{}})), std::nullopt);
  EXPECT_EQ(waitCount, 3u);
  EXPECT_EQ(scanCount, 3u);
}

TEST_F(StationWatch, GoneIsWhenNoPlcIsLeftAtThatLocation) {
  EXPECT_TRUE(WaitUntilUsbPlcGone(
      "1-2", Waits(), Scans({{Plc("1-2")}, {Plc("1-1"), Plc("1-2")}, {Plc("1-1"), Plc("1-2.1")}})));
  EXPECT_EQ(waitCount, 2u);
}

TEST_F(StationWatch, StopEndsTheWaitForTheRemoval) {
  EXPECT_FALSE(WaitUntilUsbPlcGone("1-2", Waits(4), Scans({{Plc("1-2")}})));
  EXPECT_EQ(waitCount, 4u);
}

}  // namespace
