// SPDX-License-Identifier: MIT
// A whole burn whose PLC is the fuzzer's bytes: StartBurn with links that
// read the input, instant sleeps and boxes, and a stop requested where the
// input says.
// Input: the model, the image size (high byte first), a byte whose bit 0
// makes the first open fail and bit 1 the reopen after the replug or power
// cycle, and whose other bits choose the reason they give, the write during
// which the stop is requested (0: never), then the
// PLC's side of the link (fuzz_support.h), one stream for every link the
// burn opens.
// Properties: one box ends every burn that was not stopped, none a stopped
// one, and the observer hears the same result once; success only after the
// loader acknowledged the whole erase, UPDATE, every block and the final
// 0x04; at the end the link is closed and the status at rest.
#include <functional>
#include <string>

#include "burn/burn.h"
#include "catalogue/model_table.h"
#include "fuzz/fuzz_support.h"
#include "image/image_source.h"

namespace {

constexpr uint32_t kLargestImage = 3 * 4096;  // as in the loader target
const Bytes kEot = {0x04};

// Every link the burn opens is a view of the same scripted PLC.
class PlcView final : public Link {
 public:
  PlcView(ScriptedLink& plc, int& open, const std::function<void()>& onWrite)
      : plc_(plc), open_(open), onWrite_(onWrite) {
    ++open_;
  }
  ~PlcView() override { --open_; }
  size_t Write(const uint8_t* data, size_t n) override {
    onWrite_();
    return plc_.Write(data, n);
  }
  size_t Read(uint8_t* data, size_t n) override { return plc_.Read(data, n); }
  size_t Drain(uint8_t* data, size_t n, uint32_t quietMs) override {
    return plc_.Drain(data, n, quietMs);
  }
  void SetTimeouts(const Timeouts& timeouts) override { plc_.SetTimeouts(timeouts); }
  void ApplyLineSettings(const LineSettings& settings) override {
    plc_.ApplyLineSettings(settings);
  }

 private:
  ScriptedLink& plc_;
  int& open_;
  const std::function<void()>& onWrite_;
};

class FuzzEnvironment final : public BurnEnvironment, public BurnObserver {
 public:
  FuzzEnvironment(ScriptedLink& plc, uint8_t failingOpens, OpenFailure failure, uint8_t stopAtWrite,
                  CancelToken& cancel)
      : plc_(plc),
        failingOpens_(failingOpens),
        failure_(failure),
        onWrite_([this, stopAtWrite, &cancel] {
          if (++writes_ == stopAtWrite) cancel.Request();
        }) {}

  std::string ComPort() override { return "COM1"; }
  LinkOpening OpenSerialPort(const std::string&) override { return Open(); }
  LinkOpening OpenMyDevPipe() override { return Open(); }
  void ShowBox(BoxKind kind, const std::string& text, const std::string&) override {
    if (kind != BoxKind::kPrompt) {
      ++finalBoxes;
      lastBox = text;
    }
  }
  void EnableStartButton(bool) override {}
  void StopElapsedTimer() override {}
  void ResetElapsedTime() override {}
  void SleepSeconds(int, const CancelToken&) override {}

  void OnStatus(const BurnStatus& status) override { lastStatus = status; }
  void OnResult(const BurnResult& result) override {
    ++results;
    heard = result;
  }

  int finalBoxes = 0;
  std::string lastBox;
  int openLinks = 0;
  BurnStatus lastStatus;
  int results = 0;
  BurnResult heard;

 private:
  LinkOpening Open() {
    const int open = opens_++;
    if (open < 8 && (failingOpens_ >> open & 1)) return {nullptr, failure_, "fuzz"};
    return {std::make_unique<PlcView>(plc_, openLinks, onWrite_), OpenFailure::kNone, {}};
  }
  ScriptedLink& plc_;
  uint8_t failingOpens_;
  OpenFailure failure_;
  int opens_ = 0;
  int writes_ = 0;
  std::function<void()> onWrite_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput input(data, size);
  const ModelRules& model = ModelAt(input.Byte() % kModelCount);
  const std::vector<uint8_t> image = FuzzImage(input.Word() % (kLargestImage + 1));
  const uint8_t opens = input.Byte();
  const uint8_t failingOpens = opens & 3;
  // One of the reasons a port gives for not opening (kMissing .. kOther).
  const auto failure = static_cast<OpenFailure>(1 + (opens >> 2) % 6);
  const uint8_t stopAtWrite = input.Byte();
  MemoryImageSource source("fuzz.bin", image);
  CancelToken cancel;
  const std::unique_ptr<ScriptedLink> plc = ReplyLink(input.Rest());
  FuzzEnvironment environment(*plc, failingOpens, failure, stopAtWrite, cancel);

  const BurnResult result = StartBurn({model, source, environment, environment, cancel});

  const bool cancelled = result.outcome == BurnOutcome::kCancelled;
  Require(!cancelled || cancel.Requested(), "only a burn asked to stop ends as stopped");
  Require(environment.finalBoxes == (cancelled ? 0 : 1),
          "one box ends every burn, none a stopped one");
  Require(cancelled || environment.lastBox == result.message, "the box says the result");
  Require(result.outcome != BurnOutcome::kLinkNotOpened || result.openFailure == failure,
          "a link that did not open is reported with the reason it gave");
  Require(environment.results == 1 && environment.heard.outcome == result.outcome &&
              environment.heard.message == result.message,
          "the observer hears the result once");
  if (result.outcome == BurnOutcome::kSucceeded) {
    const auto acknowledged = AcknowledgedRequests(*plc);
    const auto imageSize = static_cast<uint32_t>(image.size());
    Require(CountOf(acknowledged, "ERASE") == EraseCount(model.name, imageSize) &&
                CountOf(acknowledged, "UPDATE") == 1 &&
                BlocksCarryImage(acknowledged, model.name, image) && !acknowledged.empty() &&
                acknowledged.back() == kEot,
            "a burn succeeds only after the whole dialogue was acknowledged");
  }
  Require(environment.openLinks == 0, "the burn closes its link");
  Require(environment.lastStatus == BurnStatus{}, "the status is at rest when the burn ends");
  return 0;
}
