// SPDX-License-Identifier: MIT
// The model the simulated PLC plays: everything the simulator needs of the
// model table, read here and nowhere else in the simulator, so that the
// dialogues speak of what the PLC does rather than of table rows.
#pragma once

#include <cstdint>
#include <string_view>

namespace sim {

struct PlcModel {
  int index;  // its row in the model table
  std::string_view name;
  uint16_t code;            // its identity code
  bool com;                 // on a serial line, whose speed the PLC hears
  bool aio;                 // takes sub-code 0x5B in function 0x64 frames
  bool readsLoaderVersion;  // its loader dialogue has "VERSION"
  bool keepsLink;           // starts its loader at once, without a replug (R4)
};
// The model at `index`; the table's first model for an index outside it.
PlcModel PlcModelAt(int index);

// What an image of `imageSize` bytes takes on a model.
struct ImagePlan {
  bool tooSmall;        // below the sector the model's rules leave out: the tool refuses it
  uint32_t eraseSteps;  // N
  uint32_t blockBytes;  // D; for an image too small, that of a one-sector image
  uint32_t blocks;      // M
  uint32_t imageBytes;  // image bytes the blocks carry
};
ImagePlan ImagePlanOf(const PlcModel& model, uint32_t imageSize);

}  // namespace sim
