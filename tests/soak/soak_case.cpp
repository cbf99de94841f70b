// SPDX-License-Identifier: MIT
// What one seed makes of an update: the model and start mode (so that every
// 64 consecutive seeds cover all 32 models in both modes), the image size,
// and faults of every kind the simulated PLC knows, at places the update
// will pass.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "catalogue/model_table.h"
#include "soak/soak.h"

namespace {

// SplitMix64: small, and the same sequence on every machine.
class Draw {
 public:
  explicit Draw(uint64_t seed) : state_(seed ^ 0x5EEDF00DCAFEull) {}
  uint64_t Next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  uint32_t Below(uint32_t n) { return static_cast<uint32_t>(Next() % n); }
  uint32_t Between(uint32_t low, uint32_t high) { return low + Below(high - low + 1); }
  bool Chance(uint32_t percent) { return Below(100) < percent; }
  double Unit() { return static_cast<double>(Next() >> 11) * 0x1.0p-53; }

 private:
  uint64_t state_;
};

constexpr FaultKind kKinds[] = {
    FaultKind::kSilence,         FaultKind::kRefuse,     FaultKind::kGarbleLrc,
    FaultKind::kLowerCase,       FaultKind::kShortReply, FaultKind::kNak,
    FaultKind::kFlashWriteError, FaultKind::kDisconnect, FaultKind::kLate};

struct Refusal {
  uint8_t refusalClass, detail;
};

// Refusals of each step, among them ones its status table names and ones it
// does not; the judge words each itself.
std::span<const Refusal> RefusalsOf(PlcRequest request) {
  static constexpr Refusal kCheck[] = {{2, 1}, {2, 2}, {2, 5}, {1, 0}, {3, 0}};
  static constexpr Refusal kIdentity[] = {{2, 2}, {2, 3}, {2, 1}, {1, 0}, {4, 4}};
  static constexpr Refusal kErase[] = {{2, 3}, {2, 4}, {2, 2}, {1, 0}};
  // Registers answer with a Modbus exception (its code is the detail); the
  // version query with status 0x15.
  static constexpr Refusal kException[] = {{0, 2}};
  switch (request) {
    case PlcRequest::kCommCheck: return kCheck;
    case PlcRequest::kIdentityA: return kIdentity;
    case PlcRequest::kEraseA: return kErase;
    default: return kException;
  }
}

constexpr uint32_t kPtyLargestImage = 16384;

// `cap`: the largest image drawn, 0 for the model's limit.
uint32_t ImageSizeFor(const ModelRules& rules, Draw& draw, uint32_t cap) {
  const uint32_t limit =
      cap == 0 ? SizeLimitOf(rules.name).bytes : std::min(cap, SizeLimitOf(rules.name).bytes);
  // The GL30 family leaves the last sector out: a smaller image is refused
  // before any link opens, and one of exactly a sector sends nothing.
  const uint32_t least = ImageTooSmall(rules.name, 0) ? kMinimumSectorImage + 1 : 1;
  const uint32_t roll = draw.Below(100);
  const uint32_t most = roll < 60 ? 16384 : roll < 90 ? 131072 : limit;
  return draw.Between(least, std::max(least, std::min(limit, most)));
}

// The requests this update will make the PLC hear, if nothing ends it early.
std::vector<PlcRequest> RequestsOf(const ModelRules& rules, const PlcSettings& s) {
  std::vector<PlcRequest> requests = {PlcRequest::kWakeUp, PlcRequest::kCommCheck};
  if (s.startMode == PlcMode::kApplication) {
    requests.push_back(PlcRequest::kIdentityA);
    switch (rules.variant) {
      case VariantCheck::kKr2:
        requests.push_back(PlcRequest::kReadD1386);
        requests.push_back(PlcRequest::kReadD1001);
        break;
      case VariantCheck::kD1148: requests.push_back(PlcRequest::kReadD1148); break;
      case VariantCheck::kD1001: requests.push_back(PlcRequest::kReadD1001); break;
      case VariantCheck::kLoaderVersion: requests.push_back(PlcRequest::kVersionA); break;
      case VariantCheck::kNone: break;
    }
    requests.push_back(PlcRequest::kEraseA);
    if (!s.eraseRestartsSilently) requests.push_back(PlcRequest::kConfirmA);
  }
  requests.push_back(PlcRequest::kId);
  if (rules.variant == VariantCheck::kLoaderVersion) requests.push_back(PlcRequest::kVersion);
  if (EraseCount(rules.name, s.imageSize) > 0) requests.push_back(PlcRequest::kErase);
  requests.insert(requests.end(), {PlcRequest::kEraseEnd, PlcRequest::kUpdate, PlcRequest::kBlock,
                                   PlcRequest::kTransferEnd});
  return requests;
}

PlcFault DrawFault(const ModelRules& rules, const PlcSettings& s, Draw& draw) {
  const std::vector<PlcRequest> requests = RequestsOf(rules, s);
  for (;;) {
    PlcFault fault{kKinds[draw.Below(std::size(kKinds))], PlcRequest::kUnknown, 1, 1};
    std::vector<PlcRequest> fitting;
    for (PlcRequest r : requests) {
      fault.request = r;
      if (PlcFaultProblem(fault).empty()) fitting.push_back(r);
    }
    if (fitting.empty()) continue;
    fault.request = fitting[draw.Below(static_cast<uint32_t>(fitting.size()))];
    const bool fromApplication = s.startMode == PlcMode::kApplication;
    switch (fault.request) {
      // Five wake-up frames a pass; the check is heard once a pass.
      case PlcRequest::kWakeUp: fault.nth = draw.Between(1, fromApplication ? 10 : 5); break;
      case PlcRequest::kCommCheck: fault.nth = draw.Between(1, fromApplication ? 2 : 1); break;
      case PlcRequest::kErase:
        fault.nth = draw.Between(1, EraseCount(rules.name, s.imageSize));
        break;
      case PlcRequest::kBlock:
        fault.nth = draw.Between(1, BlockPlanOf(rules.name, s.imageSize).blocks);
        break;
      default: fault.nth = draw.Between(1, 2); break;
    }
    // Most faults are over within the retry budget; some outlast it.
    if (fault.kind != FaultKind::kDisconnect && fault.kind != FaultKind::kFlashWriteError) {
      const uint32_t roll = draw.Below(100);
      fault.times = roll < 70 ? 1 : roll < 85 ? draw.Between(2, 5) : draw.Between(6, 8);
    }
    if (fault.kind == FaultKind::kRefuse) {
      const auto refusals = RefusalsOf(fault.request);
      const Refusal refusal = refusals[draw.Below(static_cast<uint32_t>(refusals.size()))];
      fault.refusalClass = refusal.refusalClass;
      fault.refusalDetail = refusal.detail;
    }
    return fault;
  }
}

std::string FaultText(const PlcFault& fault) {
  char text[160];
  std::snprintf(text, sizeof text, "%s %s@%u x%u", std::string(FaultKindName(fault.kind)).c_str(),
                std::string(PlcRequestName(fault.request)).c_str(), fault.nth, fault.times);
  std::string out = text;
  if (fault.kind == FaultKind::kRefuse) {
    std::snprintf(text, sizeof text, " (class %u, detail %u)", fault.refusalClass,
                  fault.refusalDetail);
    out += text;
  }
  return out;
}

}  // namespace

