// SPDX-License-Identifier: MIT
// Linux only: the bench checks on a file-system tree. The roots are
// parameters so that tests run them on trees of their own.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "discovery/linux_sysfs.h"
#include "doctor/checks.h"

struct BenchRoots {
  DeviceRoots devices;
  // proc, etc, run, usr and lib lie below it: "/" on the system.
  std::filesystem::path top = "/";
};

// The system's roots, or with MORVIX_SYSFS_ROOT=/tmp/t/sys the fake tree
// beside it: /tmp/t/dev, /tmp/t/proc, /tmp/t/etc, /tmp/t/usr/lib/udev...
BenchRoots SystemBenchRoots();

// What decides whether a device node opens for this process.
struct ProcessIdentity {
  unsigned uid = 0;
  std::string user;              // empty when the password database does not know the uid
  unsigned primaryGid = 0;       // the login group, from the password database
  std::vector<unsigned> groups;  // this process's own: getegid() and getgroups()
};
ProcessIdentity ThisProcess();

// Every check, on `roots`, for `me`.
std::vector<BenchCheck> CheckBench(const BenchRoots& roots, const ProcessIdentity& me);
