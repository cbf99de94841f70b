// SPDX-License-Identifier: MIT
// The 32 PLC models and every rule that differs between them, one row per
// model: how the PLC is reached, its identity code, image limit, erase,
// block and reconnect rules, how its variants are told apart and which loader
// versions it accepts. Nothing else in the program knows a model by name.
//
// Rules are looked up by the model's name (the row) and, for the identity
// checks, by its code. Everything here is constant: a burn is handed the row
// of the model it updates.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

inline constexpr int kModelCount = 32;
inline constexpr int kModelNameSize = 15;  // 14 characters and the NUL

enum class LinkKind { kCom, kUsb };
enum class EraseRule { kE1, kE2, kE3, kE4, kE5, kE6 };
enum class BlockRule { kB1, kB2, kB3 };
enum class ReconnectRule { kR1, kR2, kR3, kR4 };
enum class LoaderIdRule { kL1, kL2, kL3 };

// The rows of the size-limit table; the first that holds a model applies.
enum class LimitRow { k128x4, k128x7, k36PW2AIO, k40, k2028, kOther };

// How the burn tells two models of one identity code apart before it sends
// the erase request.
enum class VariantCheck {
  kNone,
  kKr2,           // D1386 tells KR2-C from KR2-PW2, then D1001 tells V2/V3 from V4
  kD1148,         // zero: the smaller model, non-zero: the larger one
  kD1001,         // D1001 reads V4 or not
  kLoaderVersion  // the loader version is read (and judged where the model has a requirement)
};

// The two models a register tells apart, and what a PLC of the other one is
// told.
struct VariantPair {
  const char* modelWhenSet;
  const char* refusalWhenSet;  // the register is set, the model chosen is not modelWhenSet
  const char* modelWhenClear;
  const char* refusalWhenClear;
};

// Under kKr2, D1386 tells a KR2-C PLC (0x4138 or 0x4137) from a KR2-PW2 one,
// and each family's pair then judges D1001. A KR2-C PLC is refused outright
// for a KR2-PW2 model.
extern const VariantPair kKr2CPair;
extern const VariantPair kKr2Pw2Pair;
extern const char kKr2FamilyRefusal[];

// The loader versions an AIO model accepts: above `newestRefused`; the one
// old version it names, and the message for every other refused one.
struct LoaderVersionRequirement {
  uint8_t newestRefused;
  uint8_t namedVersion;
  const char* namedMessage;
};

struct ModelRules {
  const char* name;
  uint16_t code;  // the identity code the PLC reports
  LinkKind link;
  bool aio;  // sends sub-code 0x5B instead of 0x59
  LimitRow limit;
  EraseRule erase;
  BlockRule blocks;
  ReconnectRule reconnect;
  VariantCheck variant;
  const VariantPair* pair;                        // kD1148, kD1001
  const LoaderVersionRequirement* loaderVersion;  // nullptr: any version
};

// Lookups.
const ModelRules& ModelAt(int index);  // index 0..31, in table order
std::string_view ModelName(int index);
uint16_t ModelCode(int index);
std::optional<int> FindModel(std::string_view name);
// The row of `name`; a name outside the table gets the "all other models"
// rules (COM, not AIO, E5, B3, R4) with no code and no variant check.
const ModelRules& RulesOf(std::string_view name);

// Name-keyed rules.
LinkKind LinkKindOf(std::string_view model);
bool IsUsbModel(std::string_view model);
bool IsAioModel(std::string_view model);
// The sub-code of the function 0x64 requests (the loader-version query
// always carries 0x59).
uint8_t SubCodeOf(const ModelRules& model);
inline constexpr uint8_t kSubCode = 0x59;
inline constexpr uint8_t kAioSubCode = 0x5B;

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

// What happens between the two phases, by reconnect rule.
struct ReconnectStep {
  const char* prompt;  // the box the operator answers first; nullptr: none
  int waitSeconds;     // after the prompt is answered
  bool reopen;         // close the link before the prompt, open it again after the wait
};
ReconnectRule ReconnectRuleOf(std::string_view model);
const ReconnectStep& ReconnectStepOf(ReconnectRule rule);

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

// The models whose identity check passes a PLC that reports `reported`: in
// application mode, and to their loader.
std::vector<const ModelRules*> ModelsAcceptingId(uint16_t reported);
std::vector<const ModelRules*> ModelsWhoseLoaderAcceptsId(uint16_t reported);

// The codes whose models read the loader version during the compatibility check.
bool HasLoaderVersionCode(uint16_t code);

// The loader-version requirement of the AIO USB models: the refusal message
// for `version`, or nullptr when the model accepts it (or has no requirement).
const char* LoaderVersionRefusal(std::string_view model, uint8_t version);

// How the command line labels a rule.
const char* RuleLabel(EraseRule rule);
const char* RuleLabel(BlockRule rule);
const char* RuleLabel(ReconnectRule rule);
const char* RuleLabel(LoaderIdRule rule);
