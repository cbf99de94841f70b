// SPDX-License-Identifier: MIT
#include <sys/stat.h>

#include "util/same_device.h"

bool SameDevice(const std::string& a, const std::string& b) {
  // stat follows symbolic links: /dev/serial/by-id/... is the tty it names.
  struct stat statA {};
  struct stat statB {};
  const bool existsA = stat(a.c_str(), &statA) == 0;
  const bool existsB = stat(b.c_str(), &statB) == 0;
  if (!existsA || !existsB) return !existsA && !existsB && SameNewName(a, b, false);
  const auto device = [](const struct stat& s) { return S_ISCHR(s.st_mode) || S_ISBLK(s.st_mode); };
  // Two device nodes made with mknod for one device share only their number.
  if (device(statA) || device(statB)) {
    return device(statA) && device(statB) && (statA.st_mode & S_IFMT) == (statB.st_mode & S_IFMT) &&
           statA.st_rdev == statB.st_rdev;
  }
  return statA.st_dev == statB.st_dev && statA.st_ino == statB.st_ino;
}
