// Phase 1: the PLC runs its application firmware and speaks Modbus ASCII.
//
// Every request goes to station 0x00. Function 0x64 carries the tool's own
// commands (sub-code 0x5B for the AIO models, 0x59 otherwise), function 0x03
// reads the variant registers, and a burst of function 0x7F wakes the line.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "link/link.h"

// Results of ConfirmComm, CheckID_A and SendErase_A.
inline constexpr uint8_t kApplicationMode = 0x05;  // ConfirmComm
inline constexpr uint8_t kLoaderMode = 0x06;       // ConfirmComm
inline constexpr uint8_t kNoRefusal = 0x18;        // no reply, or none that refused

void DummyComm(Link& link);
uint8_t ConfirmComm(Link& link);
uint8_t CheckID_A(Link& link);
// The register's value; nothing when the PLC gave no valid reply, which a
// caller must not take for a register that reads 0.
std::optional<uint16_t> READ_D1386(Link& link);
std::optional<uint16_t> READ_D1001(Link& link);
std::optional<uint16_t> READ_D1148(Link& link);
uint8_t read_fu_version_A();  // on hSerial
uint8_t SendErase_A(Link& link);

// Converts the n hexadecimal characters at p into bytes, in place, and
// returns their 8-bit sum: 0 for a valid frame. A character that is not an
// upper-case hexadecimal digit ends the conversion with 1; the pairs before
// it stay converted.
uint8_t CheckLRC(uint8_t* p, uint8_t n);

// ':' , the message bytes and their LRC as upper-case hex pairs, CR LF.
std::vector<uint8_t> ModbusAsciiFrame(std::span<const uint8_t> message);
// Two's complement of the 8-bit sum: the message and its LRC sum to 0.
uint8_t Lrc(std::span<const uint8_t> message);
