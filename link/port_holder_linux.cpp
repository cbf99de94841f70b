// SPDX-License-Identifier: MIT
#include <unistd.h>

#include <fstream>

#include "link/port_holder.h"

namespace fs = std::filesystem;

std::optional<PortHolder> FindPortHolder(const std::string& device, const fs::path& proc) {
  std::error_code error;
  const fs::path target = fs::canonical(device, error);
  if (error) return std::nullopt;
  const std::string self = std::to_string(getpid());
  // Processes come and go during the scan: every step takes an error code,
  // since a range-for's increment would throw when a process's fd folder
  // vanishes under it.
  for (fs::directory_iterator process(proc, error), end; !error && process != end;
       process.increment(error)) {
    const std::string pid = process->path().filename().string();
    if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos || pid == self) {
      continue;
    }
    std::error_code fdError;
    for (fs::directory_iterator fd(process->path() / "fd", fdError); !fdError && fd != end;
         fd.increment(fdError)) {
      std::error_code linkError;
      if (fs::read_symlink(fd->path(), linkError) != target || linkError) continue;
      std::ifstream comm(process->path() / "comm");
      std::string name;
      std::getline(comm, name);
      return PortHolder{name, pid};
    }
  }
  return std::nullopt;
}

std::string HolderOf(const std::string& device) {
  const auto holder = FindPortHolder(device);
  return holder ? "held by " + holder->program + " (pid " + holder->pid + ")" : std::string();
}
