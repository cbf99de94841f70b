// SPDX-License-Identifier: MIT
// The bench checks on Windows: the COM ports from SetupAPI, who holds them
// from the system's handle table, the USB PLCs from SetupAPI.
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstring>
#include <map>
#include <memory>
#include <new>

#include "discovery/ports.h"
#include "doctor/win32_bench.h"

namespace {

constexpr LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004);
constexpr ULONG kSystemExtendedHandleInformation = 64;
constexpr ULONG kObjectNameInformation = 1;
// The table of a busy system holds some 100,000 handles, 40 bytes each.
constexpr ULONG kLargestTable = 256u << 20;

using NtQuerySystemInformationFn = LONG(WINAPI*)(ULONG, void*, ULONG, ULONG*);
using NtQueryObjectFn = LONG(WINAPI*)(HANDLE, ULONG, void*, ULONG, ULONG*);

FARPROC Ntdll(const char* name) {
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll == nullptr ? nullptr : GetProcAddress(ntdll, name);
}

std::string Utf8(const wchar_t* text, int length) {
  if (length <= 0) return {};
  const int size = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
  std::string bytes(static_cast<size_t>(std::max(size, 0)), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, length, bytes.data(), size, nullptr, nullptr);
  return bytes;
}

LONG SystemQueryHandles(void* table, ULONG size, ULONG* needed) {
  const auto query = reinterpret_cast<NtQuerySystemInformationFn>(
      reinterpret_cast<void*>(Ntdll("NtQuerySystemInformation")));
  if (query == nullptr) return static_cast<LONG>(0xC0000002);  // not implemented
  return query(kSystemExtendedHandleInformation, table, size, needed);
}

HANDLE SystemOpenProbeFile() {
  return CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                     OPEN_EXISTING, 0, nullptr);
}

