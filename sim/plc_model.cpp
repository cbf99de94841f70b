// SPDX-License-Identifier: MIT
#include "sim/plc_model.h"

#include "catalogue/model_table.h"
#include "sim/plc_sim.h"

namespace sim {

PlcModel PlcModelAt(int index) {
  if (index < 0 || index >= kModelCount) index = 0;
  const ModelRules& rules = ModelAt(index);
  return {index,
          rules.name,
          rules.code,
          rules.link == LinkKind::kCom,
          rules.aio,
          rules.variant == VariantCheck::kLoaderVersion,
          rules.reconnect == ReconnectRule::kR4};
}

ImagePlan ImagePlanOf(const PlcModel& model, uint32_t imageSize) {
  if (ImageTooSmall(model.name, imageSize)) {
    return {true, 0, BlockPlanOf(model.name, kMinimumSectorImage).dataBytes, 0, 0};
  }
  const BlockPlan blocks = BlockPlanOf(model.name, imageSize);
  return {false, EraseCount(model.name, imageSize), blocks.dataBytes, blocks.blocks,
          blocks.imageBytes};
}

}  // namespace sim

PlcSettings DefaultPlcSettings(int model, uint32_t imageSize) {
  PlcSettings s;
  s.model = model;
  s.imageSize = imageSize;
  const ModelRules& rules = ModelAt(model);
  const std::string_view name = rules.name;
  s.applicationId = rules.code;
  s.loaderId = LoaderIdRuleOf(name, rules.code) == LoaderIdRule::kL3 ? rules.code & 0x7FFF
                                                                      : rules.code;
  // V1.2: above every loader-version requirement.
  s.applicationVersion = 0x12;
  s.loaderVersion[0] = 0x01;
  s.loaderVersion[1] = 0x20;
  // The variant registers that make the model's own check pass: the "set"
  // model of a pair reads V4 (D1001) or non-zero (D1148).
  const bool kr2c = name == kKr2CPair.modelWhenSet || name == kKr2CPair.modelWhenClear;
  const bool set = (rules.pair != nullptr && name == rules.pair->modelWhenSet) ||
                   name == kKr2CPair.modelWhenSet || name == kKr2Pw2Pair.modelWhenSet;
  s.d1386 = kr2c ? 0x4138 : 0x0000;
  s.d1001 = rules.variant != VariantCheck::kD1148 && set ? 0x0040 : 0x0030;
  s.d1148 = rules.variant == VariantCheck::kD1148 && set ? 0x0001 : 0x0000;
  s.eraseRestartsSilently = rules.reconnect == ReconnectRule::kR3;
  return s;
}
