// SPDX-License-Identifier: MIT
#include "catalogue/model_table.h"

#include <array>

const char kImageTooSmallMessage[] = "The file size is BELOW the MINIMUM size (4 * 1024)";

const VariantPair kKr2CPair = {"KR2-C-V4", "KR2-C V4.xx CAN NOT downgrade to V2.xx / V3.xx ",
                               "KR2-C-V2", "KR2-C V2.xx / V3.xx CAN NOT upgrade to V4.xx "};
const VariantPair kKr2Pw2Pair = {"KR2-PW2-V4", "KR2-PW2 V4.xx CAN NOT downgrade to V2.xx / V3.xx ",
                                 "KR2-PW2-V2", "KR2-PW2 V2.xx / V3.xx CAN NOT upgrade to V4.xx "};
const char kKr2FamilyRefusal[] = "Check PLC, KR2-PW2 is different than KR2-C";

namespace {

struct LimitRowData {
  uint32_t bytes;
  const char* message;
};

// 36PW2-AIO and the last row compare against 12,288 and 493,568 bytes (what
// existing images rely on) while their texts keep the historical figures.
constexpr LimitRowData kLimitRows[] = {
    {524288, "The file size EXCEEDS the MAXIMUM size (128 * 1024 * 4)"},
    {917504, "The file size EXCEEDS the MAXIMUM size (128 * 1024 * 7)"},
    {12288, "The file size EXCEEDS the MAXIMUM size (4 * 1024)"},
    {40960, "The file size EXCEEDS the MAXIMUM size (40 * 1024)"},
    {2076672, "The file size EXCEEDS the MAXIMUM size (2028 * 1024)"},
    {493568, "The file size EXCEEDS the MAXIMUM size (2 * 1024 * 240)"},
};

constexpr char kReplugPrompt[] = "Please REPLUG the USB Cable, and then press OK to continue";
constexpr char kPowerCyclePrompt[] = "Please POWER OFF=>ON the PLC, and then press OK to continue";

constexpr ReconnectStep kReconnectSteps[] = {
    {kReplugPrompt, 2, true},      // R1
    {kReplugPrompt, 5, true},      // R2
    {kPowerCyclePrompt, 2, true},  // R3
    {nullptr, 1, false},           // R4: the link stays open
};

// The pairs of models the variant registers tell apart.
constexpr VariantPair kFq = {"FQ32", "Check PLC, 14FQ2 is different than 32FQ2", "FQ2",
                             "Check PLC, 32FQ2 is different than 14FQ2"};
constexpr VariantPair kMu = {"MU24", "Check PLC, 14MU is different than 24MU", "MU",
                             "Check PLC, 24MU is different than 14MU"};
constexpr VariantPair kBz = {"BZ-V4", "BZ V4.xx CAN NOT downgrade to V3.xx ", "BZ-V3",
                             "BZ V3.xx CAN NOT upgrade to V4.xx "};
constexpr VariantPair kVok = {"VOK-KR2-V4", "VOK-KR2 V4.xx CAN NOT downgrade to V2.xx / V3.xx ",
                              "VOK-KR2-V2", "VOK-KR2 V2.xx / V3.xx CAN NOT upgrade to V4.xx "};

constexpr LoaderVersionRequirement kAfterV09 = {
    0x0F, 0x09, "The bootloader version is V0.9, do not support AIO FW update"};
constexpr LoaderVersionRequirement kAfterV11 = {
    0x11, 0x10, "The bootloader version is V1.0, do not support AIO FW update"};

using L = LinkKind;
using Lim = LimitRow;
using E = EraseRule;
using B = BlockRule;
using R = ReconnectRule;
using V = VariantCheck;

// clang-format off
constexpr std::array<ModelRules, kModelCount> kModels = {{
    // name            code    link    aio    limit           erase   blocks  reconnect  variant          pair     loader version
    {"KR2-PW2-V2",   0x000C, L::kCom, false, Lim::kOther,     E::kE5, B::kB3, R::kR4, V::kKr2,           nullptr, nullptr},
    {"HM2",          0x000E, L::kCom, false, Lim::kOther,     E::kE5, B::kB3, R::kR4, V::kNone,          nullptr, nullptr},
    {"BZ2",          0x000F, L::kCom, false, Lim::kOther,     E::kE5, B::kB3, R::kR4, V::kNone,          nullptr, nullptr},
    {"FQ2",          0x0013, L::kCom, false, Lim::kOther,     E::kE5, B::kB3, R::kR4, V::kD1148,         &kFq,   nullptr},
    {"KR2-C-V2",     0x000C, L::kCom, false, Lim::k128x4,     E::kE1, B::kB3, R::kR3, V::kKr2,           nullptr, nullptr},
    {"MU",           0x0015, L::kUsb, false, Lim::kOther,     E::kE2, B::kB1, R::kR1, V::kD1148,         &kMu,   nullptr},
    {"RY3",          0x0000, L::kCom, false, Lim::kOther,     E::kE5, B::kB3, R::kR4, V::kNone,          nullptr, nullptr},
    {"36PW2-AIO",    0x000D, L::kCom, true,  Lim::k36PW2AIO,  E::kE6, B::kB1, R::kR4, V::kNone,          nullptr, nullptr},
    {"BZ-V3",        0x0008, L::kCom, false, Lim::kOther,     E::kE5, B::kB3, R::kR4, V::kD1001,         &kBz,   nullptr},
    {"VOK-KR2-V2",   0xA001, L::kCom, false, Lim::kOther,     E::kE5, B::kB3, R::kR4, V::kD1001,         &kVok,  nullptr},
    {"MU-H",         0xA002, L::kUsb, false, Lim::kOther,     E::kE2, B::kB1, R::kR1, V::kNone,          nullptr, nullptr},
    {"FQ2-H",        0xA003, L::kCom, false, Lim::kOther,     E::kE5, B::kB3, R::kR4, V::kNone,          nullptr, nullptr},
    {"GL30",         0x3000, L::kUsb, false, Lim::k2028,      E::kE3, B::kB2, R::kR2, V::kLoaderVersion, nullptr, nullptr},
    {"KR-PW-RY2",    0x0003, L::kCom, false, Lim::kOther,     E::kE5, B::kB3, R::kR4, V::kNone,          nullptr, nullptr},
    {"PW2-CAR",      0xA006, L::kCom, false, Lim::k128x4,     E::kE1, B::kB3, R::kR3, V::kNone,          nullptr, nullptr},
    {"FQ32",         0x0013, L::kCom, false, Lim::k128x4,     E::kE1, B::kB3, R::kR4, V::kD1148,         &kFq,   nullptr},
    {"KR2-E",        0x0017, L::kCom, false, Lim::k128x7,     E::kE1, B::kB3, R::kR4, V::kNone,          nullptr, nullptr},
    {"GL20",         0x3010, L::kUsb, false, Lim::k2028,      E::kE3, B::kB2, R::kR2, V::kLoaderVersion, nullptr, nullptr},
    {"GL20-AIO",     0x3010, L::kUsb, true,  Lim::k40,        E::kE4, B::kB1, R::kR2, V::kLoaderVersion, nullptr, &kAfterV09},
    {"MU24",         0x0015, L::kUsb, false, Lim::k128x7,     E::kE1, B::kB3, R::kR1, V::kD1148,         &kMu,   nullptr},
    {"KR3-PW3",      0x0020, L::kUsb, false, Lim::k2028,      E::kE3, B::kB2, R::kR2, V::kLoaderVersion, nullptr, nullptr},
    {"HUX-R",        0xA00B, L::kUsb, false, Lim::k2028,      E::kE3, B::kB2, R::kR2, V::kLoaderVersion, nullptr, nullptr},
    {"GL10",         0x3020, L::kUsb, false, Lim::k2028,      E::kE3, B::kB2, R::kR2, V::kLoaderVersion, nullptr, nullptr},
    {"PW3-AIO",      0x0020, L::kUsb, true,  Lim::k40,        E::kE4, B::kB1, R::kR2, V::kLoaderVersion, nullptr, &kAfterV11},
    {"KR2-PW2-V4",   0x000C, L::kCom, false, Lim::kOther,     E::kE5, B::kB3, R::kR4, V::kKr2,           nullptr, nullptr},
    {"BZ-V4",        0x0008, L::kCom, false, Lim::kOther,     E::kE5, B::kB3, R::kR4, V::kD1001,         &kBz,   nullptr},
    {"VOK-KR2-V4",   0xA001, L::kCom, false, Lim::kOther,     E::kE5, B::kB3, R::kR4, V::kD1001,         &kVok,  nullptr},
    {"KR3-PACKAGE",  0x0020, L::kUsb, false, Lim::k2028,      E::kE3, B::kB2, R::kR2, V::kLoaderVersion, nullptr, nullptr},
    {"KR2-C-V4",     0x000C, L::kCom, false, Lim::k128x4,     E::kE1, B::kB3, R::kR3, V::kKr2,           nullptr, nullptr},
    {"ZO3BZ3",       0x0022, L::kUsb, false, Lim::k2028,      E::kE3, B::kB2, R::kR2, V::kLoaderVersion, nullptr, nullptr},
    {"BZ3-AIO",      0x0022, L::kUsb, true,  Lim::k40,        E::kE4, B::kB1, R::kR2, V::kLoaderVersion, nullptr, &kAfterV09},
    {"GL20-TO-GL30", 0x3010, L::kUsb, false, Lim::k2028,      E::kE3, B::kB2, R::kR2, V::kLoaderVersion, nullptr, nullptr},
}};
// clang-format on

// A name the table does not hold falls under the "all other models" rows.
constexpr ModelRules kOtherModel = {"",     0,      L::kCom,  false,   Lim::kOther, E::kE5,
                                    B::kB3, R::kR4, V::kNone, nullptr, nullptr};

uint32_t CeilDiv(uint32_t x, uint32_t y) { return x / y + (x % y != 0 ? 1 : 0); }

}  // namespace

