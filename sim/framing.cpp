// SPDX-License-Identifier: MIT
#include "sim/framing.h"

#include <algorithm>
#include <initializer_list>
#include <string_view>
#include <utility>

#include "link/app_protocol.h"
#include "sim/sim_text.h"

namespace sim {
namespace {

constexpr uint8_t kSubCode = 0x59;
constexpr uint8_t kAioSubCode = 0x5B;

constexpr uint16_t kD1386 = 0x1000 + 1386;
constexpr uint16_t kD1001 = 0x1000 + 1001;
constexpr uint16_t kD1148 = 0x1000 + 1148;

// The longest Modbus ASCII frame: ':' , 256 bytes as hex, CR LF.
constexpr size_t kMaxFrame = 1 + 2 * 256 + 2;

// The first letters of "ID", "VERSION", "ERASE" and "UPDATE".
bool IsCommandLetter(uint8_t c) { return c == 'I' || c == 'V' || c == 'E' || c == 'U'; }

bool StartsRequest(uint8_t c, const Listening& listening) {
  if (c == ':') return true;
  return listening.loader && (c == kStx || c == kEot || IsCommandLetter(c));
}

// Noise runs up to the next byte that could begin a request.
FramedRequest Garbage(std::span<const uint8_t> input, const Listening& listening) {
  size_t n = 1;
  while (n < input.size() && !StartsRequest(input[n], listening)) ++n;
  return {n, PlcRequest::kUnknown,
          Format("%zu bytes that begin no request (first 0x%02X)", n, input[0])};
}

FramedRequest Modbus(std::span<const uint8_t> input, const Listening& listening) {
  size_t end = 1;
  while (end < input.size() && input[end] != '\n' && input[end] != ':') ++end;
  if (end == input.size()) {
    if (input.size() > kMaxFrame) {
      return {input.size(), PlcRequest::kUnknown,
              Format("Modbus frame longer than %zu characters without LF", kMaxFrame)};
    }
    return {0, PlcRequest::kUnknown, {}};
  }
  if (input[end] == ':') {
    return {end, PlcRequest::kUnknown,
            Format("Modbus frame of %zu characters cut short by a new ':'", end)};
  }
  const size_t length = end + 1;
  if (input[end - 1] != '\r') {
    return {length, PlcRequest::kUnknown, "Modbus frame ends in LF without CR"};
  }
  const size_t chars = end - 2;  // between ':' and CR
  if (chars % 2 != 0) {
    return {length, PlcRequest::kUnknown,
            Format("Modbus frame with an odd number (%zu) of hexadecimal characters", chars)};
  }
  std::vector<uint8_t> message;
  for (size_t i = 1; i + 1 < end; i += 2) {
    const int high = HexDigit(input[i]);
    const int low = HexDigit(input[i + 1]);
    if (high < 0 || low < 0) {
      const uint8_t bad = high < 0 ? input[i] : input[i + 1];
      const bool lower = bad >= 'a' && bad <= 'f';
      return {length, PlcRequest::kUnknown,
              lower ? Format("Modbus frame with lower-case hexadecimal '%c'", bad)
                    : Format("Modbus frame with a character 0x%02X that is not hexadecimal", bad)};
    }
    message.push_back(static_cast<uint8_t>(high * 16 + low));
  }
  if (message.size() < 3) {
    return {length, PlcRequest::kUnknown, "Modbus frame too short for station, function and LRC"};
  }
  uint8_t sum = 0;
  for (uint8_t b : message) sum = static_cast<uint8_t>(sum + b);
  if (sum != 0) {
    return {length, PlcRequest::kUnknown,
            Format("Modbus frame whose LRC 0x%02X does not match (bytes sum to 0x%02X)",
                   message.back(), sum)};
  }
  if (message[0] != 0x00) {
    return {length, PlcRequest::kUnknown,
            Format("Modbus frame to station 0x%02X, not 0x00", message[0])};
  }
  const uint8_t function = message[1];
  const size_t size = message.size();
  if (function == 0x7F) {
    if (size != 3) return {length, PlcRequest::kWakeUp, "wake-up frame carries data"};
    return {length, PlcRequest::kWakeUp, {}};
  }
  if (function == 0x03) {
    if (size != 7) {
      return {length, PlcRequest::kUnknown,
              Format("function 0x03 frame of %zu bytes, not 7", size)};
    }
    const uint16_t address = static_cast<uint16_t>(message[2] << 8 | message[3]);
    const uint16_t quantity = static_cast<uint16_t>(message[4] << 8 | message[5]);
    PlcRequest request = PlcRequest::kUnknown;
    if (address == kD1386) request = PlcRequest::kReadD1386;
    if (address == kD1001) request = PlcRequest::kReadD1001;
    if (address == kD1148) request = PlcRequest::kReadD1148;
    if (request == PlcRequest::kUnknown) {
      return {length, request,
              Format("register address 0x%04X is none of D1386, D1001, D1148", address)};
    }
    if (quantity != 1) {
      return {length, request, Format("register quantity %u, not 1", quantity)};
    }
    return {length, request, {}};
  }
  if (function != 0x64) {
    return {length, PlcRequest::kUnknown, Format("Modbus function 0x%02X", function)};
  }
  if (size < 6) return {length, PlcRequest::kUnknown, "function 0x64 frame without a command"};
  const std::span<const uint8_t> command(message.data() + 4, size - 5);
  auto is = [&command](std::initializer_list<uint8_t> bytes) {
    return command.size() == bytes.size() &&
           std::equal(bytes.begin(), bytes.end(), command.begin());
  };
  PlcRequest request = PlcRequest::kUnknown;
  if (is({0x01})) request = PlcRequest::kCommCheck;
  if (is({'I', 'D'})) request = PlcRequest::kIdentityA;
  if (is({0x05})) request = PlcRequest::kVersionA;
  if (is({'E', 'R', 'A', 'S', 'E'})) request = PlcRequest::kEraseA;
  if (is({0x06})) request = PlcRequest::kConfirmA;
  if (request == PlcRequest::kUnknown) {
    return {length, request,
            Format("function 0x64 command of %zu bytes beginning 0x%02X is unknown", command.size(),
                   command[0])};
  }
  if (message[2] != 0x01) {
    return {length, request,
            Format("function 0x64 frame with 0x%02X where 0x01 belongs", message[2])};
  }
  const uint8_t wanted = SubCodeOf(request, listening.aio);
  if (message[3] != wanted) {
    return {length, request,
            Format("sub-code 0x%02X, the PLC takes 0x%02X for this request", message[3], wanted)};
  }
  return {length, request, {}};
}

FramedRequest LoaderCommand(std::span<const uint8_t> input) {
  static constexpr std::pair<PlcRequest, std::string_view> kWords[] = {
      {PlcRequest::kId, "ID"},
      {PlcRequest::kVersion, "VERSION"},
      {PlcRequest::kErase, "ERASE"},
      {PlcRequest::kUpdate, "UPDATE"},
  };
  for (const auto& [request, word] : kWords) {
    if (input.front() != static_cast<uint8_t>(word.front())) continue;
    size_t i = 1;
    while (i < word.size() && i < input.size() && input[i] == static_cast<uint8_t>(word[i])) ++i;
    if (i == word.size()) return {i, request, {}};
    if (i == input.size()) return {0, request, {}};  // more to come
    return {i, PlcRequest::kUnknown,
            Format("unknown loader command beginning \"%.*s\" followed by 0x%02X",
                   static_cast<int>(i), word.data(), input[i])};
  }
  return {1, PlcRequest::kUnknown, "unknown loader command"};
}

// STX, the block number, its complement, D data bytes, the CRC: whether
// they are right is the loader's to judge.
FramedRequest BlockPacket(std::span<const uint8_t> input, const Listening& listening) {
  const size_t length = listening.blockBytes + 5;
  return {input.size() < length ? 0 : length, PlcRequest::kBlock, {}};
}

}  // namespace

FramedRequest NextRequest(std::span<const uint8_t> input, const Listening& listening) {
  const uint8_t first = input.front();
  if (first == ':') return Modbus(input, listening);
  if (listening.loader) {
    if (first == kStx) return BlockPacket(input, listening);
    if (first == kEot) {
      return {1, listening.transferOpen ? PlcRequest::kTransferEnd : PlcRequest::kEraseEnd, {}};
    }
    if (IsCommandLetter(first)) return LoaderCommand(input);
  }
  return Garbage(input, listening);
}

uint8_t SubCodeOf(PlcRequest request, bool aio) {
  return request == PlcRequest::kVersionA || !aio ? kSubCode : kAioSubCode;
}

int HexDigit(uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::vector<uint8_t> Function64Reply(uint8_t subCode, uint8_t status, uint8_t b5, uint8_t b6) {
  const uint8_t message[] = {0x00, 0x64, 0x01, subCode, status, b5, b6};
  return ModbusAsciiFrame(message);
}

std::vector<uint8_t> RegisterReply(uint16_t value) {
  const uint8_t message[] = {0x00, 0x03, 0x02, static_cast<uint8_t>(value >> 8),
                             static_cast<uint8_t>(value)};
  return ModbusAsciiFrame(message);
}

std::vector<uint8_t> ExceptionReply(uint8_t function, uint8_t code) {
  const uint8_t message[] = {0x00, static_cast<uint8_t>(function | 0x80), code};
  return ModbusAsciiFrame(message);
}

bool IsModbusRequest(PlcRequest request) { return request <= PlcRequest::kConfirmA; }

bool IsLoaderRequest(PlcRequest request) {
  return request >= PlcRequest::kId && request <= PlcRequest::kTransferEnd;
}

bool IsApplicationOnly(PlcRequest request) {
  return request >= PlcRequest::kIdentityA && request <= PlcRequest::kConfirmA;
}

bool IsRegisterRead(PlcRequest request) {
  return request == PlcRequest::kReadD1386 || request == PlcRequest::kReadD1001 ||
         request == PlcRequest::kReadD1148;
}

}  // namespace sim

namespace {

struct RequestName {
  PlcRequest request;
  const char* name;
};

constexpr RequestName kRequestNames[kPlcRequestKinds] = {
    {PlcRequest::kWakeUp, "wake"},          {PlcRequest::kCommCheck, "check"},
    {PlcRequest::kIdentityA, "app-id"},     {PlcRequest::kReadD1386, "d1386"},
    {PlcRequest::kReadD1001, "d1001"},      {PlcRequest::kReadD1148, "d1148"},
    {PlcRequest::kVersionA, "app-version"}, {PlcRequest::kEraseA, "app-erase"},
    {PlcRequest::kConfirmA, "app-confirm"}, {PlcRequest::kId, "id"},
    {PlcRequest::kVersion, "version"},      {PlcRequest::kErase, "erase"},
    {PlcRequest::kEraseEnd, "erase-eot"},   {PlcRequest::kUpdate, "update"},
    {PlcRequest::kBlock, "block"},          {PlcRequest::kTransferEnd, "final-eot"},
    {PlcRequest::kUnknown, "unknown"},
};

}  // namespace

std::string_view PlcRequestName(PlcRequest request) {
  return kRequestNames[static_cast<int>(request)].name;
}

std::optional<PlcRequest> PlcRequestByName(std::string_view name) {
  for (const RequestName& entry : kRequestNames) {
    if (name == entry.name) return entry.request;
  }
  return std::nullopt;
}
