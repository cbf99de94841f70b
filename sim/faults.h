// SPDX-License-Identifier: MIT
// Fault injection: which of the settings' faults hits a request, and what it
// does instead of the PLC's reply or to it. The counts a fault is matched on
// are the simulator's state; these functions only judge them.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "sim/plc_sim.h"

namespace sim {

// How often the PLC has heard a request, for matching faults.
struct Hearing {
  PlcRequest request;
  // This kind of request: how many times it has been heard, this time
  // included. Block packets: how many packets have carried `block`.
  uint32_t count;
  uint32_t block;       // block packets: the image's block due (1 = the first)
  uint32_t heardInAll;  // every request heard, this one included
};

// The first fault of `faults` that hits, or nullptr. Faults that cannot work
// (PlcFaultProblem) never hit.
const PlcFault* FaultFor(std::span<const PlcFault> faults, const Hearing& hearing);

// Faults that take the place of the PLC's action: it does nothing and sends
// ReplyInstead (nothing under silence; the disconnect is the transport's to
// carry out). Under the others the PLC acts and Damage spoils its reply.
bool TakesThePlaceOfTheAction(FaultKind kind);
std::vector<uint8_t> ReplyInstead(const PlcFault& fault, PlcRequest request, bool aio);
void Damage(FaultKind kind, std::vector<uint8_t>& reply);

// Noise on the line: each reply bit flipped with chance `rate`, drawn from
// `state`. True when a bit flipped.
bool FlipBits(std::vector<uint8_t>& reply, double rate, uint64_t& state);

}  // namespace sim
