#include "sim/plc_model.h"

#include "catalogue/model_table.h"
#include "sim/plc_sim.h"

namespace sim {

PlcModel PlcModelAt(int index) {
  if (index < 0 || index >= kModelCount) index = 0;
  const std::string_view name = plcList[index];
  const uint16_t code = plcID[index];
  return {index,
          name,
          code,
          !IsUsbModel(name),
          IsAioModel(name),
          HasLoaderVersionCode(code),
          ReconnectRuleOf(name) == ReconnectRule::kR4};
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
  const std::string_view name = plcList[model];
  const uint16_t code = plcID[model];
  s.applicationId = code;
  switch (LoaderIdRuleOf(name, code)) {
    case LoaderIdRule::kL1:
    case LoaderIdRule::kL2: s.loaderId = code; break;
    case LoaderIdRule::kL3: s.loaderId = code & 0x7FFF; break;
  }
  // V1.2: above every loader-version requirement.
  s.applicationVersion = 0x12;
  s.loaderVersion[0] = 0x01;
  s.loaderVersion[1] = 0x20;
  // The variant registers the compatibility check reads for this model.
  const bool kr2c = name == "KR2-C-V2" || name == "KR2-C-V4";
  const bool v4 =
      name == "KR2-PW2-V4" || name == "KR2-C-V4" || name == "BZ-V4" || name == "VOK-KR2-V4";
  const bool larger = name == "FQ32" || name == "MU24";
  s.d1386 = kr2c ? 0x4138 : 0x0000;
  s.d1001 = v4 ? 0x0040 : 0x0030;
  s.d1148 = larger ? 0x0001 : 0x0000;
  s.eraseRestartsSilently = ReconnectRuleOf(name) == ReconnectRule::kR3;
  return s;
}
