// SPDX-License-Identifier: MIT
#include "util/same_device.h"

#include <algorithm>
#include <cctype>
#include <filesystem>

std::optional<unsigned> ComPortNumber(std::string_view name) {
  if (name.rfind("\\\\.\\", 0) == 0) name.remove_prefix(4);
  const auto lower = [](char c) {
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  };
  if (name.size() < 4 || name.size() > 6 || lower(name[0]) != 'c' || lower(name[1]) != 'o' ||
      lower(name[2]) != 'm') {
    return std::nullopt;
  }
  unsigned number = 0;
  for (const char c : name.substr(3)) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
    number = number * 10 + static_cast<unsigned>(c - '0');
  }
  if (number == 0 || name[3] == '0') return std::nullopt;
  return number;
}

bool SameNewName(const std::string& a, const std::string& b, bool ignoreCase) {
  namespace fs = std::filesystem;
  const auto full = [](const std::string& name) {
    std::error_code error;
    fs::path path = fs::weakly_canonical(fs::absolute(name, error), error);
    return error ? fs::path(name).lexically_normal().string() : path.string();
  };
  std::string pathA = full(a);
  std::string pathB = full(b);
  if (ignoreCase) {
    const auto lower = [](std::string& text) {
      std::transform(text.begin(), text.end(), text.begin(),
                     [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    };
    lower(pathA);
    lower(pathB);
  }
  return pathA == pathB;
}
