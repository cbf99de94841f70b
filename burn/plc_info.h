// SPDX-License-Identifier: MIT
// A look at a PLC without changing it: which firmware runs, what it says it
// is, and what its variant registers and loader version read. Only queries
// go out; never the erase request, never the command that restarts the PLC
// into its loader, never a loader command that writes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "burn/variant.h"
#include "catalogue/model_table.h"
#include "link/app_protocol.h"
#include "link/dialogue.h"

enum class RunningFirmware { kNone, kApplication, kLoader };

struct PlcInfo {
  RunningFirmware firmware = RunningFirmware::kNone;
  AppStatus check = AppStatus::kNoRefusal;  // what the communication check returned
  // Why the communication check failed, in the burn's words; empty when the
  // PLC answered it.
  std::string failure;
  std::optional<uint16_t> identityCode;
  std::vector<const ModelRules*> models;  // those whose identity check takes the code
  VariantReadings readings;
  // Of `models`, those the readings fit; the same as `models` when no model
  // tells variants apart.
  std::vector<const ModelRules*> fitting;
};

// How far the look goes.
enum class InfoQueries {
  kAll,
  // The application's queries only, for a PLC that has just been updated: a
  // loader is only told apart by its answer to the communication check, no
  // loader command and no loader-version query go out, and a refusal in
  // RUN mode counts as the application answering.
  kApplication,
};

// `model` decides how the PLC is spoken to (its link and sub-code); the PLC
// may be any model.
PlcInfo ReadPlcInfo(const Dialogue& dialogue, const ModelRules& model,
                    InfoQueries queries = InfoQueries::kAll);