const ModelRules& ModelAt(int index) { return kModels[static_cast<size_t>(index)]; }
std::string_view ModelName(int index) { return ModelAt(index).name; }
uint16_t ModelCode(int index) { return ModelAt(index).code; }

std::optional<int> FindModel(std::string_view name) {
  for (int i = 0; i < kModelCount; ++i) {
    if (name == kModels[static_cast<size_t>(i)].name) return i;
  }
  return std::nullopt;
}

const ModelRules& RulesOf(std::string_view name) {
  const auto index = FindModel(name);
  return index ? ModelAt(*index) : kOtherModel;
}

LinkKind LinkKindOf(std::string_view model) { return RulesOf(model).link; }
bool IsUsbModel(std::string_view model) { return LinkKindOf(model) == LinkKind::kUsb; }
bool IsAioModel(std::string_view model) { return RulesOf(model).aio; }
uint8_t SubCodeOf(const ModelRules& model) { return model.aio ? kAioSubCode : kSubCode; }

SizeLimit SizeLimitOf(std::string_view model) {
  const LimitRowData& row = kLimitRows[static_cast<size_t>(RulesOf(model).limit)];
  return {row.bytes, row.message};
}

EraseRule EraseRuleOf(std::string_view model) { return RulesOf(model).erase; }

