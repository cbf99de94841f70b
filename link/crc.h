#pragma once

#include <cstdint>

// CRC-16/XMODEM (polynomial 0x1021, initial 0, no reflection, no final XOR)
// over `count` bytes; 0 for count 0.
uint32_t CRC(const uint8_t* data, int32_t count);
