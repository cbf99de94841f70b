// SPDX-License-Identifier: MIT
// SHA-256 (FIPS 180-4), to name an image by its contents in what the command
// line prints and records.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

class Sha256 {
 public:
  Sha256();
  void Add(std::span<const uint8_t> bytes);
  // The digest as 64 lower-case hexadecimal digits; the object is spent.
  std::string Hex();

 private:
  void Block(const uint8_t* block);
  std::array<uint32_t, 8> state_;
  std::array<uint8_t, 64> pending_{};
  size_t pendingBytes_ = 0;
  uint64_t totalBytes_ = 0;
};
