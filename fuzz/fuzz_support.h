// SPDX-License-Identifier: MIT
// What the fuzz targets share: reading the fuzzer's bytes as fields, a PLC
// whose replies are those bytes, and the few facts about the replies that
// the targets' properties need, worked out here independently of link/.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "link/scripted_link.h"

// The fuzzer's input, taken from the front. Past its end every field reads 0.
class FuzzInput {
 public:
  FuzzInput(const uint8_t* data, size_t size) : rest_(data, size) {}
  uint8_t Byte();
  uint16_t Word();  // high byte first
  std::span<const uint8_t> Rest() const { return rest_; }

 private:
  std::span<const uint8_t> rest_;
};

// The PLC's side of a link, as the fuzzer writes it: one byte whose bits make
// the first eight writes move nothing (bit 0 the first), then the replies in
// chunks: a byte whose low seven bits are the chunk's length and whose top bit
// makes it arrive late (just after a read gave up), then the chunk: what
// arrives during one read. Bytes not read stay in the input, as on a port; a
// read after the last chunk gets nothing, and time-outs and quiet times cost
// nothing.
std::unique_ptr<ScriptedLink> ReplyLink(std::span<const uint8_t> script);

// The script ReplyLink reads, for the seeds.
struct Arrival {
  Bytes bytes;  // at most 127
  bool late = false;
};
Bytes ReplyScript(uint8_t failingWrites, const std::vector<Arrival>& arrivals);

// The last reply read: what the read handed out, and what listening for a
// late reply right after it brought.
Bytes LastReply(const ScriptedLink& link);
// Every request written whole and answered by a one-byte reply 0x06.
std::vector<Bytes> AcknowledgedRequests(const ScriptedLink& link);
// Whether any read or drain handed out `byte`.
bool HandedOut(const ScriptedLink& link, uint8_t byte);
size_t CountOf(const std::vector<Bytes>& requests, std::string_view request);

// The message bytes of a Modbus ASCII reply read whole: `size` bytes whose
// characters between the ':' and the CR LF are upper-case hexadecimal pairs
// summing to 0. The ':' and CR LF themselves are not judged, as the tool
// does not judge them.
std::optional<Bytes> ModbusMessage(const Bytes& reply, size_t size);

// The image the loader and burn targets send: deterministic bytes that
// differ from block to block.
std::vector<uint8_t> FuzzImage(size_t size);
// Whether the acknowledged block packets among `requests` are the model's
// whole transfer of `image`: numbered 1, 2, ... modulo 256, each with its
// number's complement and a correct CRC, their data the image's bytes in
// order, then the 0x1A fill.
bool BlocksCarryImage(const std::vector<Bytes>& requests, std::string_view model,
                      std::span<const uint8_t> image);

// A property of the code under test failed: reported as a crash, so that the
// fuzzer stops and keeps the input.
[[noreturn]] void Violated(const char* property);
inline void Require(bool holds, const char* property) {
  if (!holds) Violated(property);
}
