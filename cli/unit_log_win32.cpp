#include <windows.h>

#include "cli/unit_log.h"

// FILE_APPEND_DATA without FILE_WRITE_DATA: the system puts every write at
// the end of the file, as O_APPEND does, so two programs' records never
// land in each other.
intptr_t OpenForAppending(const std::string& path) {
  HANDLE file = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  return file == INVALID_HANDLE_VALUE ? -1 : reinterpret_cast<intptr_t>(file);
}

bool WriteOnce(intptr_t file, const std::string& line) {
  DWORD written = 0;
  return WriteFile(reinterpret_cast<HANDLE>(file), line.data(), static_cast<DWORD>(line.size()),
                   &written, nullptr) &&
         written == line.size();
}

void CloseAppending(intptr_t file) { CloseHandle(reinterpret_cast<HANDLE>(file)); }
