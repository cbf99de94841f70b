// SPDX-License-Identifier: MIT
#pragma once

#include <array>
#include <cstdint>

// CRC-16/XMODEM (polynomial 0x1021, initial 0, no reflection, no final XOR)
// over `count` bytes; 0 for count 0.
uint32_t CRC(const uint8_t* data, int32_t count);

// The register after i × 256 has been shifted through eight steps of the
// polynomial: one lookup per byte instead of eight shifts.
extern const std::array<uint16_t, 256> kCrcTable;
