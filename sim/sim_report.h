// The simulator's record as JSON: what the pseudo-terminal program writes
// with --report, for scripts and tests to read.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "sim/plc_sim.h"
#include "util/json_text.h"

// `flashMatchesImage` is left out (null) when no image was given to compare.
std::string PlcRecordJson(const PlcSimulator& plc, std::optional<bool> flashMatchesImage);
