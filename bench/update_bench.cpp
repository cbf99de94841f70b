// SPDX-License-Identifier: MIT
// A whole GL30 update with the built-in image (phase 1, the replug, the
// erase and the 8,096 blocks), run as a front end runs it, on the in-process
// simulated PLC: the CPU time of tool and simulator together, and of the
// tool alone. For the tool alone the same update is replayed to a link that
// hands back, call for call, what the simulator's link returned: the burn
// is deterministic, so it takes the same path, and nothing but the tool
// spends time. Goal: under 50 ms of the tool's CPU per update.
#include <benchmark/benchmark.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "burn/burn.h"
#include "catalogue/model_table.h"
#include "image/image_source.h"
#include "sim/plc_sim.h"
#include "sim/sim_link.h"
#include "tests/support/instant_front_end.h"

namespace {

using SteadyClock = std::chrono::steady_clock;

// One link call and what it gave the tool.
struct Call {
  enum class Kind { kWrite, kRead, kDrain } kind;
  size_t moved;
  std::vector<uint8_t> bytes;  // reads and drains
};

// Records every call to the simulator's link, and the wall time spent in
// it: the simulator's share, since nothing sleeps.
class RecordingLink final : public Link {
 public:
  RecordingLink(std::unique_ptr<Link> inner, std::vector<Call>* calls, double& simulatorSeconds)
      : inner_(std::move(inner)), calls_(calls), simulatorSeconds_(simulatorSeconds) {}
  size_t Write(const uint8_t* data, size_t n) override {
    const auto start = SteadyClock::now();
    const size_t moved = inner_->Write(data, n);
    Spent(start);
    if (calls_ != nullptr) calls_->push_back({Call::Kind::kWrite, moved, {}});
    return moved;
  }
  size_t Read(uint8_t* data, size_t n) override {
    const auto start = SteadyClock::now();
    const size_t moved = inner_->Read(data, n);
    Spent(start);
    if (calls_ != nullptr) calls_->push_back({Call::Kind::kRead, moved, {data, data + moved}});
    return moved;
  }
  size_t Drain(uint8_t* data, size_t n, uint32_t quietMs) override {
    const auto start = SteadyClock::now();
    const size_t moved = inner_->Drain(data, n, quietMs);
    Spent(start);
    if (calls_ != nullptr) calls_->push_back({Call::Kind::kDrain, moved, {data, data + moved}});
    return moved;
  }
  void SetTimeouts(const Timeouts& timeouts) override { inner_->SetTimeouts(timeouts); }
  void ApplyLineSettings(const LineSettings& settings) override {
    inner_->ApplyLineSettings(settings);
  }

 private:
  void Spent(SteadyClock::time_point start) {
    simulatorSeconds_ += std::chrono::duration<double>(SteadyClock::now() - start).count();
  }
  std::unique_ptr<Link> inner_;
  std::vector<Call>* calls_;
  double& simulatorSeconds_;
};

// Hands back the recorded calls in order, across the links of the update.
class ReplayLink final : public Link {
 public:
  ReplayLink(const std::vector<Call>& calls, size_t& next) : calls_(calls), next_(next) {}
  size_t Write(const uint8_t*, size_t) override { return calls_[next_++].moved; }
  size_t Read(uint8_t* data, size_t) override { return Give(data); }
  size_t Drain(uint8_t* data, size_t, uint32_t) override { return Give(data); }
  void SetTimeouts(const Timeouts&) override {}
  void ApplyLineSettings(const LineSettings&) override {}

 private:
  size_t Give(uint8_t* data) {
    const Call& call = calls_[next_++];
    std::copy(call.bytes.begin(), call.bytes.end(), data);
    return call.moved;
  }
  const std::vector<Call>& calls_;
  size_t& next_;
};

struct Gl30 {
  const int index = *FindModel("GL30");
  const ModelRules& model = ModelAt(index);
  BuiltInImageSource image;
  bool usable = DefaultModelName() == "GL30";
  uint32_t size = usable ? static_cast<uint32_t>(image.OpenImage()->Size()) : 0;
};

// Runs one update against a fresh simulated PLC; `calls` records it.
BurnResult UpdateOnTheSimulator(Gl30& gl30, std::vector<Call>* calls, double& simulatorSeconds) {
  PlcSimulator plc(DefaultPlcSettings(gl30.index, gl30.size));
  InstantFrontEnd frontEnd([&]() -> LinkOpening {
    auto link = OpenSimLink(plc);
    if (!link) return {nullptr, OpenFailure::kBusy, "the simulated PLC is open already"};
    return {std::make_unique<RecordingLink>(std::move(link), calls, simulatorSeconds),
            OpenFailure::kNone, {}};
  });
  CancelToken cancel;
  return StartBurn({gl30.model, gl30.image, frontEnd, frontEnd, cancel, true});
}

void BM_Gl30UpdateOnTheSimulator(benchmark::State& state) {
  Gl30 gl30;
  if (!gl30.usable) {
    state.SkipWithError("the built-in image is not a GL30 image");
    return;
  }
  double simulatorSeconds = 0;
  for (auto _ : state) {
    if (UpdateOnTheSimulator(gl30, nullptr, simulatorSeconds).outcome != BurnOutcome::kSucceeded) {
      state.SkipWithError("the update failed");
      return;
    }
  }
  // The share of each update spent inside the simulator and its link.
  state.counters["simulator_ms"] =
      benchmark::Counter(simulatorSeconds * 1000, benchmark::Counter::kAvgIterations);
  state.counters["blocks"] = BlockPlanOf("GL30", gl30.size).blocks;
}
BENCHMARK(BM_Gl30UpdateOnTheSimulator)->Unit(benchmark::kMillisecond);

void BM_Gl30UpdateToolAlone(benchmark::State& state) {
  Gl30 gl30;
  if (!gl30.usable) {
    state.SkipWithError("the built-in image is not a GL30 image");
    return;
  }
  std::vector<Call> calls;
  double simulatorSeconds = 0;
  if (UpdateOnTheSimulator(gl30, &calls, simulatorSeconds).outcome != BurnOutcome::kSucceeded) {
    state.SkipWithError("the recorded update failed");
    return;
  }
  for (auto _ : state) {
    size_t next = 0;
    InstantFrontEnd frontEnd([&]() -> LinkOpening {
      return {std::make_unique<ReplayLink>(calls, next), OpenFailure::kNone, {}};
    });
    CancelToken cancel;
    const BurnResult result = StartBurn({gl30.model, gl30.image, frontEnd, frontEnd, cancel, true});
    if (result.outcome != BurnOutcome::kSucceeded || next != calls.size()) {
      state.SkipWithError("the replay left the recorded path");
      return;
    }
  }
  state.counters["link_calls"] = static_cast<double>(calls.size());
}
BENCHMARK(BM_Gl30UpdateToolAlone)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
