// SPDX-License-Identifier: MIT
// Whole updates against the simulated PLC through the in-process link: the
// tool's own phase-1 and phase-2 operations in burn order for every model,
// ending with the PLC's flash equal to the image, and the tool-side result of
// every loader fault.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "catalogue/model_table.h"
#include "image/image_source.h"
#include "link/app_protocol.h"
#include "link/exchange.h"
#include "link/loader_protocol.h"
#include "sim/plc_sim.h"
#include "sim/sim_link.h"
#include "support/protocol_test.h"
#include "support/test_data.h"

namespace {

using Bytes = std::vector<uint8_t>;

int Model(std::string_view name) {
  const auto index = FindModel(name);
  EXPECT_TRUE(index.has_value()) << name;
  return index.value_or(0);
}

// Deterministic bytes that differ from block to block, so that a block
// written in the wrong place shows.
bool ReadsV4(uint16_t d1001) { return (d1001 & 0x00F0) >= 0x0040; }

// The burn's model-compatibility table, for the values the PLC gave.
bool CompatibilityAccepts(std::string_view model, uint16_t d1386, uint16_t d1001, uint16_t d1148) {
  switch (ModelCode(*FindModel(model))) {
    case 0x000C: {
      const bool kr2c = d1386 == 0x4138 || d1386 == 0x4137;
      if (kr2c) return model == (ReadsV4(d1001) ? "KR2-C-V4" : "KR2-C-V2");
      return model == (ReadsV4(d1001) ? "KR2-PW2-V4" : "KR2-PW2-V2");
    }
    case 0x0013: return model == (d1148 != 0 ? "FQ32" : "FQ2");
    case 0x0015: return model == (d1148 != 0 ? "MU24" : "MU");
    case 0x0008: return model == (ReadsV4(d1001) ? "BZ-V4" : "BZ-V3");
    case 0xA001: return model == (ReadsV4(d1001) ? "VOK-KR2-V4" : "VOK-KR2-V2");
    default: return true;
  }
}

// Keeps every request the tool wrote, whole, on the way to the simulator.
class RecordingLink final : public Link {
 public:
  explicit RecordingLink(std::unique_ptr<Link> inner) : inner_(std::move(inner)) {}
  size_t Write(const uint8_t* data, size_t n) override {
    writes.emplace_back(data, data + n);
    return inner_->Write(data, n);
  }
  size_t Read(uint8_t* data, size_t n) override { return inner_->Read(data, n); }
  size_t Drain(uint8_t* data, size_t n, uint32_t quietMs) override {
    return inner_->Drain(data, n, quietMs);
  }
  void SetTimeouts(const Timeouts& t) override { inner_->SetTimeouts(t); }
  void ApplyLineSettings(const LineSettings& s) override { inner_->ApplyLineSettings(s); }
  std::vector<Bytes> writes;

 private:
  std::unique_ptr<Link> inner_;
};

class SimBurn : public ::testing::Test {
 protected:
  void TearDown() override { serial.reset(); }

  void Start(PlcSettings settings) {
    serial.reset();  // the link must not outlive the PLC it talks to
    rules_ = &ModelAt(settings.model);
    image = TestImage(settings.imageSize);
    source = std::make_unique<MemoryImageSource>("test.bin", image);
    reader = source->OpenImage();
    plc = std::make_unique<PlcSimulator>(std::move(settings));
    Open();
  }
  void Start(std::string_view model, uint32_t size) {
    Start(DefaultPlcSettings(Model(model), size));
  }
  void Start(std::string_view model, uint32_t size, PlcFault fault) {
    PlcSettings s = DefaultPlcSettings(Model(model), size);
    s.faults.push_back(fault);
    Start(s);
  }
  void Open() {
    auto sim = OpenSimLink(*plc);
    ASSERT_NE(sim, nullptr);
    auto recording = std::make_unique<RecordingLink>(std::move(sim));
    recorder = recording.get();
    serial = std::move(recording);
  }
  void Reopen() {
    serial.reset();
    Open();
  }
  Link& link() { return *serial; }
  Dialogue d() { return {*serial, status, cancel}; }
  const ModelRules& rules() const { return *rules_; }
  std::string_view CurrentModel() const { return rules_->name; }
  int32_t errCounter() const { return status.now().errCounter; }
  int32_t totalErrCounter() const { return status.now().totalErrCounter; }
  int32_t flashStatus() const { return status.now().flashStatus; }
  int32_t progress() const { return status.now().progress; }

