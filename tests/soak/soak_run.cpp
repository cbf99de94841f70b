// SPDX-License-Identifier: MIT
// One update of the soak, run as a front end runs a burn: the prompts are
// answered at once, the sleeps take no time, and every link is the
// in-process simulated PLC, watched so that no update outlives its bound.
#include <algorithm>
#include <cstdio>

#include "catalogue/model_table.h"
#include "link/exchange.h"
#include "sim/sim_link.h"
#include "soak/soak.h"
#include "support/instant_front_end.h"

namespace {

constexpr uint64_t kNanosPerMs = 1000000;

class SoakImageReader final : public ImageReader {
 public:
  explicit SoakImageReader(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  uint64_t Size() const override { return bytes_.size(); }
  int32_t FileRead(uint8_t* buffer, int32_t count) override {
    if (count <= 0) return 0;
    const size_t n = std::min(static_cast<size_t>(count), bytes_.size() - at_);
    std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(at_), n, buffer);
    at_ += n;
    return static_cast<int32_t>(n);
  }
  std::span<const uint8_t> Head(size_t count) const override {
    return bytes_.first(std::min(count, bytes_.size()));
  }

 private:
  std::span<const uint8_t> bytes_;
  size_t at_ = 0;
};

// Stops an update at its bound: past it, or past as many link calls as its
// attempts could make (a loop that does not advance the clock), the link
// moves nothing and the burn is asked to stop.
struct Guard {
  std::function<uint64_t()> nowNanos;  // the update's clock
  CancelToken& cancel;
  uint64_t boundNanos;
  uint64_t mostCalls;
  uint64_t calls = 0;
  bool exceeded = false;

  bool Allows() {
    if (!exceeded && (nowNanos() > boundNanos || ++calls > mostCalls)) {
      exceeded = true;
      cancel.Request();
    }
    return !exceeded;
  }
};

class GuardedLink final : public Link {
 public:
  GuardedLink(std::unique_ptr<Link> inner, Guard& guard)
      : inner_(std::move(inner)), guard_(guard) {}
  size_t Write(const uint8_t* data, size_t n) override {
    return guard_.Allows() ? inner_->Write(data, n) : 0;
  }
  size_t Read(uint8_t* data, size_t n) override {
    return guard_.Allows() ? inner_->Read(data, n) : 0;
  }
  size_t Drain(uint8_t* data, size_t n, uint32_t quietMs) override {
    return guard_.Allows() ? inner_->Drain(data, n, quietMs) : 0;
  }
  void SetTimeouts(const Timeouts& timeouts) override { inner_->SetTimeouts(timeouts); }
  void ApplyLineSettings(const LineSettings& settings) override {
    inner_->ApplyLineSettings(settings);
  }

 private:
  std::unique_ptr<Link> inner_;
  Guard& guard_;
};

// A link behind the guard.
LinkOpening Guarded(std::unique_ptr<Link> link, Guard& guard) {
  if (!link) return {nullptr, OpenFailure::kMissing, "the simulated PLC is unplugged"};
  return {std::make_unique<GuardedLink>(std::move(link), guard), OpenFailure::kNone, {}};
}

// The worst case, summed exchange by exchange.
struct WorstCase {
  uint64_t nanos = 0;
  uint64_t attempts = 0;

  // Five write failures and six read failures: the most attempts the retry
  // budget allows one exchange; one for an erase step that gets one attempt.
  static constexpr uint32_t kMostAttempts = 2 * kFailuresPerKind - 1;

