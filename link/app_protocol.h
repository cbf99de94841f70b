// SPDX-License-Identifier: MIT
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

#include "catalogue/model_table.h"
#include "link/dialogue.h"

// Results of ConfirmComm, CheckID_A and SendErase_A. The values are the
// status codes the PLC's refusals map to; the burn chooses a message by
// their low four bits.
enum class AppStatus : uint8_t {
  kSuccess = 0x00,          // CheckID_A, SendErase_A
  kApplicationMode = 0x05,  // ConfirmComm: the application firmware answered
  kLoaderMode = 0x06,       // ConfirmComm: the loader answered
  kRefusedDetail1 = 0x11,   // refused with class 0x02 and this detail
  kRefusedDetail2 = 0x12,
  kRefusedDetail3 = 0x13,
  kRefusedDetail4 = 0x14,
  kRefusedOtherDetail = 0x15,  // class 0x02, a detail the operation does not name
  kRefusedClass1 = 0x16,       // class 0x01 (ConfirmComm only)
  kRefusedOtherClass = 0x17,
  kNoRefusal = 0x18,  // no reply, a damaged one, or one with another status
};

// The wake-up burst; it also takes what a slow PLC still sends off the line.
void DummyComm(const Dialogue& dialogue, const ModelRules& model);
AppStatus ConfirmComm(const Dialogue& dialogue, const ModelRules& model);
AppStatus CheckID_A(const Dialogue& dialogue, const ModelRules& model);
// The identity query without a check: the code the PLC reports, whatever it
// is; nothing when no valid accepted reply came. Reads only.
std::optional<uint16_t> QueryID_A(const Dialogue& dialogue, const ModelRules& model);
// The register's value; nothing when the PLC gave no valid reply, which a
// caller must not take for a register that reads 0.
std::optional<uint16_t> READ_D1386(const Dialogue& dialogue);
std::optional<uint16_t> READ_D1001(const Dialogue& dialogue);
std::optional<uint16_t> READ_D1148(const Dialogue& dialogue);
// The loader version byte; 0 when the PLC gave no valid reply.
uint8_t read_fu_version_A(const Dialogue& dialogue);
AppStatus SendErase_A(const Dialogue& dialogue, const ModelRules& model);

// The identity code in a reply to the identity query as it came off the
// line: a valid accepted reply names the code of the PLC's model whether or
// not it is the code asked for. Nothing for any other reply.
std::optional<uint16_t> IdentityInReply(std::span<const uint8_t> reply);

// Converts the n hexadecimal characters at p into bytes, in place, and
// returns their 8-bit sum: 0 for a valid frame. A character that is not an
// upper-case hexadecimal digit ends the conversion with 1; the pairs before
// it stay converted.
uint8_t CheckLRC(uint8_t* p, uint8_t n);

// ':' , the message bytes and their LRC as upper-case hex pairs, CR LF.
std::vector<uint8_t> ModbusAsciiFrame(std::span<const uint8_t> message);
// Two's complement of the 8-bit sum: the message and its LRC sum to 0.
uint8_t Lrc(std::span<const uint8_t> message);