  // Phase 1 in burn order, up to the loader's communication check.
  void Phase1() {
    const std::string_view model = CurrentModel();
    DummyComm(d(), rules());
    ASSERT_EQ(Code(ConfirmComm(d(), rules())), kApplicationMode);
    ASSERT_EQ(Code(CheckID_A(d(), rules())), 0x00);
    uint16_t d1386 = 0, d1001 = 0, d1148 = 0;
    switch (rules().code) {
      case 0x000C:
        d1386 = READ_D1386(d()).value_or(0);
        d1001 = READ_D1001(d()).value_or(0);
        break;
      case 0x0013:
      case 0x0015: d1148 = READ_D1148(d()).value_or(0); break;
      case 0x0008:
      case 0xA001: d1001 = READ_D1001(d()).value_or(0); break;
      default:
        if (HasLoaderVersionCode(rules().code)) {
          GL_fu_version = read_fu_version_A(d());
          ASSERT_EQ(LoaderVersionRefusal(model, GL_fu_version), nullptr) << int{GL_fu_version};
        }
    }
    ASSERT_TRUE(CompatibilityAccepts(model, d1386, d1001, d1148))
        << std::hex << d1386 << " " << d1001 << " " << d1148;
    ASSERT_EQ(Code(SendErase_A(d(), rules())), 0x00);
    if (ReconnectRuleOf(model) != ReconnectRule::kR4) Reopen();
    DummyComm(d(), rules());
    ASSERT_EQ(Code(ConfirmComm(d(), rules())), kLoaderMode);
  }

  // Phase 2 in burn order; the result of the first operation that fails.
  uint8_t Phase2() {
    if (const uint8_t r = Code(CheckID_B(d(), rules()))) return r;
    if (rules().variant == VariantCheck::kLoaderVersion) {
      if (const uint8_t r = Code(read_fu_version_B(d(), GL_fu_version))) return r;
      EXPECT_EQ(LoaderVersionRefusal(CurrentModel(), GL_fu_version), nullptr);
    }
    if (const uint8_t r = Code(SendErase_B(d(), rules(), static_cast<uint32_t>(image.size())))) {
      return r;
    }
    if (const uint8_t r = Code(SendUpdate(d()))) return r;
    return Code(SendFW(d(), rules(), *reader));
  }

  // The flash holds the image the transfer carries (all but the last 4096
  // bytes under B2), the blocks' fill after it.
  void ExpectFlashIsTheImage() {
    const BlockPlan plan = BlockPlanOf(CurrentModel(), plc->settings().imageSize);
    const Bytes& flash = plc->record().flash;
    ASSERT_EQ(flash.size(), size_t{plan.blocks} * plan.dataBytes);
    EXPECT_TRUE(std::equal(image.begin(), image.begin() + plan.imageBytes, flash.begin()));
    EXPECT_TRUE(std::all_of(flash.begin() + plan.imageBytes, flash.end(),
                            [](uint8_t b) { return b == 0x1A; }));
  }

  std::vector<Bytes> BlockWrites(uint8_t number) const {
    std::vector<Bytes> found;
    for (const Bytes& w : recorder->writes) {
      if (w.size() > 100 && w[0] == 0x02 && w[1] == number) found.push_back(w);
    }
    return found;
  }

  Bytes image;
  std::unique_ptr<MemoryImageSource> source;
  std::unique_ptr<ImageReader> reader;
  std::unique_ptr<PlcSimulator> plc;
  std::unique_ptr<Link> serial;
  RecordingLink* recorder = nullptr;
  StatusBoard status;
  CancelToken cancel;
  uint8_t GL_fu_version = 0;

