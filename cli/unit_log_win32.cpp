// SPDX-License-Identifier: MIT
#include <windows.h>

#include "cli/unit_log.h"

namespace {

// A byte no record ever reaches: locked by every writer around its write,
// it is a lock between programs that never keeps a reader from the records.
constexpr DWORD kLockOffsetHigh = 0x7FFFFFFF;

}  // namespace

// FILE_APPEND_DATA without FILE_WRITE_DATA: the system puts every write at
// the end of the file, as O_APPEND does. Reading is asked for only because
// a byte-range lock needs it.
intptr_t OpenForAppending(const std::string& path) {
  HANDLE file = CreateFileA(path.c_str(), FILE_APPEND_DATA | FILE_READ_DATA,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  return file == INVALID_HANDLE_VALUE ? -1 : reinterpret_cast<intptr_t>(file);
}

// Appends from two handles are not kept apart everywhere (under wine one
// record overwrote another): writers take turns through the lock.
bool WriteOnce(intptr_t file, const std::string& line) {
  const HANDLE handle = reinterpret_cast<HANDLE>(file);
  OVERLAPPED at{};
  at.OffsetHigh = kLockOffsetHigh;
  if (!LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &at)) return false;
  DWORD written = 0;
  const bool whole =
      WriteFile(handle, line.data(), static_cast<DWORD>(line.size()), &written, nullptr) &&
      written == line.size();
  UnlockFileEx(handle, 0, 1, 0, &at);
  return whole;
}

void CloseAppending(intptr_t file) { CloseHandle(reinterpret_cast<HANDLE>(file)); }
