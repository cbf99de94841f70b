// SPDX-License-Identifier: MIT
#include <filesystem>

#include "util/same_device.h"

bool SameDevice(const std::string& a, const std::string& b) {
  // A COM port is no file: "COM5" and "\\.\com5" open the same device.
  const std::optional<unsigned> comA = ComPortNumber(a);
  const std::optional<unsigned> comB = ComPortNumber(b);
  if (comA || comB) return comA == comB;
  namespace fs = std::filesystem;
  std::error_code error;
  const bool existsA = fs::exists(a, error);
  const bool existsB = fs::exists(b, error);
  if (!existsA || !existsB) return !existsA && !existsB && SameNewName(a, b, true);
  const bool same = fs::equivalent(a, b, error);
  return same && !error;
}
