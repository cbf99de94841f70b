// SPDX-License-Identifier: MIT
// Small helpers several suites share: test images, files, and what a
// simulated PLC recorded.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "sim/plc_sim.h"

// Deterministic bytes that differ from block to block, so that a block sent
// twice, dropped or written in the wrong place shows in the flash.
inline std::vector<uint8_t> TestImage(size_t size) {
  std::vector<uint8_t> image(size);
  for (size_t i = 0; i < size; ++i) image[i] = static_cast<uint8_t>(i * 131 + (i >> 8) * 7 + 3);
  return image;
}

inline std::string ReadText(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

inline void WriteFile(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

// The simulator's violations, one a line, for a failure message.
inline std::string Violations(const PlcSimulator& plc) {
  std::string all;
  for (const PlcViolation& v : plc.record().violations) {
    // Appended piece by piece: GCC 12 at -O2 takes "#" + std::string for an
    // overlapping copy and warns (-Wrestrict, a false positive).
    all += '#';
    all += std::to_string(v.request);
    all += ' ';
    all += v.reason;
    all += '\n';
  }
  return all;
}

inline size_t CountOf(const PlcSimulator& plc, PlcRequest request) {
  size_t n = 0;
  for (const PlcRequestRecord& r : plc.record().requests) n += r.request == request ? 1 : 0;
  return n;
}
