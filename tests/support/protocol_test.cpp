// SPDX-License-Identifier: MIT
#include "support/protocol_test.h"

#include "link/app_protocol.h"

Bytes Reply64(uint8_t status, uint8_t byte5, uint8_t byte6) {
  const uint8_t message[] = {0x00, 0x64, 0x01, 0x59, status, byte5, byte6};
  return ModbusAsciiFrame(message);
}

Bytes RegisterReply(uint16_t value) {
  const uint8_t message[] = {0x00, 0x03, 0x02, static_cast<uint8_t>(value >> 8),
                             static_cast<uint8_t>(value)};
  return ModbusAsciiFrame(message);
}
