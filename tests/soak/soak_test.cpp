// SPDX-License-Identifier: MIT
// The soak's own guarantees: a seed replays its update exactly, the judge
// objects to every end but the one the faults call for, its excuses hold
// only where their cause is, and an update is stopped at its bound.
#include "soak/soak.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "catalogue/model_table.h"
#include "link/app_protocol.h"
#include "link/crc.h"
#include "link/loader_protocol.h"
#include "sim/sim_link.h"

namespace {

BurnResult Ended(BurnOutcome outcome, std::string caption, std::string message, BurnPhase phase) {
  BurnResult result;
  result.outcome = outcome;
  result.caption = std::move(caption);
  result.message = std::move(message);
  result.phase = phase;
  return result;
}

constexpr char kNoResponse1[] = "NO RESPONSE @ State 1";
constexpr char kTransferFailed[] = "Firmware update is FAILED";
constexpr char kComSuccess[] = "Firmware update is SUCCESSFUL";

SoakCase Case(const char* model, PlcMode start, uint32_t size, std::vector<PlcFault> faults = {}) {
  SoakCase c;
  c.model = *FindModel(model);
  c.imageSize = size;
  c.plc = DefaultPlcSettings(c.model, size);
  c.plc.startMode = start;
  c.plc.faults = std::move(faults);
  return c;
}

std::string Hex(const std::vector<uint8_t>& bytes) {
  std::string out;
  for (uint8_t b : bytes) out += "0123456789ABCDEF"[b >> 4], out += "0123456789ABCDEF"[b & 15];
  return out;
}

// Everything the simulator kept, in full.
std::vector<std::string> FullRecord(const SoakRun& run) {
  const PlcRecord& record = run.record;
  std::vector<std::string> lines;
  for (const PlcRequestRecord& r : record.requests) {
    lines.push_back(
        std::string(PlcModeName(r.mode)) + " " + std::string(PlcRequestName(r.request)) + " link " +
        std::to_string(r.connection) + " " + std::to_string(r.length) + " " + Hex(r.bytes) +
        " -> " + Hex(r.reply) + " " + r.fault + (r.noisy ? " noisy" : ""));
  }
  for (const PlcViolation& v : record.violations) {
    lines.push_back("violation " + std::to_string(v.request) + " " + v.reason);
  }
  lines.push_back("flash " + Hex(record.flash));
  lines.push_back("at " + std::to_string(run.simulatedNanos) + " ns, " +
                  std::to_string(record.connections) + " links");
  for (const std::string& p : run.prompts) lines.push_back("prompt " + p);
  lines.push_back(run.result.caption + ": " + run.result.message);
  return lines;
}

bool Mentions(const std::vector<std::string>& lines, const std::string& text) {
  for (const std::string& line : lines) {
    if (line.find(text) != std::string::npos) return true;
  }
  return false;
}

TEST(SoakReplay, AFailingSeedReplaysItsUpdateExactly) {
  // The first seed whose update fails on a paced wire with bit errors: the
  // most that could differ between two runs.
  uint64_t seed = 1;
  for (; seed < 5000; ++seed) {
    const SoakCase c = MakeSoakCase(seed);
    if (c.plc.pacing && c.plc.bitErrorRate > 0 && !c.plc.faults.empty() &&
        RunSoakCase(c).result.outcome == BurnOutcome::kFailed) {
      break;
    }
  }
  ASSERT_LT(seed, 5000u);
  const SoakCase first = MakeSoakCase(seed);
  const SoakCase again = MakeSoakCase(seed);
  EXPECT_EQ(DescribeSoakCase(first), DescribeSoakCase(again));
  const SoakRun a = RunSoakCase(first);
  const SoakRun b = RunSoakCase(again);
  EXPECT_EQ(FullRecord(a), FullRecord(b)) << "seed " << seed;
  EXPECT_EQ(a.result.outcome, BurnOutcome::kFailed);
  // Another seed of the same model and start mode is another update.
  EXPECT_NE(FullRecord(a), FullRecord(RunSoakCase(MakeSoakCase(seed + 64))));
}

TEST(SoakCases, EverySixtyFourSeedsCoverEveryModelInBothStartModes) {
  std::vector<int> seen(2 * kModelCount, 0);
  for (uint64_t seed = 1000; seed < 1064; ++seed) {
    const SoakCase c = MakeSoakCase(seed);
    ++seen[c.model * 2 + (c.plc.startMode == PlcMode::kLoader ? 1 : 0)];
    EXPECT_LE(c.imageSize, SizeLimitOf(ModelAt(c.model).name).bytes);
    EXPECT_GT(BlockPlanOf(ModelAt(c.model).name, c.imageSize).blocks, 0u);
    for (const PlcFault& f : c.plc.faults) EXPECT_EQ(PlcFaultProblem(f), "") << seed;
  }
  EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), 2 * kModelCount);
}