  // `count` exchanges whose reply is `replyBytes` long. An attempt's write
  // and read each run to their time-out; the listening that follows a short
  // read goes on while bytes keep coming less than 200 ms apart, at most
  // one a missing byte. `extraWriteMs` is a further write per attempt (the
  // erase confirmation).
  void Exchanges(uint64_t count, uint32_t replyBytes, uint32_t tries = kMostAttempts,
                 uint32_t extraWriteMs = 0) {
    const uint64_t attemptMs = kExchangeTimeouts.writeTotalMs + kExchangeTimeouts.readTotalMs +
                               uint64_t{kLateReplyQuietMs} * replyBytes + extraWriteMs;
    nanos += count * tries * attemptMs * kNanosPerMs;
    attempts += count * tries;
  }
  // The wake-up burst: five frames, each written and its reply read under
  // the short time-outs, then five more reads to take late replies off.
  void WakeUp() {
    nanos += (5 * (kShortTimeouts.writeTotalMs + kShortTimeouts.readTotalMs) +
              5 * kShortTimeouts.readTotalMs) *
             kNanosPerMs;
    attempts += 10;
  }
};

constexpr uint32_t kFunction64Reply = 19;
constexpr uint32_t kRegisterReply = 15;

WorstCase WorstCaseOf(const SoakCase& c) {
  const ModelRules& rules = ModelAt(c.model);
  WorstCase worst;
  // A PLC met in its firmware gets phase 1 at most three times; the fourth
  // communication check either finds the loader or ends the update.
  const bool fromApplication = c.plc.startMode == PlcMode::kApplication;
  const uint64_t checks = fromApplication ? 4 : 1;
  const uint64_t applicationPasses = fromApplication ? 3 : 0;
  for (uint64_t i = 0; i < checks; ++i) {
    worst.WakeUp();
    worst.Exchanges(1, kFunction64Reply);
  }
  worst.Exchanges(applicationPasses, kFunction64Reply);  // the identity
  switch (rules.variant) {
    case VariantCheck::kKr2: worst.Exchanges(2 * applicationPasses, kRegisterReply); break;
    case VariantCheck::kD1148:
    case VariantCheck::kD1001: worst.Exchanges(applicationPasses, kRegisterReply); break;
    case VariantCheck::kLoaderVersion: worst.Exchanges(applicationPasses, kFunction64Reply); break;
    case VariantCheck::kNone: break;
  }
  // The erase request, its confirmation written after each accepted reply.
  worst.Exchanges(applicationPasses, kFunction64Reply, WorstCase::kMostAttempts,
                  kExchangeTimeouts.writeTotalMs);
  // The loader.
  worst.Exchanges(1, 3);                                                     // ID
  if (rules.variant == VariantCheck::kLoaderVersion) worst.Exchanges(1, 3);  // VERSION
  worst.Exchanges(EraseCount(rules.name, c.imageSize), 1,
                  EraseStepHasOneAttempt(rules.name) ? 1 : WorstCase::kMostAttempts);
  worst.Exchanges(2, 1);  // the erase's 0x04, UPDATE
  worst.Exchanges(BlockPlanOf(rules.name, c.imageSize).blocks, 1);
  worst.Exchanges(1, 1);  // the final 0x04
  return worst;
}

}  // namespace

std::unique_ptr<ImageReader> SoakImageSource::OpenImage() {
  return std::make_unique<SoakImageReader>(bytes_);
}

uint64_t SoakBoundNanos(const SoakCase& soakCase) { return WorstCaseOf(soakCase).nanos; }

SoakRun RunSoakCase(const SoakCase& c, std::optional<uint64_t> boundNanos) {
  SoakRun run;
  PlcSimulator plc(c.plc);
  const WorstCase worst = WorstCaseOf(c);
  run.boundNanos = boundNanos.value_or(worst.nanos);
  CancelToken cancel;
  // Every attempt makes a few link calls; taking stale input off the line
  // may take a few dozen.
  Guard guard{[&] { return plc.nowMicros.nanos; }, cancel, run.boundNanos, 100 * worst.attempts};
  InstantFrontEnd environment([&] { return Guarded(OpenSimLink(plc), guard); });
  SoakImageSource image(c.imageSize);
  run.result = StartBurn({ModelAt(c.model), image, environment, environment, cancel, false});
  run.prompts = std::move(environment.prompts);
  run.simulatedNanos = plc.nowMicros.nanos;
  run.boundExceeded = guard.exceeded;
  run.record = plc.record();
  return run;
}

std::string DescribeSoakRecord(const PlcRecord& record) {
  std::string out;
  char line[200];
  // Clean blocks in a row are one line.
  size_t cleanFrom = 0, cleanCount = 0;
  auto flush = [&] {
    if (cleanCount == 0) return;
    std::snprintf(line, sizeof line, "  #%zu-#%zu: %zu blocks acknowledged\n", cleanFrom,
                  cleanFrom + cleanCount - 1, cleanCount);
    out += line;
    cleanCount = 0;
  };
  for (size_t i = 0; i < record.requests.size(); ++i) {
    const PlcRequestRecord& r = record.requests[i];
    const bool block = r.request == PlcRequest::kBlock;
    if (block && r.fault.empty() && !r.noisy && r.reply == std::vector<uint8_t>{0x06}) {
      if (cleanCount == 0) cleanFrom = i + 1;
      ++cleanCount;
      continue;
    }
    flush();
    std::string reply;
    for (size_t k = 0; k < r.reply.size() && k < 24; ++k) {
      std::snprintf(line, sizeof line, "%s%02X", k == 0 ? "" : " ", r.reply[k]);
      reply += line;
    }
    if (r.reply.size() > 24) reply += " ...";
    std::snprintf(line, sizeof line, "  #%zu: link %u, %s, %s", i + 1, r.connection,
                  std::string(PlcModeName(r.mode)).c_str(),
                  std::string(PlcRequestName(r.request)).c_str());
    out += line;
    if (block && r.bytes.size() > 1) {
      std::snprintf(line, sizeof line, " 0x%02X", r.bytes[1]);
      out += line;
    }
    out += " -> " + (reply.empty() ? std::string("(nothing)") : reply);
    if (!r.fault.empty()) out += "  [" + r.fault + "]";
    if (r.noisy) out += "  [bit errors]";
    out += "\n";
  }
  flush();
  for (const PlcViolation& v : record.violations) {
    std::snprintf(line, sizeof line, "  violation at #%zu: ", v.request);
    out += line + v.reason + "\n";
  }
  return out;
}
