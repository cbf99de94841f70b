// The 32 PLC models and every rule that differs between them.
//
// Two keys are in use. Rules keyed on the model name take the name from the
// plcList slot at selectedPLCIdx; identity and compatibility checks are keyed
// on the identity code selectedPLCID. Predicates take the key explicitly so
// they can be asked about any model; the Current* helpers ask about the
// selection.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string_view>

inline constexpr int kModelCount = 32;
inline constexpr int kModelNameSize = 15;  // 14 characters and the NUL

extern const char plcList[kModelCount][kModelNameSize];
extern const uint16_t plcID[kModelCount];

// Selection, written by the window thread and read by the burn thread.
extern std::atomic<int32_t> selectedPLCIdx;
extern std::atomic<uint16_t> selectedPLCID;
// The chosen model's name as text; window thread only.
extern char selectedPLC[kModelNameSize];

enum class LinkKind { kCom, kUsb };
enum class EraseRule { kE1, kE2, kE3, kE4, kE5, kE6 };
enum class BlockRule { kB1, kB2, kB3 };
enum class ReconnectRule { kR1, kR2, kR3, kR4 };
enum class LoaderIdRule { kL1, kL2, kL3 };

// Lookups.
std::string_view ModelName(int index);  // index 0..31
std::optional<int> FindModel(std::string_view name);
// Makes row `index` the selection: selectedPLCIdx, selectedPLCID and selectedPLC.
void SelectModel(int index);
std::string_view CurrentModel();  // the plcList slot at selectedPLCIdx

// Name-keyed rules. A name outside the table falls under the "all other
// models" rows: COM, not AIO, E5, B3, R4.
LinkKind LinkKindOf(std::string_view model);
bool IsUsbModel(std::string_view model);
bool IsAioModel(std::string_view model);

struct SizeLimit {
  uint32_t bytes;       // largest accepted image size
  const char* message;  // shown when an image is larger
};
SizeLimit SizeLimitOf(std::string_view model);

EraseRule EraseRuleOf(std::string_view model);
uint16_t EraseCount(std::string_view model, uint32_t imageSize);
// Under E3 every erase step gets a single attempt.
bool EraseStepHasOneAttempt(std::string_view model);

BlockRule BlockRuleOf(std::string_view model);
struct BlockPlan {
  uint32_t dataBytes;   // D: 256 or 128
  uint32_t blocks;      // M
  uint32_t imageBytes;  // image bytes the transfer reads (S, or S - 4096 under B2)
};
BlockPlan BlockPlanOf(std::string_view model, uint32_t imageSize);

ReconnectRule ReconnectRuleOf(std::string_view model);

// Images smaller than one 4096-byte sector cannot be sent to the models whose
// erase and block rules leave the last sector out (E3/B2); the burn refuses
// them before it opens a link.
inline constexpr uint32_t kMinimumSectorImage = 4096;
bool ImageTooSmall(std::string_view model, uint32_t imageSize);
extern const char kImageTooSmallMessage[];

// Identity rules.
LoaderIdRule LoaderIdRuleOf(std::string_view model, uint16_t code);
bool LoaderIdAccepts(std::string_view model, uint16_t code, uint16_t reported);
bool ApplicationIdAccepts(uint16_t code, uint16_t reported);

// The codes whose models read the loader version during the compatibility check.
bool HasLoaderVersionCode(uint16_t code);

// The loader-version requirement of the AIO USB models: the refusal message
// for `version`, or nullptr when the model accepts it (or has no requirement).
const char* LoaderVersionRefusal(std::string_view model, uint8_t version);
