// SPDX-License-Identifier: MIT
#include "burn/plc_info.h"

#include <algorithm>

#include "burn/messages.h"
#include "link/loader_protocol.h"

namespace {

bool AnyChecks(const std::vector<const ModelRules*>& models, VariantCheck check) {
  return std::any_of(models.begin(), models.end(),
                     [check](const ModelRules* model) { return model->variant == check; });
}

// Reads what the candidates' checks look at, each register once.
void ReadVariantRegisters(const Dialogue& dialogue, PlcInfo& info, InfoQueries queries) {
  const auto& models = info.models;
  VariantReadings& readings = info.readings;
  if (info.firmware == RunningFirmware::kLoader) {
    if (AnyChecks(models, VariantCheck::kLoaderVersion)) {
      uint8_t version = 0;
      if (read_fu_version_B(dialogue, version) == LoaderStatus::kDone) {
        readings.loaderVersion = version;
      }
    }
    return;
  }
  const bool kr2 = AnyChecks(models, VariantCheck::kKr2);
  if (kr2) readings.d1386 = READ_D1386(dialogue);
  if (kr2 || AnyChecks(models, VariantCheck::kD1001)) readings.d1001 = READ_D1001(dialogue);
  if (AnyChecks(models, VariantCheck::kD1148)) readings.d1148 = READ_D1148(dialogue);
  if (queries == InfoQueries::kAll && AnyChecks(models, VariantCheck::kLoaderVersion)) {
    // A version of 0 is what an unanswered query gives as well.
    if (const uint8_t version = read_fu_version_A(dialogue); version != 0) {
      readings.loaderVersion = version;
    }
  }
}

}  // namespace

PlcInfo ReadPlcInfo(const Dialogue& dialogue, const ModelRules& model, InfoQueries queries) {
  PlcInfo info;
  DummyComm(dialogue, model);
  const AppStatus mode = ConfirmComm(dialogue, model);
  info.check = mode;
  const bool application = queries == InfoQueries::kApplication;
  if (mode == AppStatus::kApplicationMode || (application && mode == AppStatus::kRefusedClass1)) {
    info.firmware = RunningFirmware::kApplication;
    info.identityCode = QueryID_A(dialogue, model);
    if (info.identityCode) info.models = ModelsAcceptingId(*info.identityCode);
  } else if (mode == AppStatus::kLoaderMode) {
    info.firmware = RunningFirmware::kLoader;
    if (application) return info;
    info.identityCode = QueryID_B(dialogue);
    if (info.identityCode) info.models = ModelsWhoseLoaderAcceptsId(*info.identityCode);
  } else {
    info.failure = StateMessage(1, mode);
    return info;
  }
  ReadVariantRegisters(dialogue, info, queries);
  for (const ModelRules* candidate : info.models) {
    // A check the loader cannot answer (the registers) leaves the model in.
    if (ReadingsFit(*candidate, info.readings).value_or(true)) info.fitting.push_back(candidate);
  }
  return info;
}
