// SPDX-License-Identifier: MIT
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "cli/unit_log.h"

intptr_t OpenForAppending(const std::string& path) {
  return open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
}

// One write(): a second call for the rest could land after another
// program's record and cut both lines in two.
bool WriteOnce(intptr_t file, const std::string& line) {
  ssize_t written;
  do {
    written = write(static_cast<int>(file), line.data(), line.size());
  } while (written < 0 && errno == EINTR);
  return written == static_cast<ssize_t>(line.size());
}

void CloseAppending(intptr_t file) { close(static_cast<int>(file)); }