// Cases whose end is certain, each with the words it must end with.
struct CertainEnd {
  const char* name;
  SoakCase c;
  const char* message;
};

void PrintTo(const CertainEnd& c, std::ostream* os) { *os << c.name; }

std::vector<CertainEnd> CertainEnds() {
  const auto kApp = PlcMode::kApplication;
  const auto kLoader = PlcMode::kLoader;
  return {
      {"Clean", Case("KR2-E", kApp, 5000), kComSuccess},
      {"SixSilencesToABlock",
       Case("KR2-E", kLoader, 5000, {{FaultKind::kSilence, PlcRequest::kBlock, 3, 6}}),
       kTransferFailed},
      {"FlashWriteError",
       Case("KR2-E", kLoader, 5000, {{FaultKind::kFlashWriteError, PlcRequest::kBlock, 2, 1}}),
       "Flash write error, maybe due to flash write protection. RE-POWER PLC and update FW again"},
      {"CheckRefusedInRunMode",
       Case("KR2-E", kApp, 5000, {{FaultKind::kRefuse, PlcRequest::kCommCheck, 1, 6, 1, 0}}),
       "PLC in RUN MODE"},
      {"DropAtTheIdentity",
       Case("KR2-E", kApp, 5000, {{FaultKind::kDisconnect, PlcRequest::kIdentityA, 1, 1}}),
       "NO RESPONSE @ State 2"},
      {"OneSilentEraseStepOfGl30",
       Case("GL30", kLoader, 20000, {{FaultKind::kSilence, PlcRequest::kErase, 2, 1}}),
       "PLC DOES NOT respond to the erasing signal"},
      {"FiveNaksToABlock",
       Case("KR2-E", kLoader, 5000, {{FaultKind::kNak, PlcRequest::kBlock, 3, 5}}), kComSuccess},
  };
}

class SoakJudge : public ::testing::TestWithParam<CertainEnd> {};

TEST_P(SoakJudge, AcceptsTheEndItsFaultsCallFor) {
  const SoakRun run = RunSoakCase(GetParam().c);
  EXPECT_EQ(run.result.message, GetParam().message);
  const SoakVerdict verdict = JudgeSoakRun(GetParam().c, run);
  EXPECT_TRUE(verdict.problems.empty()) << verdict.problems.front();
  if (GetParam().message != std::string(kComSuccess)) {
    EXPECT_NE(verdict.calledFor.find(GetParam().message), std::string::npos) << verdict.calledFor;
  }
}

