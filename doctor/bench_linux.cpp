// SPDX-License-Identifier: MIT
// The bench checks on Linux, from sysfs, the device nodes, /proc, /etc/group
// and the folders udev reads its rules from. Every file-system call uses the
// error_code overloads: a device or a process that vanishes in the middle
// of a check is simply not there.
#include <pwd.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <sstream>

#include "discovery/usb_plc.h"
#include "doctor/linux_bench.h"
#include "link/port_holder.h"

namespace fs = std::filesystem;

namespace {

constexpr char kRuleName[] = "60-morvix-plc.rules";
// The package installs the rule; from the source tree it is copied in.
constexpr char kRuleFix[] =
    "sudo install -m 644 resources/linux/60-morvix-plc.rules /etc/udev/rules.d/ && sudo udevadm "
    "control --reload-rules && sudo udevadm trigger";

// The folders udev reads rules from; a file in an earlier one overrides the
// file of the same name in a later one.
constexpr std::array<const char*, 5> kRuleFolders = {"etc/udev/rules.d", "run/udev/rules.d",
                                                     "usr/local/lib/udev/rules.d",
                                                     "usr/lib/udev/rules.d", "lib/udev/rules.d"};

// The USB-serial chips brltty's rules are known to take: WCH CH340 and CH341.
struct UsbIdsOf {
  const char* vendor;
  const char* product;
};
constexpr UsbIdsOf kCh34x[] = {{"1a86", "7523"}, {"1a86", "5523"}};

// A configuration file's text; empty when it is no regular file (a FIFO
// would block the read for ever) or larger than any such file is.
std::string ReadFile(const fs::path& file) {
  std::error_code error;
  if (!fs::is_regular_file(file, error) || fs::file_size(file, error) > (4u << 20) || error) {
    return {};
  }
  std::ifstream in(file, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

struct RuleFile {
  fs::path path;
  std::string text;
};

// The rule files udev uses, by name: the first folder's file of each name,
// left out when it masks the name (a link to /dev/null, or empty).
std::vector<RuleFile> EffectiveRules(const fs::path& top) {
  std::map<std::string, fs::path> chosen;
  for (const char* folder : kRuleFolders) {
    std::error_code error;
    for (fs::directory_iterator it(top / folder, error), end; !error && it != end;
         it.increment(error)) {
      const std::string name = it->path().filename().string();
      if (it->path().extension() == ".rules") chosen.emplace(name, it->path());
    }
  }
  std::vector<RuleFile> rules;
  for (const auto& [name, path] : chosen) {
    std::error_code error;
    if (fs::read_symlink(path, error) == "/dev/null") continue;
    std::string text = ReadFile(path);
    if (!text.empty()) rules.push_back({path, std::move(text)});
  }
  return rules;
}

// The names (comm) of the processes running, as far as `proc` shows.
std::set<std::string> RunningPrograms(const fs::path& proc) {
  std::set<std::string> names;
  std::error_code error;
  for (fs::directory_iterator it(proc, error), end; !error && it != end; it.increment(error)) {
    const std::string pid = it->path().filename().string();
    if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream comm(it->path() / "comm");
    std::string name;
    if (std::getline(comm, name)) names.insert(name);
  }
  return names;
}

struct UsbDeviceIds {
  std::string location;
  std::string vendor;
  std::string product;
};

// Every USB device attached, whether or not a driver made a tty of it.
std::vector<UsbDeviceIds> UsbDevices(const fs::path& sys) {
  std::vector<UsbDeviceIds> devices;
  std::error_code error;
  for (fs::directory_iterator it(sys / "bus" / "usb" / "devices", error), end; !error && it != end;
       it.increment(error)) {
    const std::string vendor = ReadSysfsAttribute(it->path() / "idVendor");
    if (vendor.empty()) continue;  // an interface
    devices.push_back(
        {it->path().filename().string(), vendor, ReadSysfsAttribute(it->path() / "idProduct")});
  }
  std::sort(devices.begin(), devices.end(), [](const UsbDeviceIds& a, const UsbDeviceIds& b) {
    return LocationBefore(a.location, b.location);
  });
  return devices;
}

bool IsCh34x(const std::string& vendor, const std::string& product) {
  return std::any_of(std::begin(kCh34x), std::end(kCh34x), [&](const UsbIdsOf& ids) {
    return vendor == ids.vendor && product == ids.product;
  });
}

bool IsPlc(const SerialPortFacts& port) {
  return port.vendorId == kPlcVendorId && port.productId == kPlcProductId;
}

// --- Who may open a device node ---------------------------------------------

struct Groups {
  std::vector<GroupEntry> entries;

  std::string NameOf(unsigned gid) const {
    for (const GroupEntry& group : entries) {
      if (group.gid == gid) return group.name;
    }
    return "group " + std::to_string(gid);
  }
  // Whether the group file (or the login group) makes `me` a member.
  bool Lists(unsigned gid, const ProcessIdentity& me) const {
    if (me.primaryGid == gid) return true;
    for (const GroupEntry& group : entries) {
      if (group.gid == gid &&
          std::find(group.members.begin(), group.members.end(), me.user) != group.members.end()) {
        return true;
      }
    }
    return false;
  }
};

bool HasGroup(const ProcessIdentity& me, unsigned gid) {
  return std::find(me.groups.begin(), me.groups.end(), gid) != me.groups.end();
}

// The users a node's POSIX access list lets read and write it (udev's
// uaccess tag puts the seat's user there), as far as this process may read
// the list.
std::vector<unsigned> AclReadWriteUsers(const std::string& path) {
  uint8_t acl[1024];
  const ssize_t size = getxattr(path.c_str(), "system.posix_acl_access", acl, sizeof acl);
  // A 4-byte version, then entries of a 2-byte tag, 2-byte permissions and
  // a 4-byte id, little-endian.
  if (size < 4) return {};
  auto u16 = [&](size_t at) { return static_cast<unsigned>(acl[at] | acl[at + 1] << 8); };
  auto u32 = [&](size_t at) { return u16(at) | u16(at + 2) << 16; };
  constexpr unsigned kUser = 0x02, kMask = 0x10, kReadWrite = 0x6;
  unsigned mask = 0x7;
  std::vector<std::pair<unsigned, unsigned>> users;  // id, permissions
  for (size_t at = 4; at + 8 <= static_cast<size_t>(size); at += 8) {
    if (u16(at) == kUser) users.emplace_back(u32(at + 4), u16(at + 2));
    if (u16(at) == kMask) mask = u16(at + 2);
  }
  std::vector<unsigned> allowed;
  for (const auto& [id, permissions] : users) {
    if ((permissions & mask & kReadWrite) == kReadWrite) allowed.push_back(id);
  }
  return allowed;
}

std::string ModeText(mode_t mode) {
  std::string text = S_ISCHR(mode) ? "c" : S_ISREG(mode) ? "-" : "?";
  const char* letters = "rwxrwxrwx";
  for (int bit = 0; bit < 9; ++bit) text += (mode & (0400 >> bit)) != 0 ? letters[bit] : '-';
  return text;
}

std::string UserOf(const ProcessIdentity& me) { return me.user.empty() ? "$USER" : me.user; }

BenchCheck AccessCheck(const SerialPortFacts& port, const ProcessIdentity& me,
                       const Groups& groups) {
  std::string what = port.devicePath;
  if (IsPlc(port)) what += " (the PLC at " + port.usbLocation + ")";
  struct stat node {};
  if (stat(port.devicePath.c_str(), &node) != 0) {
    return {"access", CheckLevel::kProblem,
            what + ": the system lists the port, but " + port.devicePath + " does not exist",
            "sudo udevadm trigger --subsystem-match=tty"};
  }
  const std::string group = groups.NameOf(node.st_gid);
  what += " (" + ModeText(node.st_mode) + ", " + group + ")";
  const std::string user = UserOf(me);
  auto ok = [&](const std::string& why) {
    return BenchCheck{"access", CheckLevel::kOk, what + ": " + why, ""};
  };
  if (me.uid == 0) return ok("root may open it");
  if (node.st_uid == me.uid && (node.st_mode & 0600) == 0600) return ok(user + " owns it");
  const auto aclUsers = AclReadWriteUsers(port.devicePath);
  if (std::find(aclUsers.begin(), aclUsers.end(), me.uid) != aclUsers.end()) {
    return ok("its access list lets " + user + " open it (uaccess: the user at the seat)");
  }
  const bool groupMayOpen = (node.st_mode & 060) == 060;
  if (groupMayOpen && (HasGroup(me, node.st_gid))) return ok(user + " is in " + group);
  if ((node.st_mode & 06) == 06) return ok("anyone may open it");
  if (!groupMayOpen) {
    return {"access", CheckLevel::kProblem, what + ": only its owner may open it",
            "sudo chmod 660 " + port.devicePath};
  }
  if (groups.Lists(node.st_gid, me)) {
    return {"access", CheckLevel::kProblem,
            what + ": " + user + " was added to " + group +
                ", but this login began before: log in again",
            "log out and in again (a new terminal is not enough)"};
  }
  std::string detail = what + ": " + user + " is not in " + group;
  if (IsPlc(port)) detail += ", and no uaccess entry lets " + user + " open it";
  return {"access", CheckLevel::kProblem, detail,
          "sudo usermod -aG " + group + " " + user + ", then log out and in again"};
}

// The groups that guard serial ports everywhere, and those of the ports here.
BenchCheck SessionCheck(const std::vector<SerialPortFacts>& ports, const ProcessIdentity& me,
                        const Groups& groups) {
  std::set<unsigned> serialGroups;
  for (const GroupEntry& entry : groups.entries) {
    if (entry.name == "dialout" || entry.name == "uucp" || entry.name == "plugdev") {
      serialGroups.insert(entry.gid);
    }
  }
  for (const SerialPortFacts& port : ports) {
    struct stat node {};
    if (stat(port.devicePath.c_str(), &node) == 0 && node.st_gid != 0) {
      serialGroups.insert(node.st_gid);
    }
  }
  const std::string user = UserOf(me);
  if (me.uid == 0) return {"groups", CheckLevel::kOk, "root needs no group to open a port", ""};
  std::string missing, have;
  for (unsigned gid : serialGroups) {
    if (!groups.Lists(gid, me)) continue;
    std::string& list = HasGroup(me, gid) ? have : missing;
    list += (list.empty() ? "" : ", ") + groups.NameOf(gid);
  }
  if (!missing.empty()) {
    return {"groups", CheckLevel::kProblem,
            user + " was added to " + missing +
                " after this login began: this session does not have it yet",
            "log out and in again (a new terminal is not enough)"};
  }
  return {"groups", CheckLevel::kOk,
          have.empty() ? user + " is in no serial port group (dialout, uucp, plugdev)"
                       : "this session has " + user + "'s serial port groups: " + have,
          ""};
}

// --- The checks -------------------------------------------------------------

std::vector<BenchCheck> HolderChecks(const std::vector<SerialPortFacts>& ports,
                                     const BenchRoots& roots, const ProcessIdentity& me) {
  std::vector<BenchCheck> checks;
  for (const SerialPortFacts& port : ports) {
    const auto holder = FindPortHolder(port.devicePath, roots.top / "proc");
    if (!holder) continue;
    // A login console on a built-in port is common and harmless unless the
    // PLC is on that port; a USB adapter or the PLC held is the update's.
    const bool usb = !port.usbLocation.empty();
    checks.push_back({"holder", usb ? CheckLevel::kProblem : CheckLevel::kAdvice,
                      port.devicePath + " is held by " + holder->program + " (pid " + holder->pid +
                          "): the update cannot open it",
                      "close " + holder->program + ", or: kill " + holder->pid});
  }
  if (checks.empty()) {
    checks.push_back(
        {"holder", CheckLevel::kOk,
         std::string("no program holds a serial port") +
             (me.uid == 0 ? "" : " (as far as /proc shows: other users' programs are hidden)"),
         ""});
  }
  return checks;
}

std::optional<RuleFile> OurRule(const std::vector<RuleFile>& rules) {
  for (const RuleFile& rule : rules) {
    if (rule.path.filename() == kRuleName) return rule;
  }
  return std::nullopt;
}

BenchCheck UdevRuleCheck(const std::vector<RuleFile>& rules) {
  if (const auto rule = OurRule(rules)) {
    if (KeepsModemManagerOff(rule->text, kPlcVendorId, kPlcProductId)) {
      return {"udev-rule", CheckLevel::kOk, rule->path.string() + " is installed", ""};
    }
    return {"udev-rule", CheckLevel::kProblem,
            rule->path.string() + " does not name the PLC (3e9a:0001): an old or edited copy",
            kRuleFix};
  }
  return {"udev-rule", CheckLevel::kProblem,
          std::string(kRuleName) +
              " is not installed where udev reads rules (the package installs it): the PLC "
              "is not given to the user at the seat, and ModemManager is not kept off it",
          kRuleFix};
}

bool AnyRuleKeepsModemManagerOff(const std::vector<RuleFile>& rules, const std::string& vendor,
                                 const std::string& product) {
  return std::any_of(rules.begin(), rules.end(), [&](const RuleFile& rule) {
    return KeepsModemManagerOff(rule.text, vendor, product);
  });
}

BenchCheck ModemManagerCheck(const std::set<std::string>& running,
                             const std::vector<RuleFile>& rules,
                             const std::vector<SerialPortFacts>& ports) {
  if (running.count("ModemManager") == 0) {
    return {"modemmanager", CheckLevel::kOk, "ModemManager is not running", ""};
  }
  if (!AnyRuleKeepsModemManagerOff(rules, kPlcVendorId, kPlcProductId)) {
    return {"modemmanager", CheckLevel::kProblem,
            "ModemManager is running and no udev rule keeps it off the PLC: it sends AT "
            "commands to a new tty for seconds, in the middle of an update after the replug",
            std::string(kRuleFix) + "; or: sudo systemctl disable --now ModemManager"};
  }
  std::string open;
  for (const SerialPortFacts& port : ports) {
    if (port.vendorId.empty() ||
        AnyRuleKeepsModemManagerOff(rules, port.vendorId, port.productId)) {
      continue;
    }
    open += (open.empty() ? "" : ", ") + port.devicePath + " (" + port.vendorId + ":" +
            port.productId + ")";
  }
  if (!open.empty()) {
    return {"modemmanager", CheckLevel::kAdvice,
            "ModemManager is running and no udev rule keeps it off " + open +
                ": it may probe the port as it appears",
            "sudo systemctl stop ModemManager (while updating)"};
  }
  return {"modemmanager", CheckLevel::kOk,
          "ModemManager is running; the udev rules keep it off the PLC and the attached adapters",
          ""};
}

BenchCheck BrlttyCheck(const BenchRoots& roots, const std::vector<RuleFile>& rules,
                       const std::vector<UsbDeviceIds>& usb) {
  bool installed = false;
  for (const char* folder : {"usr/bin", "bin", "usr/sbin", "sbin"}) {
    std::error_code error;
    installed = installed || fs::exists(roots.top / folder / "brltty", error);
  }
  if (!installed) return {"brltty", CheckLevel::kOk, "brltty is not installed", ""};
  const RuleFile* claiming = nullptr;
  for (const RuleFile& rule : rules) {
    if (rule.path.filename().string().find("brltty") == std::string::npos) continue;
    for (const UsbIdsOf& ids : kCh34x) {
      if (BrlttyClaims(rule.text, ids.vendor, ids.product)) claiming = &rule;
    }
  }
  if (claiming == nullptr) {
    return {"brltty", CheckLevel::kOk,
            "brltty is installed; its udev rules leave CH340/CH341 adapters alone", ""};
  }
  const std::string fix =
      "sudo apt remove brltty, then replug the adapter (to keep brltty for a "
      "braille display: sudo ln -s /dev/null /etc/udev/rules.d/" +
      claiming->path.filename().string() + " && sudo udevadm control --reload-rules)";
  std::string attached;
  for (const UsbDeviceIds& device : usb) {
    if (IsCh34x(device.vendor, device.product)) {
      attached += (attached.empty() ? "" : ", ") + device.location;
    }
  }
  if (attached.empty()) {
    return {"brltty", CheckLevel::kAdvice,
            "brltty is installed and its rule " + claiming->path.string() +
                " takes CH340/CH341 adapters: one plugged in loses its port within seconds",
            fix};
  }
  return {"brltty", CheckLevel::kProblem,
          "brltty is installed and its rule " + claiming->path.string() +
              " takes the CH340/CH341 adapter at " + attached + " away from its serial port",
          fix};
}

// Only ftdi_sio gives its ports a latency_timer.
std::vector<BenchCheck> LatencyChecks(const std::vector<SerialPortFacts>& ports) {
  std::vector<BenchCheck> checks;
  for (const SerialPortFacts& port : ports) {
    const fs::path attribute = port.entry / "device" / "latency_timer";
    const std::string value = ReadSysfsAttribute(attribute);
    if (value.empty()) continue;
    if (value == "1") {
      checks.push_back({"latency-timer", CheckLevel::kOk,
                        port.devicePath + " (FTDI): latency_timer is 1 ms", ""});
      continue;
    }
    checks.push_back({"latency-timer", CheckLevel::kAdvice,
                      port.devicePath + " (FTDI): latency_timer is " + value +
                          " ms; the update asks for 1 ms while it has the port open, other "
                          "programs wait up to " +
                          value + " ms for every reply (the udev rule sets 1 ms for good)",
                      "echo 1 | sudo tee " + attribute.string()});
  }
  return checks;
}

}  // namespace

BenchRoots SystemBenchRoots() {
  const DeviceRoots devices = SystemDeviceRoots();
  return {devices, devices.sys.parent_path()};
}

ProcessIdentity ThisProcess() {
  ProcessIdentity me;
  me.uid = geteuid();
  me.groups.push_back(getegid());
  const int count = getgroups(0, nullptr);
  if (count > 0) {
    std::vector<gid_t> groups(static_cast<size_t>(count));
    const int got = getgroups(count, groups.data());
    for (int i = 0; i < got; ++i) me.groups.push_back(groups[static_cast<size_t>(i)]);
  }
  if (const passwd* entry = getpwuid(me.uid)) {
    me.user = entry->pw_name;
    me.primaryGid = entry->pw_gid;
  }
  return me;
}

std::vector<BenchCheck> CheckBench(const BenchRoots& roots, const ProcessIdentity& me) {
  const Groups groups{ParseGroupFile(ReadFile(roots.top / "etc" / "group"))};
  const std::vector<SerialPortFacts> ports = DescribeSerialPorts(roots.devices);
  const std::vector<RuleFile> rules = EffectiveRules(roots.top);

  std::vector<BenchCheck> checks;
  auto add = [&checks](std::vector<BenchCheck> more) {
    checks.insert(checks.end(), more.begin(), more.end());
  };
  checks.push_back(SessionCheck(ports, me, groups));
  if (ports.empty()) {
    checks.push_back({"access", CheckLevel::kOk, "no serial port is present", ""});
  }
  for (const SerialPortFacts& port : ports) checks.push_back(AccessCheck(port, me, groups));
  add(HolderChecks(ports, roots, me));
  checks.push_back(UdevRuleCheck(rules));
  checks.push_back(ModemManagerCheck(RunningPrograms(roots.top / "proc"), rules, ports));
  checks.push_back(BrlttyCheck(roots, rules, UsbDevices(roots.devices.sys)));
  add(UsbPlcChecks(ListUsbPlcs(roots.devices)));
  add(LatencyChecks(ports));
  return checks;
}

std::vector<BenchCheck> CheckBench() { return CheckBench(SystemBenchRoots(), ThisProcess()); }
