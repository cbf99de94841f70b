// SPDX-License-Identifier: MIT
#include "link/serial_path.h"

#include <algorithm>
#include <cctype>

namespace {

bool IsComPortName(std::string_view port) {
  constexpr std::string_view kCom = "COM";
  if (port.size() <= kCom.size()) return false;
  const bool com = std::equal(kCom.begin(), kCom.end(), port.begin(), [](char want, char got) {
    return want == std::toupper(static_cast<unsigned char>(got));
  });
  return com && std::all_of(port.begin() + kCom.size(), port.end(), [](char c) {
           return std::isdigit(static_cast<unsigned char>(c)) != 0;
         });
}

}  // namespace

std::string SerialDevicePath(std::string_view port) {
  if (!IsComPortName(port)) return std::string(port);
  return "\\\\.\\" + std::string(port);
}
