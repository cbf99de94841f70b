// SPDX-License-Identifier: MIT
#include "link/crc.h"

namespace {

constexpr uint16_t kPolynomial = 0x1021;

constexpr std::array<uint16_t, 256> MakeCrcTable() {
  std::array<uint16_t, 256> table{};
  for (uint32_t i = 0; i < table.size(); ++i) {
    uint32_t r = i << 8;
    for (int bit = 0; bit < 8; ++bit) r = (r & 0x8000) != 0 ? (r << 1) ^ kPolynomial : r << 1;
    table[i] = static_cast<uint16_t>(r);
  }
  return table;
}

}  // namespace

// Computed by the compiler, so the program carries it as constant data.
constexpr std::array<uint16_t, 256> kCrcTable = MakeCrcTable();

uint32_t CRC(const uint8_t* data, int32_t count) {
  uint32_t r = 0;
  for (int32_t i = 0; i < count; ++i)
    r = ((r << 8) ^ kCrcTable[((r >> 8) ^ data[i]) & 0xFF]) & 0xFFFF;
  return r;
}
