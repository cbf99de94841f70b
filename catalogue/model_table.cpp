#include "catalogue/model_table.h"

#include <array>
#include <cstring>

// clang-format off
const char plcList[kModelCount][kModelNameSize] = {
    /*  0 */ "KR2-PW2-V2",   "HM2",          "BZ2",          "FQ2",
    /*  4 */ "KR2-C-V2",     "MU",           "RY3",          "36PW2-AIO",
    /*  8 */ "BZ-V3",        "VOK-KR2-V2",   "MU-H",         "FQ2-H",
    /* 12 */ "GL30",         "KR-PW-RY2",    "PW2-CAR",      "FQ32",
    /* 16 */ "KR2-E",        "GL20",         "GL20-AIO",     "MU24",
    /* 20 */ "KR3-PW3",      "HUX-R",        "GL10",         "PW3-AIO",
    /* 24 */ "KR2-PW2-V4",   "BZ-V4",        "VOK-KR2-V4",   "KR3-PACKAGE",
    /* 28 */ "KR2-C-V4",     "ZO3BZ3",       "BZ3-AIO",      "GL20-TO-GL30",
};

const uint16_t plcID[kModelCount] = {
    /*  0 */ 0x000C, 0x000E, 0x000F, 0x0013,
    /*  4 */ 0x000C, 0x0015, 0x0000, 0x000D,
    /*  8 */ 0x0008, 0xA001, 0xA002, 0xA003,
    /* 12 */ 0x3000, 0x0003, 0xA006, 0x0013,
    /* 16 */ 0x0017, 0x3010, 0x3010, 0x0015,
    /* 20 */ 0x0020, 0xA00B, 0x3020, 0x0020,
    /* 24 */ 0x000C, 0x0008, 0xA001, 0x0020,
    /* 28 */ 0x000C, 0x0022, 0x0022, 0x3010,
};
// clang-format on

std::atomic<int32_t> selectedPLCIdx{0};
std::atomic<uint16_t> selectedPLCID{0};
char selectedPLC[kModelNameSize] = {};

const char kImageTooSmallMessage[] = "The file size is BELOW the MINIMUM size (4 * 1024)";

