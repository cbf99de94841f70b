// SPDX-License-Identifier: MIT
// Who holds a COM port, from a fake of the system's handle table, and the
// checks said of it.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "doctor/win32_bench.h"

namespace {

constexpr DWORD kSelf = 100;
constexpr USHORT kFileType = 37;
constexpr LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004);

HANDLE AsHandle(ULONG_PTR value) { return reinterpret_cast<HANDLE>(value); }

struct FakeHandle {
  DWORD pid;
  ULONG_PTR handle;
  USHORT type;
  std::string device;  // what the name query on it gives
};

struct Fake {
  std::vector<FakeHandle> table;
  std::map<std::string, std::string> dosDevices;  // "COM5" -> "\Device\Serial0"
  std::map<DWORD, std::string> programs;          // the processes that may be looked into
  bool tableFails = false;
  int mismatches = 1;  // answers "too small" this often first
  // What the code did.
  std::set<ULONG_PTR> open;  // handles of this process not closed yet
  std::vector<ULONG_PTR> askedForDevice;
  ULONG_PTR nextHandle = 0x1000;
};
Fake fake;

constexpr ULONG_PTR kProbe = 0x10;

LONG FakeQueryHandles(void* buffer, ULONG size, ULONG* needed) {
  if (fake.tableFails) return static_cast<LONG>(0xC0000022);  // access denied
  const ULONG bytes =
      static_cast<ULONG>(offsetof(HandleTable, entries) + fake.table.size() * sizeof(HandleEntry));
  if (fake.mismatches > 0) {
    --fake.mismatches;
    *needed = size + 1;
    return kInfoLengthMismatch;
  }
  if (size < bytes) return kInfoLengthMismatch;
  auto* table = static_cast<HandleTable*>(buffer);
  table->count = fake.table.size();
  for (size_t i = 0; i < fake.table.size(); ++i) {
    table->entries[i] = HandleEntry{
        nullptr, fake.table[i].pid, fake.table[i].handle, 0x12019F, 0, fake.table[i].type, 0, 0};
  }
  return 0;
}
DWORD FakeCurrentProcessId() { return kSelf; }
HANDLE FakeOpenProbeFile() {
  fake.open.insert(kProbe);
  return AsHandle(kProbe);
}
HANDLE FakeOpenProcess(DWORD pid) {
  if (fake.programs.count(pid) == 0) return nullptr;
  fake.open.insert(pid << 16);
  return AsHandle(pid << 16);
}
HANDLE FakeDuplicateHandle(HANDLE process, HANDLE handle) {
  const DWORD pid = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(process) >> 16);
  for (const FakeHandle& entry : fake.table) {
    if (entry.pid == pid && entry.handle == reinterpret_cast<ULONG_PTR>(handle)) {
      const ULONG_PTR copy = fake.nextHandle++;
      fake.open.insert(copy);
      // The copy's device is its original's.
      fake.table.push_back({kSelf + 1000, copy, entry.type, entry.device});
      return AsHandle(copy);
    }
  }
  return nullptr;
}
BOOL FakeCloseHandle(HANDLE handle) {
  return fake.open.erase(reinterpret_cast<ULONG_PTR>(handle)) == 1;
}
std::string FakeDosDeviceOf(const std::string& name) {
  const auto it = fake.dosDevices.find(name);
  return it == fake.dosDevices.end() ? "" : it->second;
}
std::string FakeDeviceOf(HANDLE file) {
  fake.askedForDevice.push_back(reinterpret_cast<ULONG_PTR>(file));
  for (const FakeHandle& entry : fake.table) {
    if (entry.pid == kSelf + 1000 && entry.handle == reinterpret_cast<ULONG_PTR>(file)) {
      return entry.device;
    }
  }
  return "";
}
std::string FakeProgramOf(HANDLE process) {
  return fake.programs[static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(process) >> 16)];
}

const HolderApi kFakeApi = {FakeQueryHandles, FakeCurrentProcessId, FakeOpenProbeFile,
                            FakeOpenProcess,  FakeDuplicateHandle,  FakeCloseHandle,
                            FakeDosDeviceOf,  FakeDeviceOf,         FakeProgramOf};

