// SPDX-License-Identifier: MIT
// Windows only: the bench checks, and who holds a COM port. Windows tells
// that only through the system's handle table: each file handle of another
// program is looked at through a duplicate in this process, never by
// opening the port, which would raise DTR and RTS. The calls are gathered
// in one table so that tests can put fakes in their place.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "discovery/usb_plc.h"
#include "doctor/checks.h"

// One entry of the system's handle table (SystemExtendedHandleInformation).
struct HandleEntry {
  void* object;
  ULONG_PTR pid;
  ULONG_PTR handle;
  ULONG access;
  USHORT creatorBackTraceIndex;
  USHORT typeIndex;
  ULONG attributes;
  ULONG reserved;
};
struct HandleTable {
  ULONG_PTR count;
  ULONG_PTR reserved;
  HandleEntry entries[1];
};

struct HolderApi {
  // NtQuerySystemInformation(SystemExtendedHandleInformation, ...): an
  // NTSTATUS, 0xC0000004 when `size` is too small.
  LONG (*queryHandles)(void* table, ULONG size, ULONG* needed);
  DWORD (*currentProcessId)();
  // A file handle of this process, whose entry tells the table's type
  // number of files ("NUL" on the system).
  HANDLE (*openProbeFile)();
  HANDLE (*openProcess)(DWORD pid);  // for duplicating handles and naming it
  // A handle of `process` as one of this process; nullptr when refused.
  HANDLE (*duplicateHandle)(HANDLE process, HANDLE handle);
  BOOL (*closeHandle)(HANDLE handle);
  // The device a name such as "COM5" stands for ("\Device\Serial0"); empty
  // when none.
  std::string (*dosDeviceOf)(const std::string& name);
  // The device of a file handle that is a character device
  // ("\Device\Serial0"); empty for any other, or when the system does not
  // answer in time (a name query can wait for ever on a handle with a
  // synchronous read pending).
  std::string (*deviceOf)(HANDLE file);
  std::string (*programOf)(HANDLE process);  // "putty.exe"
};

extern const HolderApi kSystemHolderApi;

struct ComPortHolder {
  std::string port;
  std::string program;
  DWORD pid = 0;
};

// The programs holding any of `ports`, in the order of `ports`; nullopt
// when the handle table cannot be read. Only the programs this user may
// look into are found.
std::optional<std::vector<ComPortHolder>> FindComPortHolders(const HolderApi& api,
                                                             const std::vector<std::string>& ports);

// The checks from what was found: the COM ports (nullopt: the device list
// could not be read), their holders (nullopt: not known) and the USB PLCs.
std::vector<BenchCheck> ComBenchChecks(const std::optional<std::vector<std::string>>& ports,
                                       const std::optional<std::vector<ComPortHolder>>& holders,
                                       const std::vector<UsbPlc>& plcs, bool administrator);
