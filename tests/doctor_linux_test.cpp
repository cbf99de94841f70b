// SPDX-License-Identifier: MIT
// The bench checks on fake trees: sysfs, /dev, /proc, /etc/group and the
// udev rule folders under one temporary folder, laid out as the system lays
// them out. The device nodes are real files whose mode, group and access
// list the checks read with the system's own calls; the process that asks
// is given, so that the groups of a login can be told from /etc/group's.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "cli/reporter.h"
#include "doctor/checks.h"
#include "doctor/linux_bench.h"
#include "support/child_process.h"
#include "support/environment_variable.h"
#include "support/fake_sysfs.h"

namespace fs = std::filesystem;
using ::testing::HasSubstr;

namespace {

constexpr unsigned kAlice = 4711;

// The group every serial node of the trees has: the test's own, which it
// may give a file without being root, called dialout in the fake
// /etc/group.
const unsigned kDialout = getegid();

class FakeBench : protected FakeSysfs {
 protected:
  fs::path Top() const { return Sys().parent_path(); }
  BenchRoots Roots() const { return {{Sys(), Dev()}, Top()}; }

  void File(const fs::path& relative, const std::string& text) {
    fs::create_directories((Top() / relative).parent_path());
    std::ofstream(Top() / relative) << text;
  }
  // A device node: a plain file with the mode and the group of the node.
  std::string Node(const std::string& name, mode_t mode, unsigned gid = kDialout) {
    const std::string path = DevPath(name);
    std::ofstream{path};
    chmod(path.c_str(), mode);
    (void)!chown(path.c_str(), static_cast<uid_t>(-1), gid);
    return path;
  }
  // A process with `devices` open, as /proc shows it.
  void Process(int pid, const std::string& comm, const std::vector<std::string>& devices = {}) {
    const fs::path dir = Top() / "proc" / std::to_string(pid);
    fs::create_directories(dir / "fd");
    std::ofstream(dir / "comm") << comm << "\n";
    int fd = 3;
    for (const std::string& device : devices) {
      fs::create_symlink(device, dir / "fd" / std::to_string(fd++));
    }
  }
  void GroupFile(const std::string& dialoutMembers) {
    File("etc/group", "plugdev:x:46:\ndialout:x:" + std::to_string(kDialout) + ":" +
                          dialoutMembers + "\nalice:x:4711:\n");
  }
  void OurRuleIn(const std::string& folder) {
    std::ifstream rule(MORVIX_UDEV_RULE);
    File(folder + "/60-morvix-plc.rules",
         std::string(std::istreambuf_iterator<char>(rule), std::istreambuf_iterator<char>()));
  }

