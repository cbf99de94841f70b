// SPDX-License-Identifier: MIT
// The simulator's record as JSON: what the pseudo-terminal program writes
// with --report, for scripts and tests to read.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "sim/plc_sim.h"
#include "util/json_text.h"

// `flashMatchesImage` is left out (null) when no image was given to compare.
std::string PlcRecordJson(const PlcSimulator& plc, std::optional<bool> flashMatchesImage);
// Whether the flash holds `image` as the tool sends it: the image bytes the
// blocks carry (all but the last sector on the models that leave it out).
bool FlashMatchesImage(const PlcSimulator& plc, std::span<const uint8_t> image);