uint16_t EraseCount(std::string_view model, uint32_t s) {
  uint32_t n = 0;
  switch (EraseRuleOf(model)) {
    case EraseRule::kE1: n = s / 131072 + 1; break;
    case EraseRule::kE2: n = s / 16384 + 1; break;
    case EraseRule::kE3: n = (s - 4096) / 4096 + (s % 4096 != 0 ? 1 : 0); break;
    case EraseRule::kE4: n = CeilDiv(s, 2048); break;
    case EraseRule::kE5: n = s / 2048 + 1; break;
    case EraseRule::kE6: n = 4; break;
  }
  return static_cast<uint16_t>(n);  // the loader dialogue holds N in 16 bits
}

bool EraseStepHasOneAttempt(std::string_view model) { return EraseRuleOf(model) == EraseRule::kE3; }

BlockRule BlockRuleOf(std::string_view model) { return RulesOf(model).blocks; }

BlockPlan BlockPlanOf(std::string_view model, uint32_t s) {
  switch (BlockRuleOf(model)) {
    case BlockRule::kB1: return {256, CeilDiv(s, 256), s};
    case BlockRule::kB2: return {256, (s - 4096) / 256 + (s % 256 != 0 ? 1 : 0), s - 4096};
    case BlockRule::kB3: break;
  }
  return {128, CeilDiv(s, 128), s};
}