class ComPortHolders : public ::testing::Test {
 protected:
  void SetUp() override {
    fake = Fake{};
    fake.dosDevices = {
        {"COM5", "\\Device\\Serial0"}, {"COM6", "\\Device\\Serial1"}, {"COM7", "\\Device\\VCP0"}};
    fake.programs = {{200, "term.exe"}, {300, "putty.exe"}, {500, "other.exe"}};
    fake.table = {
        {kSelf, kProbe, kFileType, ""},
        {300, 0x30, kFileType, "\\Device\\VCP0"},
        {200, 0x20, kFileType, "\\Device\\Serial0"},
        {200, 0x24, 5, "\\Device\\Serial0"},            // no file: never asked
        {400, 0x40, kFileType, "\\Device\\Serial1"},    // a program this user may not look into
        {500, 0x50, kFileType, "\\DEVICE\\SERIAL0"},    // a second holder of COM5
        {kSelf, 0x14, kFileType, "\\Device\\Serial1"},  // this program's own
        {200, 0x28, kFileType, "\\Device\\HarddiskVolume1\\x.txt"},
    };
  }
};

TEST_F(ComPortHolders, AreFoundByDeviceNameInPortOrderAndEveryHandleIsClosed) {
  const auto holders = FindComPortHolders(kFakeApi, {"COM5", "COM6", "COM7"});
  ASSERT_TRUE(holders.has_value());
  ASSERT_EQ(holders->size(), 2u);
  EXPECT_EQ((*holders)[0].port, "COM5");
  EXPECT_EQ((*holders)[0].program, "term.exe");
  EXPECT_EQ((*holders)[0].pid, 200u);
  EXPECT_EQ((*holders)[1].port, "COM7");
  EXPECT_EQ((*holders)[1].program, "putty.exe");
  EXPECT_EQ((*holders)[1].pid, 300u);
  // Only other programs' file handles are looked at: no type 5, nothing of
  // this program's own.
  EXPECT_EQ(fake.askedForDevice.size(), 4u);
  EXPECT_TRUE(fake.open.empty()) << fake.open.size() << " handles left open";
}

TEST_F(ComPortHolders, AnUnreadableTableIsNotToldAsNoHolder) {
  fake.tableFails = true;
  EXPECT_FALSE(FindComPortHolders(kFakeApi, {"COM5"}).has_value());
  EXPECT_TRUE(fake.open.empty());
}

TEST(ComBenchChecks, SayTheHeldPortsAndWhatIsUnknown) {
  const std::vector<UsbPlc> none;
  auto levels = [](const std::vector<BenchCheck>& checks) {
    std::string text;
    for (const BenchCheck& check : checks) {
      text += check.check + ":" + LevelWord(check.level) + " ";
    }
    return text;
  };
  const auto held =
      ComBenchChecks(std::vector<std::string>{"COM5", "COM7"},
                     std::vector<ComPortHolder>{{"COM7", "putty.exe", 300}}, none, false);
  EXPECT_EQ(levels(held), "port:ok port:ok holder:problem usb-plc:ok ");
  EXPECT_EQ(held[2].detail, "COM7 is held by putty.exe (pid 300): the update cannot open it");
  EXPECT_EQ(held[2].fix, "close putty.exe, or: taskkill /PID 300");
  EXPECT_TRUE(AnyProblem(held));

  const auto unknown = ComBenchChecks(std::vector<std::string>{"COM5"}, std::nullopt, none, false);
  EXPECT_EQ(levels(unknown), "port:ok holder:advice usb-plc:ok ");
  EXPECT_FALSE(AnyProblem(unknown));

  const auto free =
      ComBenchChecks(std::vector<std::string>{"COM5"}, std::vector<ComPortHolder>{}, none, false);
  EXPECT_EQ(levels(free), "port:ok holder:ok usb-plc:ok ");
  EXPECT_NE(free[1].detail.find("administrator"), std::string::npos);

  EXPECT_EQ(levels(ComBenchChecks(std::nullopt, std::nullopt, none, true)),
            "port:problem usb-plc:ok ");
}

}  // namespace
