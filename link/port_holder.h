// SPDX-License-Identifier: MIT
// Who holds a serial port, as Linux's /proc tells: the link says it when a
// port is busy, and the bench check lists it before anything is opened.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

struct PortHolder {
  std::string program;  // the process's comm, as the kernel keeps it (at most 15 bytes)
  std::string pid;
};

// The first process other than this one with `device` open, from the fd
// links under `proc`. Nothing when none is found: another user's processes
// are hidden from an ordinary user, so "nothing" means "none that /proc
// shows".
std::optional<PortHolder> FindPortHolder(const std::string& device,
                                         const std::filesystem::path& proc = "/proc");

// "held by minicom (pid 4242)", or empty when /proc says nothing.
std::string HolderOf(const std::string& device);
