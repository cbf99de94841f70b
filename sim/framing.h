// SPDX-License-Identifier: MIT
// How the PLC takes the bytes it hears apart into requests: Modbus ASCII
// frames, the loader's commands, block packets, and garbage; and how it
// frames its own Modbus replies. Framing knows the wire formats only; what a
// request means and whether it comes in order is the dialogues' business.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "sim/plc_sim.h"

namespace sim {

// Bytes of the dialogues.
inline constexpr uint8_t kStx = 0x02;         // starts a block packet
inline constexpr uint8_t kEot = 0x04;         // closes the erase, and the transfer
inline constexpr uint8_t kAck = 0x06;         // loader: accepted; function 0x64: status accepted
inline constexpr uint8_t kNak = 0x15;         // loader: not accepted
inline constexpr uint8_t kRefusal = 0x15;     // function 0x64: status refused
inline constexpr uint8_t kFlashError = 0x16;  // loader: the flash could not be written
inline constexpr uint8_t kFill = 0x1A;        // pads the image's last block

// What the PLC listens for, as its dialogues stand.
struct Listening {
  bool loader;          // its loader runs: commands and block packets are requests too
  bool transferOpen;    // a 0x04 closes the transfer, not the erase
  bool aio;             // it takes sub-code 0x5B in function 0x64 frames, not 0x59
  uint32_t blockBytes;  // D, the data bytes of a block packet
};

struct FramedRequest {
  size_t length;  // bytes of the input it takes; 0: it is not complete yet
  PlcRequest request;
  std::string problem;  // why it is malformed; empty when it is sound
};

// The request at the start of `input` (which is not empty).
FramedRequest NextRequest(std::span<const uint8_t> input, const Listening& listening);

// The sub-code of the function 0x64 frames for `request`, both ways: the
// loader-version query carries 0x59 on every model.
uint8_t SubCodeOf(PlcRequest request, bool aio);

// An upper-case hexadecimal digit's value, -1 for any other character.
int HexDigit(uint8_t c);

// The PLC's Modbus replies, framed: function 0x64 with its status and two
// more bytes, a register's value, an exception.
std::vector<uint8_t> Function64Reply(uint8_t subCode, uint8_t status, uint8_t b5, uint8_t b6);
std::vector<uint8_t> RegisterReply(uint16_t value);
std::vector<uint8_t> ExceptionReply(uint8_t function, uint8_t code);

// Kinds of request.
bool IsModbusRequest(PlcRequest request);
bool IsLoaderRequest(PlcRequest request);
bool IsApplicationOnly(PlcRequest request);  // function 0x64 and 0x03, but not the check
bool IsRegisterRead(PlcRequest request);

}  // namespace sim
