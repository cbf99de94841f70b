// SPDX-License-Identifier: MIT
// The simulator's own texts (violations, problems with a request or a
// setting): printf-style, since they mix hexadecimal bytes with names.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>

namespace sim {

std::string Format(const char* format, ...) __attribute__((format(gnu_printf, 1, 2)));
inline std::string Format(const char* format, ...) {
  char buffer[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  return buffer;
}

}  // namespace sim
