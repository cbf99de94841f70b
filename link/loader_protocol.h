// Phase 2: the PLC's loader. Short ASCII commands and single control bytes,
// then the image in numbered, CRC-checked blocks.
#pragma once

#include <atomic>
#include <cstdint>

#include "link/link.h"

// Burn state shown by the status panel.
extern std::atomic<int32_t> flashStatus;  // 0 idle, 1 erasing, 2 programming
extern std::atomic<int32_t> progress;     // percent of the current phase
// The loader version: high four bits major, low four bits minor (0x10 is V1.0).
extern std::atomic<uint8_t> GL_fu_version;

inline constexpr int32_t kIdle = 0;
inline constexpr int32_t kErasing = 1;
inline constexpr int32_t kProgramming = 2;

// Results: 0 success, 16 no acceptable reply, 22 flash write error (SendFW).
inline constexpr uint8_t kLoaderNoReply = 0x10;
inline constexpr uint8_t kFlashWriteError = 0x16;

uint8_t CheckID_B(Link& link);
uint8_t read_fu_version_B();  // on hSerial
// Erase and block counts follow the current model and fileLength; SendFW
// reads the image with FileRead from where the cursor stands.
uint8_t SendErase_B(Link& link);
uint8_t SendUpdate(Link& link);
uint8_t SendFW(Link& link);