TEST_P(SoakJudge, ObjectsToAnyOtherEnd) {
  const SoakRun honest = RunSoakCase(GetParam().c);
  const bool succeeded = honest.result.outcome == BurnOutcome::kSucceeded;
  std::vector<BurnResult> others = {
      Ended(BurnOutcome::kFailed, "ERROR", kNoResponse1, BurnPhase::kPhase1),
      Ended(BurnOutcome::kFailed, "ERROR", kTransferFailed, BurnPhase::kProgramming),
      Ended(BurnOutcome::kSucceeded, "INFORMATION", kComSuccess, BurnPhase::kProgramming),
      Ended(BurnOutcome::kFailed, "INFORMATION", GetParam().message, BurnPhase::kProgramming),
      Ended(BurnOutcome::kCancelled, "", "", BurnPhase::kPhase2),
  };
  for (const BurnResult& other : others) {
    const bool same = other.outcome == honest.result.outcome &&
                      other.message == honest.result.message &&
                      other.caption == honest.result.caption;
    if (same || (succeeded && other.outcome == BurnOutcome::kSucceeded)) continue;
    SoakRun run = RunSoakCase(GetParam().c);
    run.result = other;
    EXPECT_FALSE(JudgeSoakRun(GetParam().c, run).problems.empty())
        << other.caption << ": " << other.message;
  }
}