SoakCase MakeSoakCase(uint64_t seed, bool overPty) {
  SoakCase c;
  c.seed = seed;
  c.model = static_cast<int>(seed % kModelCount);
  const ModelRules& rules = ModelAt(c.model);
  Draw draw(seed);
  c.imageSize = ImageSizeFor(rules, draw, overPty ? kPtyLargestImage : 0);
  PlcSettings& s = c.plc;
  s = DefaultPlcSettings(c.model, c.imageSize);
  s.startMode = (seed / kModelCount) % 2 == 0 ? PlcMode::kApplication : PlcMode::kLoader;
  // The loader's habits, and the line.
  s.refuseRepeatedBlock = draw.Chance(50);
  s.lateReplyMs = draw.Chance(50) ? 3100 : 4000;
  s.pacing = draw.Chance(25) && !overPty;
  if (ReconnectRuleOf(rules.name) == ReconnectRule::kR3) s.eraseRestartsSilently = draw.Chance(75);
  s.staysInApplication = s.startMode == PlcMode::kApplication && draw.Chance(2);
  if (draw.Chance(25)) {
    // From one flipped bit in a hundred thousand to one in a thousand.
    s.bitErrorRate = 1e-5 * std::pow(100.0, draw.Unit());
    s.bitErrorSeed = draw.Next();
  }
  const uint32_t roll = draw.Below(100);
  const uint32_t faults = roll < 20 ? 0 : roll < 55 ? 1 : roll < 80 ? 2 : roll < 95 ? 3 : 4;
  for (uint32_t i = 0; i < faults; ++i) s.faults.push_back(DrawFault(rules, s, draw));
  return c;
}

std::string DescribeSoakCase(const SoakCase& c) {
  const PlcSettings& s = c.plc;
  char text[400];
  std::snprintf(text, sizeof text,
                "seed %llu: %s, image %u bytes, starts in its %s, %s wire, late replies after "
                "%u ms, repeated blocks %s%s%s",
                static_cast<unsigned long long>(c.seed), ModelAt(c.model).name, c.imageSize,
                s.startMode == PlcMode::kApplication ? "firmware" : "loader",
                s.pacing ? "paced" : "instant", s.lateReplyMs,
                s.refuseRepeatedBlock ? "refused" : "acknowledged",
                s.eraseRestartsSilently ? ", restarts silently on the erase request" : "",
                s.staysInApplication ? ", never starts its loader" : "");
  std::string out = text;
  if (s.bitErrorRate > 0) {
    std::snprintf(text, sizeof text, "\n  bit errors: %.2g per bit (noise seed %llu)",
                  s.bitErrorRate, static_cast<unsigned long long>(s.bitErrorSeed));
    out += text;
  }
  for (const PlcFault& fault : s.faults) out += "\n  fault: " + FaultText(fault);
  return out;
}

std::span<const uint8_t> SoakImage(uint32_t size) {
  static const std::vector<uint8_t> image = [] {
    uint32_t largest = 0;
    for (int i = 0; i < kModelCount; ++i) {
      largest = std::max(largest, SizeLimitOf(ModelAt(i).name).bytes);
    }
    std::vector<uint8_t> bytes(largest);
    Draw draw(0x1A6E);
    for (uint8_t& b : bytes) b = static_cast<uint8_t>(draw.Next());
    return bytes;
  }();
  return std::span<const uint8_t>(image).first(std::min<size_t>(size, image.size()));
}

std::vector<uint8_t> SoakExpectedFlash(int model, uint32_t size) {
  const BlockPlan plan = BlockPlanOf(ModelAt(model).name, size);
  const auto image = SoakImage(size);
  std::vector<uint8_t> flash(image.begin(), image.begin() + plan.imageBytes);
  flash.resize(static_cast<size_t>(plan.blocks) * plan.dataBytes, 0x1A);
  return flash;
}
