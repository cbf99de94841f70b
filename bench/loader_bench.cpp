// SPDX-License-Identifier: MIT
// The tool's own CPU cost of the loader dialogue, with a PLC that answers at
// once: the wire, not the program, must be what limits a burn.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <vector>

#include "catalogue/model_table.h"
#include "image/image_source.h"
#include "link/crc.h"
#include "link/exchange.h"
#include "link/loader_protocol.h"

namespace {

// Accepts every byte and answers every read with 0x06 at once.
class AckLink final : public Link {
 public:
  size_t Write(const uint8_t*, size_t n) override { return n; }
  size_t Read(uint8_t* data, size_t n) override {
    for (size_t i = 0; i < n; ++i) data[i] = 0x06;
    return n;
  }
  size_t Drain(uint8_t*, size_t, uint32_t) override { return 0; }
  void SetTimeouts(const Timeouts&) override {}
  void ApplyLineSettings(const LineSettings&) override {}
};

void BM_Crc(benchmark::State& state) {
  std::vector<uint8_t> data(static_cast<size_t>(state.range(0)));
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 131 + 7);
  for (auto _ : state) {
    benchmark::DoNotOptimize(CRC(data.data(), static_cast<int32_t>(data.size())));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Crc)->Arg(128)->Arg(256)->Arg(2076672);

// The whole phase 2 bulk of a GL30 burn with the built-in image: 506 erase
// steps, 8,096 blocks of 261 bytes, both handshakes.
void BM_EraseAndTransferGl30(benchmark::State& state) {
  const ModelRules& model = ModelAt(*FindModel("GL30"));
  AckLink link;
  StatusBoard status;
  CancelToken cancel;
  const Dialogue dialogue{link, status, cancel};
  BuiltInImageSource source;
  uint32_t blocks = 0;
  uint64_t imageBytes = 0;
  for (auto _ : state) {
    const auto image = source.OpenImage();
    if (!image) {
      state.SkipWithError("the built-in image did not open");
      break;
    }
    imageBytes = image->Size();
    const auto size = static_cast<uint32_t>(imageBytes);
    if (SendErase_B(dialogue, model, size) != LoaderStatus::kDone ||
        SendFW(dialogue, model, *image) != LoaderStatus::kDone) {
      state.SkipWithError("the dialogue failed");
      break;
    }
    blocks = BlockPlanOf("GL30", size).blocks;
  }
  state.counters["image_bytes"] = static_cast<double>(imageBytes);
  state.counters["blocks"] = blocks;
  // CPU time per block, in seconds: the figure to hold under 2 µs.
  state.counters["cpu_per_block"] = benchmark::Counter(
      blocks, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_EraseAndTransferGl30)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