HANDLE SystemOpenProcess(DWORD pid) {
  return OpenProcess(PROCESS_DUP_HANDLE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
}

HANDLE SystemDuplicateHandle(HANDLE process, HANDLE handle) {
  HANDLE copy = nullptr;
  if (!DuplicateHandle(process, handle, GetCurrentProcess(), &copy, 0, FALSE,
                       DUPLICATE_SAME_ACCESS)) {
    return nullptr;
  }
  return copy;
}

BOOL SystemCloseHandle(HANDLE handle) { return CloseHandle(handle); }

std::string SystemDosDeviceOf(const std::string& name) {
  char target[1024] = {};
  if (QueryDosDeviceA(name.c_str(), target, sizeof target) == 0) return {};
  return target;  // the first of the names it stands for
}

// The name query runs on a thread of its own, which is abandoned when it
// does not answer in time: on a handle with a synchronous read pending
// (a terminal program waiting for bytes) the query waits as long as the
// read does.
struct NameQuery {
  HANDLE file;
  std::string device;
};

DWORD WINAPI QueryDevice(void* argument) {
  auto* query = static_cast<NameQuery*>(argument);
  if (GetFileType(query->file) != FILE_TYPE_CHAR) return 0;
  const auto queryObject =
      reinterpret_cast<NtQueryObjectFn>(reinterpret_cast<void*>(Ntdll("NtQueryObject")));
  if (queryObject == nullptr) return 0;
  // An OBJECT_NAME_INFORMATION: a UNICODE_STRING and the name behind it.
  alignas(8) unsigned char buffer[2048] = {};
  if (queryObject(query->file, kObjectNameInformation, buffer, sizeof buffer, nullptr) != 0) {
    return 0;
  }
  struct CountedName {  // UNICODE_STRING
    USHORT length;      // in bytes
    USHORT maximumLength;
    const wchar_t* buffer;
  };
  USHORT bytes = 0;
  std::memcpy(&bytes, buffer + offsetof(CountedName, length), sizeof bytes);
  const wchar_t* name = nullptr;
  std::memcpy(&name, buffer + offsetof(CountedName, buffer), sizeof name);
  if (name != nullptr) query->device = Utf8(name, bytes / sizeof(wchar_t));
  return 0;
}

std::string SystemDeviceOf(HANDLE file) {
  // Owned by the thread once it runs: an abandoned query may still write it.
  auto* query = new (std::nothrow) NameQuery{file, {}};
  if (query == nullptr) return {};
  HANDLE thread = CreateThread(nullptr, 0, QueryDevice, query, 0, nullptr);
  if (thread == nullptr) {
    delete query;
    return {};
  }
  if (WaitForSingleObject(thread, 200) != WAIT_OBJECT_0) {
    // The query is left to the stuck thread, which may still write it;
    // this is a short-lived program, and the thread ends with it.
    CloseHandle(thread);
    return {};
  }
  CloseHandle(thread);
  std::string device = std::move(query->device);
  delete query;
  return device;
}

std::string SystemProgramOf(HANDLE process) {
  char path[MAX_PATH] = {};
  DWORD size = sizeof path;
  if (!QueryFullProcessImageNameA(process, 0, path, &size)) return {};
  const std::string full(path, size);
  const size_t slash = full.find_last_of("\\/");
  return slash == std::string::npos ? full : full.substr(slash + 1);
}

DWORD SystemCurrentProcessId() { return GetCurrentProcessId(); }

bool SameName(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

struct ReadTable {
  std::unique_ptr<ULONG_PTR[]> buffer;
  ULONG_PTR count = 0;  // of the entries, no more than the buffer holds

  const HandleEntry& operator[](ULONG_PTR i) const {
    return reinterpret_cast<const HandleTable*>(buffer.get())->entries[i];
  }
};

// The system's handle table, grown until it fits; no buffer when it cannot
// be read.
ReadTable ReadHandleTable(const HolderApi& api) {
  ULONG size = 1u << 20;
  while (size <= kLargestTable) {
    ReadTable table{
        std::unique_ptr<ULONG_PTR[]>(new (std::nothrow) ULONG_PTR[size / sizeof(ULONG_PTR)]), 0};
    if (!table.buffer) return {};
    ULONG needed = 0;
    const LONG status = api.queryHandles(table.buffer.get(), size, &needed);
    if (status == 0) {
      const ULONG_PTR room = (size - offsetof(HandleTable, entries)) / sizeof(HandleEntry);
      table.count = std::min(table.buffer[0], room);
      return table;
    }
    if (status != kInfoLengthMismatch) return {};
    // The table grows between the calls: some room beyond what was asked.
    size = std::max(size * 2, needed + (needed / 4));
  }
  return {};
}

bool IsAdministrator() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  TOKEN_ELEVATION elevation{};
  DWORD size = 0;
  const bool elevated =
      GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size) &&
      elevation.TokenIsElevated != 0;
  CloseHandle(token);
  return elevated;
}

}  // namespace

const HolderApi kSystemHolderApi = {
    SystemQueryHandles, SystemCurrentProcessId, SystemOpenProbeFile,
    SystemOpenProcess,  SystemDuplicateHandle,  SystemCloseHandle,
    SystemDosDeviceOf,  SystemDeviceOf,         SystemProgramOf,
};

