// The text rules of discovery and the port-list bookkeeping, the same on
// every platform.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "discovery/port_names.h"
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

}  // namespace
