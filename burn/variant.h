// SPDX-License-Identifier: MIT
// What the variant registers and the loader version say about a PLC: the
// burn's compatibility check and the read-only look at a PLC judge them
// alike.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "catalogue/model_table.h"

// D1001 reads V4 or later.
inline bool ReadsV4(uint16_t d1001) { return (d1001 & 0x00F0) >= 0x0040; }
// D1386 marks a KR2-C PLC.
inline bool IsKr2C(uint16_t d1386) { return d1386 == 0x4138 || d1386 == 0x4137; }
inline std::string_view PairModel(const VariantPair& pair, bool set) {
  return set ? pair.modelWhenSet : pair.modelWhenClear;
}

struct VariantReadings {
  std::optional<uint16_t> d1386;
  std::optional<uint16_t> d1001;
  std::optional<uint16_t> d1148;
  std::optional<uint8_t> loaderVersion;
};

// Whether `model` is what the readings say the PLC is; nothing when a
// reading the model's check needs is missing.
std::optional<bool> ReadingsFit(const ModelRules& model, const VariantReadings& readings);