ReconnectRule ReconnectRuleOf(std::string_view model) { return RulesOf(model).reconnect; }

const ReconnectStep& ReconnectStepOf(ReconnectRule rule) {
  return kReconnectSteps[static_cast<size_t>(rule)];
}

bool ImageTooSmall(std::string_view model, uint32_t imageSize) {
  const bool dropsLastSector =
      EraseRuleOf(model) == EraseRule::kE3 || BlockRuleOf(model) == BlockRule::kB2;
  return dropsLastSector && imageSize < kMinimumSectorImage;
}

LoaderIdRule LoaderIdRuleOf(std::string_view model, uint16_t code) {
  if (IsUsbModel(model)) return LoaderIdRule::kL1;
  return code == 0x000C ? LoaderIdRule::kL2 : LoaderIdRule::kL3;
}

bool LoaderIdAccepts(std::string_view model, uint16_t code, uint16_t reported) {
  switch (LoaderIdRuleOf(model, code)) {
    case LoaderIdRule::kL1: return reported == code;
    case LoaderIdRule::kL2: return reported == 0x000C || reported == 0x000D;
    case LoaderIdRule::kL3: break;
  }
  return reported == (code & 0x7FFF);
}

bool ApplicationIdAccepts(uint16_t code, uint16_t reported) {
  if (code == 0x000C) return reported == 0x000C || reported == 0x000D;
  return reported == code;
}

std::vector<const ModelRules*> ModelsAcceptingId(uint16_t reported) {
  std::vector<const ModelRules*> models;
  for (const ModelRules& model : kModels) {
    if (ApplicationIdAccepts(model.code, reported)) models.push_back(&model);
  }
  return models;
}

std::vector<const ModelRules*> ModelsWhoseLoaderAcceptsId(uint16_t reported) {
  std::vector<const ModelRules*> models;
  for (const ModelRules& model : kModels) {
    if (LoaderIdAccepts(model.name, model.code, reported)) models.push_back(&model);
  }
  return models;
}

bool HasLoaderVersionCode(uint16_t code) {
  for (const ModelRules& model : kModels) {
    if (model.code == code && model.variant == VariantCheck::kLoaderVersion) return true;
  }
  return false;
}

const char* LoaderVersionRefusal(std::string_view model, uint8_t version) {
  const LoaderVersionRequirement* requirement = RulesOf(model).loaderVersion;
  if (requirement == nullptr || version > requirement->newestRefused) return nullptr;
  if (version == requirement->namedVersion) return requirement->namedMessage;
  return "The bootloader version is unknown, do not support AIO FW update";
}

const char* RuleLabel(EraseRule rule) {
  static const char* const kLabels[] = {"E1", "E2", "E3", "E4", "E5", "E6"};
  return kLabels[static_cast<int>(rule)];
}

const char* RuleLabel(BlockRule rule) {
  static const char* const kLabels[] = {"B1", "B2", "B3"};
  return kLabels[static_cast<int>(rule)];
}

const char* RuleLabel(ReconnectRule rule) {
  static const char* const kLabels[] = {"R1", "R2", "R3", "R4"};
  return kLabels[static_cast<int>(rule)];
}

const char* RuleLabel(LoaderIdRule rule) {
  static const char* const kLabels[] = {"L1", "L2", "L3"};
  return kLabels[static_cast<int>(rule)];
}