std::optional<std::vector<ComPortHolder>> FindComPortHolders(
    const HolderApi& api, const std::vector<std::string>& ports) {
  std::map<std::string, std::string> portOfDevice;  // "\\Device\\Serial0" -> "COM5"
  for (const std::string& port : ports) {
    const std::string device = api.dosDeviceOf(port);
    if (!device.empty()) portOfDevice.emplace(device, port);
  }
  std::vector<ComPortHolder> holders;
  if (portOfDevice.empty()) return holders;

  HANDLE probe = api.openProbeFile();
  if (probe == INVALID_HANDLE_VALUE || probe == nullptr) return std::nullopt;
  const ReadTable table = ReadHandleTable(api);
  if (!table.buffer) {
    api.closeHandle(probe);
    return std::nullopt;
  }
  const DWORD self = api.currentProcessId();
  // The type number of files differs between versions of Windows: the
  // probe's own entry tells it.
  std::optional<USHORT> fileType;
  for (ULONG_PTR i = 0; i < table.count; ++i) {
    const HandleEntry& entry = table[i];
    if (entry.pid == self && entry.handle == reinterpret_cast<ULONG_PTR>(probe)) {
      fileType = entry.typeIndex;
    }
  }
  api.closeHandle(probe);
  if (!fileType) return std::nullopt;

  std::map<ULONG_PTR, HANDLE> processes;  // nullptr: may not be looked into
  for (ULONG_PTR i = 0; i < table.count; ++i) {
    const HandleEntry& entry = table[i];
    if (entry.typeIndex != *fileType || entry.pid == self) continue;
    auto process = processes.find(entry.pid);
    if (process == processes.end()) {
      process = processes.emplace(entry.pid, api.openProcess(static_cast<DWORD>(entry.pid))).first;
    }
    if (process->second == nullptr) continue;
    HANDLE copy = api.duplicateHandle(process->second, reinterpret_cast<HANDLE>(entry.handle));
    if (copy == nullptr) continue;
    const std::string device = api.deviceOf(copy);
    api.closeHandle(copy);
    for (const auto& [portDevice, port] : portOfDevice) {
      if (device.empty() || !SameName(device, portDevice)) continue;
      const bool known = std::any_of(holders.begin(), holders.end(),
                                     [&](const ComPortHolder& h) { return h.port == port; });
      if (!known) {
        holders.push_back({port, api.programOf(process->second), static_cast<DWORD>(entry.pid)});
      }
    }
  }
  for (const auto& [pid, process] : processes) {
    if (process != nullptr) api.closeHandle(process);
  }
  std::stable_sort(holders.begin(), holders.end(), [&](const auto& a, const auto& b) {
    return std::find(ports.begin(), ports.end(), a.port) <
           std::find(ports.begin(), ports.end(), b.port);
  });
  return holders;
}

std::vector<BenchCheck> ComBenchChecks(const std::optional<std::vector<std::string>>& ports,
                                       const std::optional<std::vector<ComPortHolder>>& holders,
                                       const std::vector<UsbPlc>& plcs, bool administrator) {
  std::vector<BenchCheck> checks;
  if (!ports) {
    checks.push_back({"port", CheckLevel::kProblem,
                      "the system's device list cannot be read: no COM port can be found", ""});
  } else if (ports->empty()) {
    checks.push_back({"port", CheckLevel::kOk,
                      "no COM port is present (a COM model needs one, a USB model none)", ""});
  }
  for (const std::string& port : ports.value_or(std::vector<std::string>{})) {
    checks.push_back({"port", CheckLevel::kOk, port + " is present", ""});
  }
  if (ports && !ports->empty()) {
    if (!holders) {
      checks.push_back({"holder", CheckLevel::kAdvice,
                        "which program holds a COM port cannot be told: the system's handle "
                        "table cannot be read",
                        ""});
    } else {
      for (const ComPortHolder& holder : *holders) {
        const std::string program = holder.program.empty() ? "a program" : holder.program;
        checks.push_back(
            {"holder", CheckLevel::kProblem,
             holder.port + " is held by " + program + " (pid " + std::to_string(holder.pid) +
                 "): the update cannot open it",
             "close " + program + ", or: taskkill /PID " + std::to_string(holder.pid)});
      }
      if (holders->empty()) {
        checks.push_back(
            {"holder", CheckLevel::kOk,
             std::string("no program holds a COM port") +
                 (administrator
                      ? ""
                      : " (as far as this user may look: an administrator's prompt sees every "
                        "program)"),
             ""});
      }
    }
  }
  const auto usb = UsbPlcChecks(plcs);
  checks.insert(checks.end(), usb.begin(), usb.end());
  return checks;
}

std::vector<BenchCheck> CheckBench() {
  const auto ports = ListComPorts();
  const auto holders = ports ? FindComPortHolders(kSystemHolderApi, *ports)
                             : std::optional<std::vector<ComPortHolder>>();
  return ComBenchChecks(ports, holders, ListUsbPlcs(), IsAdministrator());
}
