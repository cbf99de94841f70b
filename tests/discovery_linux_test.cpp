// SPDX-License-Identifier: MIT
// Linux discovery on sysfs trees built in a temporary folder, laid out as the
// kernel lays them out. Their /dev entries are links to real pseudo-terminals,
// so opening a PLC tty opens a real tty, and a byte written through the link
// shows which one it was.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "discovery/linux_sysfs.h"
#include "discovery/ports.h"
#include "discovery/usb.h"
#include "discovery/usb_plc.h"
#include "link/serial.h"
#include "support/child_process.h"
#include "support/environment_variable.h"
#include "support/fake_sysfs.h"

namespace fs = std::filesystem;

namespace {

using Paths = std::vector<std::string>;

class PseudoTerminal {
 public:
  PseudoTerminal() {
    char name[256] = {};
    int slave = -1;
    if (openpty(&master_, &slave, name, nullptr, nullptr) == 0) {
      close(slave);
      slaveName_ = name;
    }
  }
  ~PseudoTerminal() {
    if (master_ >= 0) close(master_);
  }
  PseudoTerminal(const PseudoTerminal&) = delete;
  PseudoTerminal& operator=(const PseudoTerminal&) = delete;

  const std::string& SlaveName() const { return slaveName_; }

  // Whether `link` is this terminal: a byte written through it arrives here.
  bool CarriesBytesOf(Link& link) {
    const uint8_t mark = 0x5A;
    if (link.Write(&mark, 1) != 1) return false;
    pollfd pfd{master_, POLLIN, 0};
    if (poll(&pfd, 1, 1000) <= 0) return false;
    uint8_t got = 0;
    return read(master_, &got, 1) == 1 && got == mark;
  }

 private:
  int master_ = -1;
  std::string slaveName_;
};

// A fake tree whose /dev entries are links to pseudo-terminals.
class FakeSystem : public ::testing::Test, protected FakeSysfs {
 protected:
  // The /dev node of `name`, a link to a pseudo-terminal of its own.
  PseudoTerminal& DevNode(const std::string& name) {
    auto& pty = terminals_[name];
    DevNodeTo(name, pty);
    return pty;
  }
  // The /dev node `name` as a link to `pty`: a PLC's own line, whatever the
  // system calls it this time.
  void DevNodeTo(const std::string& name, const PseudoTerminal& pty) {
    fs::create_symlink(pty.SlaveName(), Dev() / name);
  }