INSTANTIATE_TEST_SUITE_P(Ends, SoakJudge, ::testing::ValuesIn(CertainEnds()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SoakJudgeChecks, ASuccessWithAnotherImageInTheFlashIsWrong) {
  const SoakCase c = Case("KR2-E", PlcMode::kLoader, 5000);
  const SoakRun run = RunSoakCase(c);
  ASSERT_EQ(run.result.outcome, BurnOutcome::kSucceeded);
  SoakCase other = c;
  other.imageSize = 5000 + 128;  // the flash holds one block less than this image
  EXPECT_TRUE(Mentions(JudgeSoakRun(other, run).problems, "flash is not the image"));
}

TEST(SoakJudgeChecks, APromptMissingOrWordedOtherwiseIsWrong) {
  const SoakCase c = Case("GL30", PlcMode::kApplication, 9000);
  SoakRun run = RunSoakCase(c);
  ASSERT_EQ(run.prompts.size(), 1u);
  EXPECT_TRUE(JudgeSoakRun(c, run).problems.empty());
  run.prompts[0] = "Please POWER OFF=>ON the PLC, and then press OK to continue";
  EXPECT_FALSE(JudgeSoakRun(c, run).problems.empty());
  run.prompts.clear();
  EXPECT_FALSE(JudgeSoakRun(c, run).problems.empty());
}

// A loader that refuses blocks it has written cannot take one again once
// its acknowledgement was lost: the update fails, and the simulator's
// complaints about the repeats are the fault's doing. A loader that
// acknowledges the repeat gets through.
TEST(SoakJudgeChecks, ARepeatRefusedAfterALostAcknowledgementIsExcused) {
  SoakCase c =
      Case("KR2-E", PlcMode::kLoader, 5000, {{FaultKind::kShortReply, PlcRequest::kBlock, 5, 1}});
  c.plc.refuseRepeatedBlock = true;
  const SoakRun run = RunSoakCase(c);
  EXPECT_EQ(run.result.message, kTransferFailed);
  ASSERT_FALSE(run.record.violations.empty());
  const SoakVerdict verdict = JudgeSoakRun(c, run);
  EXPECT_TRUE(verdict.problems.empty()) << verdict.problems.front();
  EXPECT_TRUE(Mentions(verdict.excused, "repeated block refused"));

  c.plc.refuseRepeatedBlock = false;
  const SoakRun acknowledged = RunSoakCase(c);
  EXPECT_EQ(acknowledged.result.message, kComSuccess);
  EXPECT_TRUE(acknowledged.record.violations.empty());
}

// The excuse is only for an acknowledgement the tool could not take: a tool
// that sends a block again after its intact 0x06 is at fault.
TEST(SoakJudgeChecks, ABlockSentAgainAfterAnIntactAcknowledgementIsWrong) {
  const SoakCase c = Case("KR2-E", PlcMode::kLoader, 5000);
  const ModelRules& rules = ModelAt(c.model);
  SoakRun run;
  PlcSimulator plc(c.plc);
  {
    auto link = OpenSimLink(plc);
    StatusBoard status;
    CancelToken cancel;
    const Dialogue d{*link, status, cancel};
    DummyComm(d, rules);
    ASSERT_EQ(ConfirmComm(d, rules), AppStatus::kLoaderMode);
    ASSERT_EQ(CheckID_B(d, rules), LoaderStatus::kDone);
    ASSERT_EQ(SendErase_B(d, rules, c.imageSize), LoaderStatus::kDone);
    ASSERT_EQ(SendUpdate(d), LoaderStatus::kDone);
    // Block 1, three times, each acknowledged or refused as the loader likes.
    std::vector<uint8_t> packet = {0x02, 0x01, 0xFE};
    const auto image = SoakImage(128);
    packet.insert(packet.end(), image.begin(), image.end());
    const uint32_t crc = CRC(image.data(), 128);
    packet.push_back(static_cast<uint8_t>(crc >> 8));
    packet.push_back(static_cast<uint8_t>(crc));
    for (int i = 0; i < 3; ++i) {
      ASSERT_EQ(link->Write(packet.data(), packet.size()), packet.size());
      uint8_t reply = 0;
      link->Read(&reply, 1);
    }
  }
  run.record = plc.record();
  ASSERT_FALSE(run.record.violations.empty());
  run.result = Ended(BurnOutcome::kFailed, "ERROR", kTransferFailed, BurnPhase::kProgramming);
  run.boundNanos = SoakBoundNanos(c);
  EXPECT_TRUE(Mentions(JudgeSoakRun(c, run).problems, "violation"));
}

// Two late replies in a row to a register read leave the tool a reply
// behind: it takes the first register's value for the second's and refuses
// a PLC of the right model. Nothing in a register's reply says which
// register it is; the judge excuses that end, and only after two in a row.
TEST(SoakJudgeChecks, TwoLateRepliesInARowAreTheProtocolsLimitOneIsNot) {
  for (uint32_t times : {1u, 2u}) {
    SoakCase c = Case("KR2-PW2-V4", PlcMode::kApplication, 5000,
                      {{FaultKind::kLate, PlcRequest::kReadD1386, 1, times}});
    c.plc.lateReplyMs = 4000;
    const SoakRun run = RunSoakCase(c);
    const SoakVerdict verdict = JudgeSoakRun(c, run);
    EXPECT_TRUE(verdict.problems.empty()) << times << ": " << verdict.problems.front();
    if (times == 1) {
      EXPECT_EQ(run.result.message, kComSuccess);
      EXPECT_TRUE(verdict.excused.empty());
    } else {
      EXPECT_EQ(run.result.message, "KR2-PW2 V2.xx / V3.xx CAN NOT upgrade to V4.xx ");
      EXPECT_TRUE(Mentions(verdict.excused, "two late replies in a row"));
    }
  }
}

TEST(SoakBound, AnUpdatePastItsBoundIsStoppedAndJudgedWrong) {
  const SoakCase c = Case("GL30", PlcMode::kApplication, 9000);
  const SoakRun run = RunSoakCase(c, 1000000000);  // 1 s: less than the replug pass takes
  EXPECT_TRUE(run.boundExceeded);
  EXPECT_EQ(run.result.outcome, BurnOutcome::kCancelled);
  EXPECT_TRUE(Mentions(JudgeSoakRun(c, run).problems, "bound"));
}

// A PLC that never answers uses every attempt of the first exchange, within
// the bound; the bound grows with the exchanges the image takes.
TEST(SoakBound, ASilentPlcEndsWellWithinTheBound) {
  const SoakCase c = Case("KR2-E", PlcMode::kApplication, 5000,
                          {{FaultKind::kSilence, PlcRequest::kUnknown, 0, 1}});
  const SoakRun run = RunSoakCase(c);
  EXPECT_EQ(run.result.message, kNoResponse1);
  EXPECT_FALSE(run.boundExceeded);
  EXPECT_LT(run.simulatedNanos, run.boundNanos);
  EXPECT_LT(SoakBoundNanos(c), SoakBoundNanos(Case("KR2-E", PlcMode::kApplication, 50000)));
}

}  // namespace