  // The bench of every check: an FTDI adapter, a CH340 adapter and a PLC.
  void Hardware(const char* latency) {
    const fs::path ftdi = UsbDevice("1-2", "0403", "6001");
    UsbSerialTty(ftdi, "ttyUSB0");
    Attribute(ftdi / "1-2:1.0" / "ttyUSB0", "latency_timer", latency);
    UsbSerialTty(UsbDevice("1-3", "1a86", "7523"), "ttyUSB1");
    AcmTty(UsbDevice("1-1.2", "3e9a", "0001"), "ttyACM0");
    Attribute(Sys() / "devices/pci0000:00/0000:00:14.0/usb1/1-1.2", "serial", "MX0042");
    VirtualTty("tty0");
    File("usr/bin/brltty", "");
    File("usr/lib/udev/rules.d/85-brltty.rules",
         "# Device: 1A86:7523\n"
         "ENV{PRODUCT}==\"1a86/7523/*\", ENV{BRLTTY_BRAILLE_DRIVER}=\"bm\", "
         "GOTO=\"brltty_usb_run\"\n");
    Process(1, "systemd");
    Process(812, "ModemManager");
  }
};

struct Expected {
  const char* check;
  CheckLevel level;
  const char* detail;  // a part of it
  const char* fix;     // a part of it; "" when there is to be none
};

void ExpectChecks(const std::vector<BenchCheck>& checks, const std::vector<Expected>& expected) {
  ASSERT_EQ(checks.size(), expected.size()) << [&] {
    std::string all;
    for (const BenchCheck& check : checks) all += check.check + ": " + check.detail + "\n";
    return all;
  }();
  for (size_t i = 0; i < checks.size(); ++i) {
    SCOPED_TRACE(checks[i].check + ": " + checks[i].detail);
    EXPECT_EQ(checks[i].check, expected[i].check);
    EXPECT_EQ(checks[i].level, expected[i].level);
    EXPECT_THAT(checks[i].detail, HasSubstr(expected[i].detail));
    if (*expected[i].fix == '\0') {
      EXPECT_EQ(checks[i].fix, "");
    } else {
      EXPECT_THAT(checks[i].fix, HasSubstr(expected[i].fix));
    }
  }
}

class DoctorTree : public ::testing::Test, protected FakeBench {
 protected:
  // Every problem the checks know, at once.
  void Troubled() {
    Hardware("16");
    GroupFile("alice");  // added, but the login is older: not in its groups
    Node("ttyUSB0", 0660);
    Node("ttyUSB1", 0660);
    Node("ttyACM0", 0600);
    Process(4242, "minicom", {DevPath("ttyUSB0")});
    // The rule where udev never looks.
    OurRuleIn("usr/local/etc/udev/rules.d");
  }
  // The same bench with everything mended.
  void Sound() {
    Hardware("1");
    GroupFile("alice");
    Node("ttyUSB0", 0660);
    Node("ttyUSB1", 0660);
    Node("ttyACM0", 0660);
    OurRuleIn("usr/lib/udev/rules.d");
    // brltty kept for a braille display, its rule masked.
    fs::create_directories(Top() / "etc/udev/rules.d");
    fs::create_symlink("/dev/null", Top() / "etc/udev/rules.d/85-brltty.rules");
  }
  ProcessIdentity Alice(bool loggedInAgain) const {
    ProcessIdentity me{kAlice, "alice", kAlice, {kAlice}};
    if (loggedInAgain) me.groups.push_back(kDialout);
    return me;
  }
};

TEST_F(DoctorTree, EveryProblemPresentIsFoundWithItsFix) {
  Troubled();
  const auto checks = CheckBench(Roots(), Alice(false));
  ExpectChecks(
      checks,
      {
          {"groups", CheckLevel::kProblem, "alice was added to dialout after this login began",
           "log out and in again"},
          {"access", CheckLevel::kProblem, "/dev/ttyACM0 (the PLC at 1-1.2) (-rw-------",
           "chmod 660"},
          {"access", CheckLevel::kProblem, "ttyUSB0 (-rw-rw----, dialout): alice was added",
           "log out and in again"},
          {"access", CheckLevel::kProblem, "ttyUSB1", "log out and in again"},
          {"holder", CheckLevel::kProblem, "ttyUSB0 is held by minicom (pid 4242)", "kill 4242"},
          {"udev-rule", CheckLevel::kProblem, "60-morvix-plc.rules is not installed",
           "/etc/udev/rules.d/"},
          {"modemmanager", CheckLevel::kProblem, "no udev rule keeps it off the PLC",
           "systemctl disable --now ModemManager"},
          {"brltty", CheckLevel::kProblem, "takes the CH340/CH341 adapter at 1-3",
           "apt remove brltty"},
          {"usb-plc", CheckLevel::kOk, "a PLC at 1-1.2 (--usb 1-1.2)", ""},
          {"latency-timer", CheckLevel::kAdvice, "ttyUSB0 (FTDI): latency_timer is 16 ms",
           "echo 1 | sudo tee "},
      });
  EXPECT_TRUE(AnyProblem(checks));
}

TEST_F(DoctorTree, SoundBenchHasNoProblemAndNoAdvice) {
  Sound();
  const auto checks = CheckBench(Roots(), Alice(true));
  ExpectChecks(
      checks,
      {
          {"groups", CheckLevel::kOk,
           "this session has alice's serial port "
           "groups: dialout",
           ""},
          {"access", CheckLevel::kOk, "ttyACM0 (the PLC at 1-1.2)", ""},
          {"access", CheckLevel::kOk, "ttyUSB0 (-rw-rw----, dialout): alice is in dialout", ""},
          {"access", CheckLevel::kOk, "ttyUSB1", ""},
          {"holder", CheckLevel::kOk, "no program holds a serial port", ""},
          {"udev-rule", CheckLevel::kOk, "usr/lib/udev/rules.d/60-morvix-plc.rules is installed",
           ""},
          {"modemmanager", CheckLevel::kOk, "keep it off the PLC and the attached adapters", ""},
          {"brltty", CheckLevel::kOk, "leave CH340/CH341 adapters alone", ""},
          {"usb-plc", CheckLevel::kOk, "serial MX0042", ""},
          {"latency-timer", CheckLevel::kOk, "latency_timer is 1 ms", ""},
      });
  EXPECT_FALSE(AnyProblem(checks));
}

// The findings that differ from the troubled bench by one fact each.
TEST_F(DoctorTree, EachFindingFollowsItsOwnFact) {
  Sound();
  // brltty's rule unmasked, but no CH340 attached: a warning, not a problem.
  fs::remove(Top() / "etc/udev/rules.d/85-brltty.rules");
  Unplug(Sys() / "devices/pci0000:00/0000:00:14.0/usb1/1-3");
  // An adapter none of the rules keeps ModemManager off.
  UsbSerialTty(UsbDevice("1-4", "1a86", "55d4"), "ttyACM1");
  Node("ttyACM1", 0660);
  // The console's getty on a built-in port.
  PlatformUart("ttyS0", "4");
  const std::string console = Node("ttyS0", 0660);
  Process(77, "agetty", {console});
  Process(812, "ModemManager");
  // A FIFO among the rules is read as nothing, not waited on for ever.
  ASSERT_EQ(mkfifo((Top() / "usr/lib/udev/rules.d/99-fifo.rules").c_str(), 0644), 0);

  std::vector<std::pair<std::string, CheckLevel>> found;
  for (const BenchCheck& check : CheckBench(Roots(), Alice(true))) {
    if (check.level != CheckLevel::kOk)
      found.emplace_back(check.check + ": " + check.detail, check.level);
  }
  ASSERT_EQ(found.size(), 3u);
  EXPECT_THAT(found[0].first, HasSubstr("holder: " + console + " is held by agetty (pid 77)"));
  EXPECT_EQ(found[0].second, CheckLevel::kAdvice);
  EXPECT_THAT(found[1].first,
              HasSubstr("modemmanager: ModemManager is running and no udev rule keeps it off " +
                        DevPath("ttyACM1") + " (1a86:55d4)"));
  EXPECT_EQ(found[1].second, CheckLevel::kAdvice);
  EXPECT_THAT(found[2].first, HasSubstr("brltty: brltty is installed and its rule"));
  EXPECT_EQ(found[2].second, CheckLevel::kAdvice);
}

// Who may open a node: one row per way in and per way of being shut out.
TEST_F(DoctorTree, AccessFollowsModeGroupAccessListAndLogin) {
  GroupFile("alice");
  PlatformUart("ttyS0", "4");
  struct Case {
    const char* name;
    mode_t mode;
    bool aclForAlice;
    uint16_t aclMask;
    bool root;
    bool loggedInAgain;
    const char* members;  // of dialout in /etc/group
    CheckLevel level;
    const char* detail;
    const char* fix;
  };
  const Case cases[] = {
      {"root", 0600, false, 0, true, false, "", CheckLevel::kOk, "root may open it", ""},
      {"group in this login", 0660, false, 0, false, true, "alice", CheckLevel::kOk,
       "alice is in dialout", ""},
      {"group, login older", 0660, false, 0, false, false, "alice", CheckLevel::kProblem,
       "was added to dialout, but this login began before", "log out and in again"},
      {"no group", 0660, false, 0, false, false, "bob", CheckLevel::kProblem,
       "alice is not in dialout", "sudo usermod -aG dialout alice"},
      {"group may not write", 0640, false, 0, false, true, "alice", CheckLevel::kProblem,
       "only its owner may open it", "chmod 660"},
      {"anyone", 0666, false, 0, false, false, "bob", CheckLevel::kOk, "anyone may open it", ""},
      {"uaccess", 0660, true, 6, false, false, "bob", CheckLevel::kOk, "uaccess", ""},
      // The mask is the group bits of the mode too: alice's entry lets her read only.
      {"uaccess under a read-only mask", 0660, true, 4, false, false, "bob", CheckLevel::kProblem,
       "only its owner may open it", "chmod 660"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    GroupFile(c.members);
    const std::string node = Node("ttyS0", c.mode);
    if (c.aclForAlice) {
      // version 2; user::rw-, user:alice:rw-, group::rw-, mask, other::---
      std::vector<uint8_t> acl = {2, 0, 0, 0};
      auto entry = [&](uint16_t tag, uint16_t permissions, uint32_t id) {
        for (int i = 0; i < 2; ++i) acl.push_back(static_cast<uint8_t>(tag >> (8 * i)));
        for (int i = 0; i < 2; ++i) acl.push_back(static_cast<uint8_t>(permissions >> (8 * i)));
        for (int i = 0; i < 4; ++i) acl.push_back(static_cast<uint8_t>(id >> (8 * i)));
      };
      entry(0x01, 6, 0xFFFFFFFF);
      entry(0x02, 6, kAlice);
      entry(0x04, 6, 0xFFFFFFFF);
      entry(0x10, c.aclMask, 0xFFFFFFFF);
      entry(0x20, 0, 0xFFFFFFFF);
      if (setxattr(node.c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0) != 0) {
        GTEST_SKIP() << "the temporary folder's file system takes no access lists";
      }
    } else {
      removexattr(node.c_str(), "system.posix_acl_access");
    }
    ProcessIdentity me = Alice(c.loggedInAgain);
    if (c.root) me = {0, "root", 0, {0}};
    const auto checks = CheckBench(Roots(), me);
    const auto access = std::find_if(checks.begin(), checks.end(), [](const BenchCheck& check) {
      return check.check == "access";
    });
    ASSERT_NE(access, checks.end());
    EXPECT_EQ(access->level, c.level) << access->detail;
    EXPECT_THAT(access->detail, HasSubstr(c.detail));
    if (*c.fix == '\0') {
      EXPECT_EQ(access->fix, "");
    } else {
      EXPECT_THAT(access->fix, HasSubstr(c.fix));
    }
  }
}

// The program on the fake trees, as an operator runs it: its identity is
// its own (this test's), and the exit status and JSON events are the
// contract scripts read.
class DoctorProgram : public DoctorTree, public ::testing::WithParamInterface<bool> {};

TEST_P(DoctorProgram, ExitsOneOnAProblemAndGivesOneJsonEventPerCheck) {
  const bool troubled = GetParam();
  troubled ? Troubled() : Sound();
  // The program asks as this test's own user, who made the nodes and so
  // may open them: the problems left are those of the bench, not of a user.
  const EnvironmentVariable root("MORVIX_SYSFS_ROOT", Sys().c_str());
  // The kernel's word on whether the program opened a port's node: an open
  // alone raises DTR and RTS on a real port.
  const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  for (const char* name : {"ttyUSB0", "ttyUSB1", "ttyACM0"}) {
    ASSERT_GE(inotify_add_watch(watch, DevPath(name).c_str(), IN_OPEN), 0);
  }

  ChildProcess plain(MORVIX_CLI, {"--doctor"});
  const std::string text = plain.ReadAll();
  EXPECT_EQ(plain.Wait(), troubled ? 1 : 0) << text;
  EXPECT_THAT(text, HasSubstr(troubled ? "problem  holder         " + DevPath("ttyUSB0") +
                                             " is held by minicom (pid 4242)"
                                       : "ok       udev-rule      "));
  EXPECT_THAT(text, ::testing::EndsWith(troubled ? "checks: 4 problems, 1 advice\n"
                                                 : "checks: 0 problems, 0 advice\n"));

  ChildProcess json(MORVIX_CLI, {"--doctor", "--json"});
  const std::string events = json.ReadAll();
  EXPECT_EQ(json.Wait(), troubled ? 1 : 0) << events;
  const std::regex event(
      "\\{\"event\":\"check\",\"t\":[0-9]+,\"schema\":" + std::to_string(kJsonSchema) +
      ",\"check\":\"[a-z-]+\",\"level\":\"(ok|advice|problem)\",\"detail\":\"[^\"]+\","
      "\"fix\":\"[^\"]*\"\\}");
  size_t lines = 0, problems = 0;
  std::istringstream in(events);
  for (std::string line; std::getline(in, line); ++lines) {
    EXPECT_TRUE(std::regex_match(line, event)) << line;
    problems += line.find("\"level\":\"problem\"") != std::string::npos;
  }
  EXPECT_EQ(lines, std::count(text.begin(), text.end(), '\n') - 1);
  EXPECT_EQ(problems, troubled ? 4u : 0u);

  char opens[4096];
  EXPECT_LE(read(watch, opens, sizeof opens), 0) << "--doctor opened a port's node";
  close(watch);
}

INSTANTIATE_TEST_SUITE_P(Trees, DoctorProgram, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "EveryProblem" : "None"; });

}  // namespace