namespace {

// The rows of the size-limit table, tried in this order.
enum class LimitRow { k128x4, k128x7, k36PW2AIO, k40, k2028, kOther };

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

struct ModelRules {
  LinkKind link;
  bool aio;
  LimitRow limit;
  EraseRule erase;
  BlockRule blocks;
  ReconnectRule reconnect;
};

using L = LinkKind;
using E = EraseRule;
using B = BlockRule;
using R = ReconnectRule;
using Lim = LimitRow;

// One row per plcList slot, in slot order.
constexpr std::array<ModelRules, kModelCount> kRules = {{
    /* KR2-PW2-V2   */ {L::kCom, false, Lim::kOther, E::kE5, B::kB3, R::kR4},
    /* HM2          */ {L::kCom, false, Lim::kOther, E::kE5, B::kB3, R::kR4},
    /* BZ2          */ {L::kCom, false, Lim::kOther, E::kE5, B::kB3, R::kR4},
    /* FQ2          */ {L::kCom, false, Lim::kOther, E::kE5, B::kB3, R::kR4},
    /* KR2-C-V2     */ {L::kCom, false, Lim::k128x4, E::kE1, B::kB3, R::kR3},
    /* MU           */ {L::kUsb, false, Lim::kOther, E::kE2, B::kB1, R::kR1},
    /* RY3          */ {L::kCom, false, Lim::kOther, E::kE5, B::kB3, R::kR4},
    /* 36PW2-AIO    */ {L::kCom, true, Lim::k36PW2AIO, E::kE6, B::kB1, R::kR4},
    /* BZ-V3        */ {L::kCom, false, Lim::kOther, E::kE5, B::kB3, R::kR4},
    /* VOK-KR2-V2   */ {L::kCom, false, Lim::kOther, E::kE5, B::kB3, R::kR4},
    /* MU-H         */ {L::kUsb, false, Lim::kOther, E::kE2, B::kB1, R::kR1},
    /* FQ2-H        */ {L::kCom, false, Lim::kOther, E::kE5, B::kB3, R::kR4},
    /* GL30         */ {L::kUsb, false, Lim::k2028, E::kE3, B::kB2, R::kR2},
    /* KR-PW-RY2    */ {L::kCom, false, Lim::kOther, E::kE5, B::kB3, R::kR4},
    /* PW2-CAR      */ {L::kCom, false, Lim::k128x4, E::kE1, B::kB3, R::kR3},
    /* FQ32         */ {L::kCom, false, Lim::k128x4, E::kE1, B::kB3, R::kR4},
    /* KR2-E        */ {L::kCom, false, Lim::k128x7, E::kE1, B::kB3, R::kR4},
    /* GL20         */ {L::kUsb, false, Lim::k2028, E::kE3, B::kB2, R::kR2},
    /* GL20-AIO     */ {L::kUsb, true, Lim::k40, E::kE4, B::kB1, R::kR2},
    /* MU24         */ {L::kUsb, false, Lim::k128x7, E::kE1, B::kB3, R::kR1},
    /* KR3-PW3      */ {L::kUsb, false, Lim::k2028, E::kE3, B::kB2, R::kR2},
    /* HUX-R        */ {L::kUsb, false, Lim::k2028, E::kE3, B::kB2, R::kR2},
    /* GL10         */ {L::kUsb, false, Lim::k2028, E::kE3, B::kB2, R::kR2},
    /* PW3-AIO      */ {L::kUsb, true, Lim::k40, E::kE4, B::kB1, R::kR2},
    /* KR2-PW2-V4   */ {L::kCom, false, Lim::kOther, E::kE5, B::kB3, R::kR4},
    /* BZ-V4        */ {L::kCom, false, Lim::kOther, E::kE5, B::kB3, R::kR4},
    /* VOK-KR2-V4   */ {L::kCom, false, Lim::kOther, E::kE5, B::kB3, R::kR4},
    /* KR3-PACKAGE  */ {L::kUsb, false, Lim::k2028, E::kE3, B::kB2, R::kR2},
    /* KR2-C-V4     */ {L::kCom, false, Lim::k128x4, E::kE1, B::kB3, R::kR3},
    /* ZO3BZ3       */ {L::kUsb, false, Lim::k2028, E::kE3, B::kB2, R::kR2},
    /* BZ3-AIO      */ {L::kUsb, true, Lim::k40, E::kE4, B::kB1, R::kR2},
    /* GL20-TO-GL30 */ {L::kUsb, false, Lim::k2028, E::kE3, B::kB2, R::kR2},
}};

constexpr ModelRules kOtherModel = {L::kCom, false, Lim::kOther, E::kE5, B::kB3, R::kR4};

const ModelRules& RulesOf(std::string_view model) {
  const auto index = FindModel(model);
  return index ? kRules[static_cast<size_t>(*index)] : kOtherModel;
}

uint32_t CeilDiv(uint32_t x, uint32_t y) { return x / y + (x % y != 0 ? 1 : 0); }

}  // namespace

std::string_view ModelName(int index) { return plcList[index]; }

std::optional<int> FindModel(std::string_view name) {
  for (int i = 0; i < kModelCount; ++i) {
    if (name == plcList[i]) return i;
  }
  return std::nullopt;
}

void SelectModel(int index) {
  std::memcpy(selectedPLC, plcList[index], kModelNameSize);
  selectedPLCID = plcID[index];
  selectedPLCIdx = index;
}

std::string_view CurrentModel() { return plcList[selectedPLCIdx.load()]; }

LinkKind LinkKindOf(std::string_view model) { return RulesOf(model).link; }
bool IsUsbModel(std::string_view model) { return LinkKindOf(model) == LinkKind::kUsb; }
bool IsAioModel(std::string_view model) { return RulesOf(model).aio; }

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

bool HasLoaderVersionCode(uint16_t code) {
  switch (code) {
    case 0x3000:
    case 0x3010:
    case 0x0020:
    case 0xA00B:
    case 0x3020:
    case 0x0022: return true;
    default: return false;
  }
}

const char* LoaderVersionRefusal(std::string_view model, uint8_t version) {
  static constexpr char kUnknown[] =
      "The bootloader version is unknown, do not support AIO FW update";
  if (model == "GL20-AIO" || model == "BZ3-AIO") {
    if (version > 0x0F) return nullptr;
    return version == 0x09 ? "The bootloader version is V0.9, do not support AIO FW update"
                           : kUnknown;
  }
  if (model == "PW3-AIO") {
    if (version > 0x11) return nullptr;
    return version == 0x10 ? "The bootloader version is V1.0, do not support AIO FW update"
                           : kUnknown;
  }
  return nullptr;
}