 private:
  const ModelRules* rules_ = nullptr;
};

// --- Every model, end to end --------------------------------------------------

class EveryModel : public SimBurn, public ::testing::WithParamInterface<int> {};

// The largest image the model takes, less 37 bytes so that the last block
// needs its fill.
TEST_P(EveryModel, UpdatesInBurnOrderAndTheFlashIsTheImage) {
  const std::string_view model = ModelName(GetParam());
  const uint32_t size = SizeLimitOf(model).bytes - 37;
  Start(model, size);
  ASSERT_NO_FATAL_FAILURE(Phase1());
  ASSERT_EQ(Phase2(), 0) << Violations(*plc);

  const PlcRecord& r = plc->record();
  EXPECT_TRUE(r.violations.empty()) << Violations(*plc);
  EXPECT_TRUE(r.updateComplete);
  EXPECT_EQ(r.eraseSteps, EraseCount(model, size));
  EXPECT_EQ(r.blocksWritten, BlockPlanOf(model, size).blocks);
  EXPECT_EQ(r.connections, ReconnectRuleOf(model) == ReconnectRule::kR4 ? 1u : 2u);
  ExpectFlashIsTheImage();
  EXPECT_EQ(totalErrCounter(), 0);
  EXPECT_EQ(progress(), 100);
}

INSTANTIATE_TEST_SUITE_P(AllModels, EveryModel, ::testing::Range(0, kModelCount),
                         [](const auto& info) {
                           std::string name(ModelName(info.param));
                           for (char& c : name) c = c == '-' ? '_' : c;
                           return name;
                         });

// The figures of the definition for GL30 at its limit.
TEST_F(SimBurn, Gl30AtItsLimitErases506TimesAndSends8096Blocks) {
  Start("GL30", 2076672);
  ASSERT_NO_FATAL_FAILURE(Phase1());
  ASSERT_EQ(Phase2(), 0) << Violations(*plc);
  EXPECT_EQ(CountOf(*plc, PlcRequest::kErase), 506u);
  EXPECT_EQ(CountOf(*plc, PlcRequest::kBlock), 8096u);
  EXPECT_TRUE(plc->record().violations.empty()) << Violations(*plc);
  ExpectFlashIsTheImage();
}

TEST_F(SimBurn, Gl30WithOneSectorHasNothingToEraseOrSend) {
  Start("GL30", 4096);
  ASSERT_NO_FATAL_FAILURE(Phase1());
  ASSERT_EQ(Phase2(), 0) << Violations(*plc);
  EXPECT_EQ(CountOf(*plc, PlcRequest::kErase), 0u);
  EXPECT_EQ(CountOf(*plc, PlcRequest::kBlock), 0u);
  EXPECT_TRUE(plc->record().updateComplete);
  EXPECT_TRUE(plc->record().violations.empty()) << Violations(*plc);
}

// The R3 models may also answer the erase request; the tool then confirms.
class R3AnsweringErase : public SimBurn, public ::testing::WithParamInterface<const char*> {};

TEST_P(R3AnsweringErase, UpdatesWithTheConfirmation) {
  PlcSettings s = DefaultPlcSettings(Model(GetParam()), 5000);
  s.eraseRestartsSilently = false;
  Start(s);
  ASSERT_NO_FATAL_FAILURE(Phase1());
  ASSERT_EQ(Phase2(), 0);
  EXPECT_EQ(CountOf(*plc, PlcRequest::kConfirmA), 1u);
  EXPECT_TRUE(plc->record().violations.empty()) << Violations(*plc);
  ExpectFlashIsTheImage();
}

INSTANTIATE_TEST_SUITE_P(R3Models, R3AnsweringErase,
                         ::testing::Values("KR2-C-V2", "KR2-C-V4", "PW2-CAR"));

// A PLC left in its loader (a failed phase 2) is met there by the next burn.
TEST_F(SimBurn, PlcStartingInItsLoaderGoesStraightToPhase2) {
  PlcSettings s = DefaultPlcSettings(Model("HM2"), 3000);
  s.startMode = PlcMode::kLoader;
  Start(s);
  DummyComm(d(), rules());
  ASSERT_EQ(Code(ConfirmComm(d(), rules())), kLoaderMode);
  EXPECT_EQ(Phase2(), 0);
  EXPECT_TRUE(plc->record().violations.empty()) << Violations(*plc);
  ExpectFlashIsTheImage();
}

// --- Loader faults and what the tool makes of them ---------------------------

TEST_F(SimBurn, ThreeNaksToABlockBringTheIdenticalPacketThreeMoreTimes) {
  Start("KR2-E", 1000, {FaultKind::kNak, PlcRequest::kBlock, 3, 3});
  ASSERT_NO_FATAL_FAILURE(Phase1());
  EXPECT_EQ(Phase2(), 0);
  const auto third = BlockWrites(3);
  ASSERT_EQ(third.size(), 4u);
  for (const Bytes& again : third) EXPECT_EQ(again, third[0]);
  EXPECT_EQ(totalErrCounter(), 3);
  EXPECT_TRUE(plc->record().violations.empty()) << Violations(*plc);
  ExpectFlashIsTheImage();
}

TEST_F(SimBurn, SixNaksToABlockFailTheTransfer) {
  Start("KR2-E", 1000, {FaultKind::kNak, PlcRequest::kBlock, 2, 6});
  ASSERT_NO_FATAL_FAILURE(Phase1());
  EXPECT_EQ(Phase2(), kLoaderNoReply);
  EXPECT_EQ(errCounter(), 6);
  EXPECT_EQ(BlockWrites(2).size(), 6u);
  EXPECT_FALSE(plc->record().updateComplete);
}

TEST_F(SimBurn, FlashWriteErrorEndsTheTransferWith22AndNoEndOfTransmission) {
  Start("MU", 5000, {FaultKind::kFlashWriteError, PlcRequest::kBlock, 5, 1});
  ASSERT_NO_FATAL_FAILURE(Phase1());
  EXPECT_EQ(Phase2(), 22);
  EXPECT_EQ(BlockWrites(5).size(), 1u);
  EXPECT_EQ(CountOf(*plc, PlcRequest::kTransferEnd), 0u);
  EXPECT_EQ(plc->record().blocksWritten, 4u);
  EXPECT_EQ(flashStatus(), kProgramming);
}

TEST_F(SimBurn, FlashWriteErrorToTheFinalEndOfTransmissionEndsTheTransfer) {
  Start("MU", 5000, {FaultKind::kFlashWriteError, PlcRequest::kTransferEnd, 1, 1});
  ASSERT_NO_FATAL_FAILURE(Phase1());
  EXPECT_EQ(Phase2(), kFlashWriteError);
  EXPECT_EQ(CountOf(*plc, PlcRequest::kTransferEnd), 1u);
  EXPECT_FALSE(plc->record().updateComplete);
}

// Under E3 an erase step gets one attempt; under the other rules six.
TEST_F(SimBurn, MissingEraseReplyEndsTheEraseAtOnceForGl30) {
  Start("GL30", 3 * 4096, {FaultKind::kSilence, PlcRequest::kErase, 2, 1});
  ASSERT_NO_FATAL_FAILURE(Phase1());
  EXPECT_EQ(Phase2(), kLoaderNoReply);
  EXPECT_EQ(errCounter(), 1);
  EXPECT_EQ(CountOf(*plc, PlcRequest::kErase), 2u);
  EXPECT_EQ(flashStatus(), kErasing);
}

TEST_F(SimBurn, MissingEraseReplyIsRetriedForMu) {
  Start("MU", 40000, {FaultKind::kSilence, PlcRequest::kErase, 2, 1});
  ASSERT_NO_FATAL_FAILURE(Phase1());
  EXPECT_EQ(Phase2(), 0);
  EXPECT_EQ(CountOf(*plc, PlcRequest::kErase), EraseCount("MU", 40000) + 1u);
  EXPECT_EQ(plc->record().eraseSteps, EraseCount("MU", 40000));
  EXPECT_TRUE(plc->record().violations.empty()) << Violations(*plc);
}

TEST_F(SimBurn, DisconnectAtABlockFailsTheTransferAndTheNextBurnStartsInTheLoader) {
  Start("KR2-E", 3000, {FaultKind::kDisconnect, PlcRequest::kBlock, 10, 1});
  ASSERT_NO_FATAL_FAILURE(Phase1());
  EXPECT_EQ(Phase2(), kLoaderNoReply);
  EXPECT_EQ(errCounter(), 6);
  EXPECT_FALSE(plc->record().updateComplete);
  // The next burn: the link opened anew, the image read from its start.
  reader = source->OpenImage();
  status.Reset();
  Reopen();
  DummyComm(d(), rules());
  ASSERT_EQ(Code(ConfirmComm(d(), rules())), kLoaderMode);
  EXPECT_EQ(Phase2(), 0);
  EXPECT_TRUE(plc->record().updateComplete);
  EXPECT_TRUE(plc->record().violations.empty()) << Violations(*plc);
  ExpectFlashIsTheImage();
}

TEST_F(SimBurn, LoaderIdentityTheRuleRefusesFailsAfterSixQueries) {
  PlcSettings s = DefaultPlcSettings(Model("VOK-KR2-V2"), 3000);
  s.loaderId = 0xA001;  // L3 wants 0x2001
  Start(s);
  ASSERT_NO_FATAL_FAILURE(Phase1());
  EXPECT_EQ(Phase2(), kLoaderNoReply);
  EXPECT_EQ(CountOf(*plc, PlcRequest::kId), 6u);
  EXPECT_EQ(totalErrCounter(), 6);
}

TEST_F(SimBurn, LoaderVersionBytesBecomeTheVersionByte) {
  PlcSettings s = DefaultPlcSettings(Model("GL20-AIO"), 5000);
  s.loaderVersion[0] = 0x00;
  s.loaderVersion[1] = 0x90;
  Start(s);
  ASSERT_NO_FATAL_FAILURE(Phase1());
  ASSERT_EQ(Code(CheckID_B(d(), rules())), 0);
  ASSERT_EQ(Code(read_fu_version_B(d(), GL_fu_version)), 0);
  EXPECT_EQ(GL_fu_version, 0x09);
  EXPECT_STREQ(LoaderVersionRefusal("GL20-AIO", GL_fu_version),
               "The bootloader version is V0.9, do not support AIO FW update");
}

TEST_F(SimBurn, ShortReplyToUpdateIsRetriedAndTheLineSwitchesOnce) {
  Start("KR2-E", 1000, {FaultKind::kShortReply, PlcRequest::kUpdate, 1, 1});
  ASSERT_NO_FATAL_FAILURE(Phase1());
  EXPECT_EQ(Phase2(), 0);
  EXPECT_EQ(CountOf(*plc, PlcRequest::kUpdate), 2u);
  EXPECT_TRUE(plc->record().violations.empty()) << Violations(*plc);
}

// Noise on every reply of the loader dialogue, over several seeds. A 0x06
// may turn into 0x16 and end a transfer, so not every run completes; but in
// every run the PLC tells the tool's retries from new steps (no violation),
// the tool reports success exactly when the PLC completed, and a completed
// flash is the image.
TEST_F(SimBurn, BitErrorsNeverMakeToolAndPlcDisagree) {
  int completed = 0;
  int32_t failures = 0;
  for (uint64_t seed = 1; seed <= 12; ++seed) {
    PlcSettings s = DefaultPlcSettings(Model("KR2-E"), 40000);
    s.startMode = PlcMode::kLoader;
    s.bitErrorRate = 2e-3;
    s.bitErrorSeed = seed;
    status.Reset();
    Start(s);
    DummyComm(d(), rules());
    const uint8_t result = Code(ConfirmComm(d(), rules())) == kLoaderMode ? Phase2() : 0xFF;
    EXPECT_TRUE(plc->record().violations.empty()) << "seed " << seed << "\n" << Violations(*plc);
    EXPECT_EQ(result == 0, plc->record().updateComplete)
        << "seed " << seed << " result " << int{result};
    if (plc->record().updateComplete) {
      ++completed;
      ExpectFlashIsTheImage();
    }
    failures += totalErrCounter();
  }
  EXPECT_GE(completed, 6);
  EXPECT_GT(failures, 12) << "the noise should have cost attempts";
}

// With pacing the simulated clock runs as a real wire would, to the
// microsecond over the whole transfer: a character time rounded up to the
// microsecond and multiplied would be 26 ms late here.
TEST_F(SimBurn, PacedTransferTakesTheWireTimeOnTheSimulatedClock) {
  PlcSettings s = DefaultPlcSettings(Model("KR2-E"), 128 * 1000);
  s.pacing = true;
  Start(s);
  ASSERT_NO_FATAL_FAILURE(Phase1());
  const uint64_t before = plc->nowMicros;
  ASSERT_EQ(Code(CheckID_B(d(), rules())), 0);
  ASSERT_EQ(Code(SendErase_B(d(), rules(), static_cast<uint32_t>(image.size()))), 0);
  ASSERT_EQ(Code(SendUpdate(d())), 0);
  const uint64_t transferStart = plc->nowMicros.nanos;
  ASSERT_EQ(Code(SendFW(d(), rules(), *reader)), 0);
  // 1000 packets of 133 bytes and their 1-byte replies, then 0x04 and 0x06,
  // 10 bits a character at 115200 baud 8N1.
  const double expected = (1000 * 134 + 2) * 10 * 1e9 / 115200;
  EXPECT_NEAR(static_cast<double>(plc->nowMicros.nanos - transferStart), expected, 10000.0);
  EXPECT_GT(transferStart / 1000, before);
  EXPECT_TRUE(plc->record().violations.empty()) << Violations(*plc);
}

}  // namespace