  const DeviceRoots roots_{Sys(), Dev()};
  std::map<std::string, PseudoTerminal> terminals_;
};

// Pauses that take no time and are counted.
struct CountedPauses {
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

TEST_F(FakeSystem, PortListShowsEveryTtyWithADeviceAsSortedDevicePaths) {
  UsbSerialTty(UsbDevice("1-2", "0403", "6001"), "ttyUSB0");
  AcmTty(UsbDevice("1-3", "3e9a", "0001"), "ttyACM0");
  PlatformUart("ttyS0", "4");
  PlatformUart("ttyS1", "0");  // reserved by the kernel, no UART behind it
  VirtualTty("tty0");
  VirtualTty("ptmx");

  EXPECT_EQ(ListSerialPorts(roots_),
            (Paths{DevPath("ttyACM0"), DevPath("ttyS0"), DevPath("ttyUSB0")}));
}

TEST_F(FakeSystem, PortListIsEmptyWithoutSerialDevicesAndMissingWithoutTtyClass) {
  VirtualTty("tty0");
  EXPECT_EQ(ListSerialPorts(roots_), Paths{});
  fs::remove_all(roots_.sys / "class");
  EXPECT_EQ(ListSerialPorts(roots_), std::nullopt);
  EXPECT_TRUE(FindPlcTtys(roots_).empty());
}

enum class Kind { kUsbSerial, kCdcAcm };
void PrintTo(Kind kind, std::ostream* os) {
  *os << (kind == Kind::kUsbSerial ? "usb-serial" : "cdc-acm");
}

class PlcTty : public FakeSystem, public ::testing::WithParamInterface<Kind> {};

TEST_P(PlcTty, IsFoundAndOpened) {
  const fs::path plc = UsbDevice("1-4", "3e9a", "0001");
  const std::string name = GetParam() == Kind::kUsbSerial ? "ttyUSB0" : "ttyACM0";
  if (GetParam() == Kind::kUsbSerial) {
    UsbSerialTty(plc, name);
  } else {
    AcmTty(plc, name);
  }
  PseudoTerminal& pty = DevNode(name);

  EXPECT_EQ(FindPlcTtys(roots_), Paths{DevPath(name)});
  const PortSurvey survey = SurveyPorts(roots_);
  ASSERT_EQ(survey.usbPlcs.size(), 1u);
  EXPECT_EQ(survey.usbPlcs[0].devicePath, DevPath(name));
  CountedPauses pauses;
  auto link = OpenPlcTty(roots_, pauses.AsPause()).link;
  ASSERT_NE(link, nullptr);
  EXPECT_TRUE(pty.CarriesBytesOf(*link));
  EXPECT_EQ(pauses.count, 0);
}

INSTANTIATE_TEST_SUITE_P(Kinds, PlcTty, ::testing::Values(Kind::kUsbSerial, Kind::kCdcAcm));

TEST_F(FakeSystem, PlcIsPickedOutAmongOtherUsbDevices) {
  UsbSerialTty(UsbDevice("1-1", "0403", "6001"), "ttyUSB0");
  AcmTty(UsbDevice("1-2", "3e9a", "0002"), "ttyACM0");  // same vendor, other product
  AcmTty(UsbDevice("1-3", "1234", "0001"), "ttyACM1");  // other vendor, same product
  // The PLC behind a hub: its own ids decide, not the hub's.
  const fs::path hub = UsbDevice("1-5", "05e3", "0608");
  UsbSerialTty(UsbDevice("1-5.2", "3e9a", "0001", hub), "ttyUSB1");
  // A tty behind the hub that is not the PLC is not the PLC either.
  AcmTty(UsbDevice("1-5.3", "2341", "0043", hub), "ttyACM2");
  PlatformUart("ttyS0", "4");
  for (const char* name : {"ttyUSB0", "ttyACM0", "ttyACM1", "ttyACM2", "ttyS0", "ttyUSB1"})
    DevNode(name);

  EXPECT_EQ(FindPlcTtys(roots_), Paths{DevPath("ttyUSB1")});
  auto link = OpenPlcTty(roots_, CountedPauses{}.AsPause()).link;
  ASSERT_NE(link, nullptr);
  EXPECT_TRUE(terminals_.at("ttyUSB1").CarriesBytesOf(*link));
}

TEST_F(FakeSystem, OfTwoPlcsTheFirstByTtyNameWinsAndOneHeldElsewhereIsPassedOver) {
  UsbSerialTty(UsbDevice("1-1", "3e9a", "0001"), "ttyUSB0");
  AcmTty(UsbDevice("1-2", "3e9a", "0001"), "ttyACM1");
  PseudoTerminal& usb = DevNode("ttyUSB0");
  PseudoTerminal& acm = DevNode("ttyACM1");

  EXPECT_EQ(FindPlcTtys(roots_), (Paths{DevPath("ttyACM1"), DevPath("ttyUSB0")}));
  {
    auto link = OpenPlcTty(roots_, CountedPauses{}.AsPause()).link;
    ASSERT_NE(link, nullptr);
    EXPECT_TRUE(acm.CarriesBytesOf(*link));
  }
  auto other = OpenSerialLink(DevPath("ttyACM1")).link;  // another program has the first
  ASSERT_NE(other, nullptr);
  auto link = OpenPlcTty(roots_, CountedPauses{}.AsPause()).link;
  ASSERT_NE(link, nullptr);
  EXPECT_TRUE(usb.CarriesBytesOf(*link));
}

TEST_F(FakeSystem, NoPlcEndsAfterTheWholeReopenWindow) {
  UsbSerialTty(UsbDevice("1-1", "0403", "6001"), "ttyUSB0");
  DevNode("ttyUSB0");
  CountedPauses pauses;
  const LinkOpening opening = OpenPlcTty(roots_, pauses.AsPause());
  EXPECT_EQ(opening.link, nullptr);
  EXPECT_EQ(opening.failure, OpenFailure::kNoDevice);
  EXPECT_EQ(pauses.total, kReopenWindow);
  EXPECT_EQ(pauses.count, kReopenWindow / kReopenPause);
  EXPECT_TRUE(SurveyPorts(roots_).usbPlcs.empty());
}

// The kernel announces the tty first; udev makes the /dev node a moment later.
TEST_F(FakeSystem, PlcWhoseDeviceNodeAppearsWithinTheWindowIsOpened) {
  AcmTty(UsbDevice("1-1", "3e9a", "0001"), "ttyACM0");
  CountedPauses pauses;
  PseudoTerminal* pty = nullptr;
  pauses.onPause = [&](int count) {
    if (count == 5) pty = &DevNode("ttyACM0");
  };
  auto link = OpenPlcTty(roots_, pauses.AsPause()).link;
  ASSERT_NE(link, nullptr);
  EXPECT_EQ(pauses.count, 5);
  EXPECT_TRUE(pty->CarriesBytesOf(*link));
}

// --- USB PLCs by location ---------------------------------------------------

using Locations = std::vector<std::string>;

Locations LocationsOf(const std::vector<UsbPlc>& plcs) {
  Locations locations;
  for (const UsbPlc& plc : plcs) locations.push_back(plc.location);
  return locations;
}

TEST_F(FakeSystem, UsbPlcsAreListedByLocationInPortOrderWithWhatTheyReport) {
  const fs::path hub = UsbDevice("1-1", "05e3", "0608");
  const fs::path behindHub = UsbDevice("1-1.10", "3e9a", "0001", hub);
  AcmTty(behindHub, "ttyACM0");
  Attribute(behindHub, "serial", "MX0042");
  Attribute(behindHub, "manufacturer", "Morvix");
  Attribute(behindHub, "product", "GL30 PLC");
  AcmTty(UsbDevice("1-1.2", "3e9a", "0001", hub), "ttyACM1");  // reports no strings
  UsbSerialTty(UsbDevice("2-3", "3e9a", "0001"), "ttyUSB1");
  UsbSerialTty(UsbDevice("1-1.3", "0403", "6001", hub), "ttyUSB0");  // not a PLC
  UsbDevice("1-4", "3e9a", "0001");  // no tty (yet): nothing to open, not listed

  const auto plcs = ListUsbPlcs(roots_);
  EXPECT_EQ(LocationsOf(plcs), (Locations{"1-1.2", "1-1.10", "2-3"}));
  ASSERT_EQ(plcs.size(), 3u);
  EXPECT_EQ(plcs[0].devicePath, DevPath("ttyACM1"));
  EXPECT_EQ(plcs[0].serial, "");
  EXPECT_EQ(plcs[0].manufacturer, "");
  EXPECT_EQ(plcs[1].devicePath, DevPath("ttyACM0"));
  EXPECT_EQ(plcs[1].vendorId, "3e9a");
  EXPECT_EQ(plcs[1].productId, "0001");
  EXPECT_EQ(plcs[1].serial, "MX0042");
  EXPECT_EQ(plcs[1].manufacturer, "Morvix");
  EXPECT_EQ(plcs[1].product, "GL30 PLC");
  EXPECT_EQ(plcs[2].devicePath, DevPath("ttyUSB1"));
  EXPECT_EQ(LocationsOf(SurveyPorts(roots_).usbPlcs), LocationsOf(plcs));
}

TEST_F(FakeSystem, PlcWithSeveralTtysIsOneUnitReachedThroughItsFirstInterface) {
  const fs::path plc = UsbDevice("1-2", "3e9a", "0001");
  AcmTty(plc, "ttyACM0", 10);
  AcmTty(plc, "ttyACM1", 2);
  AcmTty(plc, "ttyACM2", 3);
  PseudoTerminal& first = DevNode("ttyACM1");
  DevNode("ttyACM0");
  DevNode("ttyACM2");

  const auto plcs = ListUsbPlcs(roots_);
  ASSERT_EQ(LocationsOf(plcs), Locations{"1-2"});
  EXPECT_EQ(plcs[0].devicePath, DevPath("ttyACM1"));
  auto link = OpenUsbPlcAt(roots_, "1-2", CountedPauses{}.AsPause()).link;
  ASSERT_NE(link, nullptr);
  EXPECT_TRUE(first.CarriesBytesOf(*link));
}

// Two PLCs are replugged, and the system hands out their tty names the other
// way round: each location still opens its own PLC.
TEST_F(FakeSystem, EachLocationReopensItsOwnPlcWhenTheTtyNamesSwapAcrossTheReplug) {
  PseudoTerminal plcA, plcB;  // each PLC's own line
  const fs::path atOne = UsbDevice("1-1", "3e9a", "0001");
  const fs::path atTwo = UsbDevice("1-2", "3e9a", "0001");
  AcmTty(atOne, "ttyACM0");
  AcmTty(atTwo, "ttyACM1");
  DevNodeTo("ttyACM0", plcA);
  DevNodeTo("ttyACM1", plcB);
  for (auto [location, plc] : {std::pair{"1-1", &plcA}, std::pair{"1-2", &plcB}}) {
    auto link = OpenUsbPlcAt(roots_, location, CountedPauses{}.AsPause()).link;
    ASSERT_NE(link, nullptr) << location;
    EXPECT_TRUE(plc->CarriesBytesOf(*link)) << location;
  }

  // Both unplugged; the burn at 1-1 reopens while they come back, 1-2 first.
  Unplug(atOne);
  Unplug(atTwo);
  fs::remove(Dev() / "ttyACM0");
  fs::remove(Dev() / "ttyACM1");
  CountedPauses pauses;
  pauses.onPause = [&](int count) {
    if (count != 4) return;
    AcmTty(UsbDevice("1-2", "3e9a", "0001"), "ttyACM0");
    DevNodeTo("ttyACM0", plcB);
    AcmTty(UsbDevice("1-1", "3e9a", "0001"), "ttyACM1");
    DevNodeTo("ttyACM1", plcA);
  };
  auto atOneAgain = OpenUsbPlcAt(roots_, "1-1", pauses.AsPause()).link;
  ASSERT_NE(atOneAgain, nullptr);
  EXPECT_EQ(pauses.count, 4);
  EXPECT_TRUE(plcA.CarriesBytesOf(*atOneAgain));
  auto atTwoAgain = OpenUsbPlcAt(roots_, "1-2", CountedPauses{}.AsPause()).link;
  ASSERT_NE(atTwoAgain, nullptr);
  EXPECT_TRUE(plcB.CarriesBytesOf(*atTwoAgain));
  // The old way of finding the PLC would have taken the other one.
  EXPECT_EQ(FindPlcTtys(roots_).front(), DevPath("ttyACM0"));
}

// The kernel announces the device, then its tty, and udev makes the /dev
// node last; all of it within the window.
TEST_F(FakeSystem, PlcWhoseTtyAppearsLateAtItsLocationIsOpenedWithinTheWindow) {
  AcmTty(UsbDevice("1-1", "3e9a", "0001"), "ttyACM0");  // another PLC, already there
  DevNode("ttyACM0");
  PseudoTerminal plc;
  fs::path device;
  CountedPauses pauses;
  pauses.onPause = [&](int count) {
    if (count == 2) device = UsbDevice("1-3", "3e9a", "0001");
    if (count == 9) AcmTty(device, "ttyACM1");
    if (count == 20) DevNodeTo("ttyACM1", plc);
  };
  auto link = OpenUsbPlcAt(roots_, "1-3", pauses.AsPause()).link;
  ASSERT_NE(link, nullptr);
  EXPECT_EQ(pauses.count, 20);
  EXPECT_TRUE(plc.CarriesBytesOf(*link));
}

struct AbsentCase {
  const char* location;
  OpenFailure failure;
  int pauses;
  friend void PrintTo(const AbsentCase& c, std::ostream* os) { *os << '"' << c.location << '"'; }
};

class NoPlcAtLocation : public FakeSystem, public ::testing::WithParamInterface<AbsentCase> {};

TEST_P(NoPlcAtLocation, OpensNothingAndSaysSo) {
  AcmTty(UsbDevice("1-1", "3e9a", "0001"), "ttyACM0");
  const fs::path hub = UsbDevice("1-2", "05e3", "0608");
  UsbSerialTty(UsbDevice("1-2.1", "0403", "6001", hub), "ttyUSB0");
  DevNode("ttyACM0");
  DevNode("ttyUSB0");
  CountedPauses pauses;
  const LinkOpening opening = OpenUsbPlcAt(roots_, GetParam().location, pauses.AsPause());
  EXPECT_EQ(opening.link, nullptr);
  EXPECT_EQ(opening.failure, GetParam().failure);
  EXPECT_NE(opening.detail.find(GetParam().location), std::string::npos) << opening.detail;
  EXPECT_EQ(pauses.count, GetParam().pauses);
}

constexpr int kWindowPauses = static_cast<int>(kReopenWindow / kReopenPause);
INSTANTIATE_TEST_SUITE_P(
    Locations, NoPlcAtLocation,
    ::testing::Values(AbsentCase{"1-2.1", OpenFailure::kNoDevice, kWindowPauses},  // not a PLC
                      AbsentCase{"1-2", OpenFailure::kNoDevice, kWindowPauses},    // a hub
                      AbsentCase{"1-3", OpenFailure::kNoDevice, kWindowPauses},    // empty port
                      AbsentCase{"1-1.1", OpenFailure::kNoDevice, kWindowPauses},  // below the PLC
                      AbsentCase{"../1-1", OpenFailure::kNoDevice, kWindowPauses},
                      AbsentCase{"", OpenFailure::kMissing, 0}));

TEST_F(FakeSystem, PlcHeldByAnotherProgramIsBusyAfterTheWindowAndNoOtherPlcIsTaken) {
  AcmTty(UsbDevice("1-1", "3e9a", "0001"), "ttyACM0");
  AcmTty(UsbDevice("1-2", "3e9a", "0001"), "ttyACM1");
  DevNode("ttyACM0");
  DevNode("ttyACM1");
  auto other = OpenSerialLink(DevPath("ttyACM1")).link;
  ASSERT_NE(other, nullptr);
  CountedPauses pauses;
  const LinkOpening opening = OpenUsbPlcAt(roots_, "1-2", pauses.AsPause());
  EXPECT_EQ(opening.link, nullptr);
  EXPECT_EQ(opening.failure, OpenFailure::kBusy);
  EXPECT_EQ(opening.detail.rfind(DevPath("ttyACM1") + ": ", 0), 0u) << opening.detail;
  EXPECT_EQ(pauses.count, kWindowPauses);
}

// A station's waits on a real tree: a PLC plugged in, then pulled out.
TEST_F(FakeSystem, StationSeesAPlcArriveAtItsLocationAndLeaveIt) {
  AcmTty(UsbDevice("1-1", "0403", "6001"), "ttyACM0");  // not a PLC
  fs::path device;
  int waits = 0;
  const StopWait wait = [&](std::chrono::milliseconds pause) {
    EXPECT_EQ(pause, kWatchPause);
    ++waits;
    if (waits == 3) {
      device = UsbDevice("1-4", "3e9a", "0001");
      AcmTty(device, "ttyACM1");
    }
    if (waits == 5) Unplug(device);
    return false;
  };
  const UsbPlcLister list = [this] { return ListUsbPlcs(roots_); };
  const auto plc = WaitForUsbPlc(wait, {}, list);
  ASSERT_TRUE(plc.has_value());
  EXPECT_EQ(plc->location, "1-4");
  EXPECT_EQ(waits, 3);
  EXPECT_TRUE(WaitUntilUsbPlcGone("1-4", wait, list));
  EXPECT_EQ(waits, 5);
}

struct RootsCase {
  const char* variable;  // nullptr: unset
  const char* sys;
  const char* dev;
};

class SystemRoots : public ::testing::TestWithParam<RootsCase> {};

TEST_P(SystemRoots, DeviceFolderLiesBesideTheSysfsRoot) {
  const EnvironmentVariable variable("MORVIX_SYSFS_ROOT", GetParam().variable);
  const DeviceRoots roots = SystemDeviceRoots();
  EXPECT_EQ(roots.sys, GetParam().sys);
  EXPECT_EQ(roots.dev, GetParam().dev);
}

INSTANTIATE_TEST_SUITE_P(Variables, SystemRoots,
                         ::testing::Values(RootsCase{nullptr, "/sys", "/dev"},
                                           RootsCase{"", "/sys", "/dev"},
                                           RootsCase{"/tmp/t/sys", "/tmp/t/sys", "/tmp/t/dev"},
                                           RootsCase{"/tmp/t/sys/", "/tmp/t/sys", "/tmp/t/dev"},
                                           RootsCase{"/tmp/t/x/../sys", "/tmp/t/sys", "/tmp/t/dev"},
                                           RootsCase{"fake/sys", "fake/sys", "fake/dev"}));

// What the programs themselves call (the port list, --list-ports, the USB
// link) reads the tree MORVIX_SYSFS_ROOT names and opens its devices.
TEST_F(FakeSystem, ProgramsFollowTheSysfsRootVariable) {
  UsbSerialTty(UsbDevice("1-1", "0403", "6001"), "ttyUSB0");
  AcmTty(UsbDevice("1-2", "3e9a", "0001"), "ttyACM0");
  DevNode("ttyUSB0");
  PseudoTerminal& plc = DevNode("ttyACM0");
  const EnvironmentVariable variable("MORVIX_SYSFS_ROOT", Sys().c_str());

  EXPECT_EQ(ListComPorts(), (Paths{DevPath("ttyACM0"), DevPath("ttyUSB0")}));
  EXPECT_EQ(FindPlcDevicePath(), DevPath("ttyACM0"));
  ASSERT_EQ(SurveyPorts().usbPlcs.size(), 1u);
  EXPECT_EQ(SurveyPorts().usbPlcs[0].devicePath, DevPath("ttyACM0"));
  auto link = OpenMyDevPipe("").link;
  ASSERT_NE(link, nullptr);
  EXPECT_TRUE(plc.CarriesBytesOf(*link));
  link.reset();

  EXPECT_EQ(LocationsOf(ListUsbPlcs()), Locations{"1-2"});
  EXPECT_EQ(LocationsOf(SurveyPorts().usbPlcs), Locations{"1-2"});
  link = OpenUsbPlcAt("1-2").link;
  ASSERT_NE(link, nullptr);
  EXPECT_TRUE(plc.CarriesBytesOf(*link));
}

class WithoutPermission : public FakeSystem, public ::testing::WithParamInterface<int> {};

// Parameter: the pause after which udev grants access, 0 for never.
TEST_P(WithoutPermission, OpeningIsRetriedThroughTheWindow) {
  const int grantedAfter = GetParam();
  AcmTty(UsbDevice("1-1", "3e9a", "0001"), "ttyACM0");
  const std::string slave = DevNode("ttyACM0").SlaveName();
  if (geteuid() == 0) {
    ASSERT_EQ(chown(slave.c_str(), 65534, 65534), 0);
  }
  ASSERT_EQ(chmod(slave.c_str(), 0), 0);

  // 100 + pauses when opened, the pauses alone when not.
  const int result = RunUnprivileged([&] {
    CountedPauses pauses;
    pauses.onPause = [&](int count) {
      if (count == grantedAfter) chmod(slave.c_str(), 0600);
    };
    auto link = OpenPlcTty(roots_, pauses.AsPause()).link;
    return (link != nullptr ? 100 : 0) + pauses.count;
  });
  const int windowPauses = static_cast<int>(kReopenWindow / kReopenPause);
  if (grantedAfter == 0) {
    EXPECT_EQ(result, windowPauses);
  } else {
    EXPECT_EQ(result, 100 + grantedAfter);
  }
}

INSTANTIATE_TEST_SUITE_P(GrantedAfter, WithoutPermission, ::testing::Values(0, 3, 30));

}  // namespace
