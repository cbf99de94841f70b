// SPDX-License-Identifier: MIT
// The tool's application-mode operations against the simulated PLC through
// the in-process link: the tool-side result of each application-mode fault,
// and the link's simulated time, with the line's character times that both
// transports pace by. Whole updates are in sim_burn_test.
#include "sim/sim_link.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "catalogue/model_table.h"
#include "link/app_protocol.h"
#include "link/exchange.h"
#include "sim/plc_sim.h"
#include "sim/wire.h"
#include "support/protocol_test.h"
#include "support/test_data.h"

namespace {

int Model(std::string_view name) {
  const auto index = FindModel(name);
  EXPECT_TRUE(index.has_value()) << name;
  return index.value_or(0);
}

class SimLinkTest : public ::testing::Test {
 protected:
  void TearDown() override { serial.reset(); }

  void Start(std::string_view model, PlcSettings settings) {
    serial.reset();  // the link must not outlive the PLC it talks to
    rules_ = &ModelAt(Model(model));
    plc = std::make_unique<PlcSimulator>(std::move(settings));
    serial = OpenSimLink(*plc);
    ASSERT_NE(serial, nullptr);
    // As the communication check that comes before every other request
    // leaves a serial line.
    serial->ApplyLineSettings(kApplicationLineSettings);
  }
  void Start(std::string_view model) { Start(model, DefaultPlcSettings(Model(model), 8192)); }
  void Start(std::string_view model, PlcFault fault) {
    PlcSettings s = DefaultPlcSettings(Model(model), 8192);
    s.faults.push_back(fault);
    Start(model, s);
  }
  Link& link() { return *serial; }
  Dialogue d() { return {*serial, status, cancel}; }
  const ModelRules& rules() const { return *rules_; }
  int32_t errCounter() const { return status.now().errCounter; }
  int32_t totalErrCounter() const { return status.now().totalErrCounter; }

  std::unique_ptr<PlcSimulator> plc;
  std::unique_ptr<Link> serial;
  StatusBoard status;
  CancelToken cancel;

 private:
  const ModelRules* rules_ = nullptr;
};

// --- What each application-mode fault does to the tool ----------------------

struct RefusalCase {
  PlcRequest request;
  uint8_t refusalClass;
  uint8_t detail;
  uint8_t expected;
};

class Refusals : public SimLinkTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(Refusals, ExhaustSixAttemptsAndNameTheRefusal) {
  const RefusalCase& c = GetParam();
  Start("KR2-E", {FaultKind::kRefuse, c.request, 0, 1, c.refusalClass, c.detail});
  uint8_t result = 0;
  switch (c.request) {
    case PlcRequest::kCommCheck: result = Code(ConfirmComm(d(), rules())); break;
    case PlcRequest::kIdentityA: result = Code(CheckID_A(d(), rules())); break;
    default: result = Code(SendErase_A(d(), rules())); break;
  }
  EXPECT_EQ(result, c.expected);
  EXPECT_EQ(CountOf(*plc, c.request), 6u);
  EXPECT_EQ(totalErrCounter(), 6);
  EXPECT_TRUE(plc->record().violations.empty()) << Violations(*plc);
}

INSTANTIATE_TEST_SUITE_P(ApplicationMode, Refusals,
                         ::testing::Values(RefusalCase{PlcRequest::kCommCheck, 0x01, 0x07, 0x16},
                                           RefusalCase{PlcRequest::kCommCheck, 0x02, 0x01, 0x11},
                                           RefusalCase{PlcRequest::kCommCheck, 0x02, 0x02, 0x12},
                                           RefusalCase{PlcRequest::kCommCheck, 0x03, 0x01, 0x17},
                                           RefusalCase{PlcRequest::kIdentityA, 0x02, 0x03, 0x13},
                                           RefusalCase{PlcRequest::kIdentityA, 0x01, 0x00, 0x17},
                                           RefusalCase{PlcRequest::kEraseA, 0x02, 0x04, 0x14},
                                           RefusalCase{PlcRequest::kEraseA, 0x02, 0x09, 0x15}));

TEST_F(SimLinkTest, SilentPlcEndsTheCheckAfterSixReadsOfThreeSecondsWithoutWaiting) {
  Start("KR2-E", {FaultKind::kSilence, PlcRequest::kUnknown, 0, 1});
  const auto start = std::chrono::steady_clock::now();
  DummyComm(d(), rules());
  EXPECT_EQ(Code(ConfirmComm(d(), rules())), kNoRefusal);
  // Ten wake-up reads of 200 ms, then six of 3000 ms, each followed by 200 ms
  // of listening for a late reply: simulated, not waited.
  EXPECT_EQ(plc->nowMicros, 10 * 200000ull + 6 * (3000000ull + 200000ull));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  EXPECT_EQ(errCounter(), 6);
}

struct DamageCase {
  const char* name;
  FaultKind kind;
  uint32_t times;
};

class DamagedReplies : public SimLinkTest, public ::testing::WithParamInterface<DamageCase> {};

// A damaged reply is a read failure: the request goes again and the next
// clean reply passes.
TEST_P(DamagedReplies, CostOneAttemptEach) {
  // FQ2-H reports 0xA003: its reply has a letter to put in lower case.
  Start("FQ2-H", {GetParam().kind, PlcRequest::kIdentityA, 1, GetParam().times});
  EXPECT_EQ(Code(CheckID_A(d(), rules())), 0x00);
  EXPECT_EQ(CountOf(*plc, PlcRequest::kIdentityA), GetParam().times + 1);
  EXPECT_EQ(totalErrCounter(), static_cast<int32_t>(GetParam().times));
}

INSTANTIATE_TEST_SUITE_P(ApplicationMode, DamagedReplies,
                         ::testing::Values(DamageCase{"GarbledLrc", FaultKind::kGarbleLrc, 1},
                                           DamageCase{"LowerCase", FaultKind::kLowerCase, 2},
                                           DamageCase{"ShortReply", FaultKind::kShortReply, 5}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SimLinkTest, SixDamagedRepliesExhaustTheIdentityCheck) {
  Start("KR2-E", {FaultKind::kGarbleLrc, PlcRequest::kIdentityA, 0, 1});
  EXPECT_EQ(Code(CheckID_A(d(), rules())), kNoRefusal);
}

TEST_F(SimLinkTest, RegisterRefusalReadsAsNoValue) {
  Start("FQ32", {FaultKind::kRefuse, PlcRequest::kReadD1148, 0, 1, 0, 0x02});
  EXPECT_EQ(READ_D1148(d()), std::nullopt);
  EXPECT_EQ(CountOf(*plc, PlcRequest::kReadD1148), 6u);
}

TEST_F(SimLinkTest, SilentVersionQueryReadsAsZero) {
  Start("PW3-AIO", {FaultKind::kSilence, PlcRequest::kVersionA, 0, 1});
  EXPECT_EQ(read_fu_version_A(d()), 0);
  EXPECT_NE(LoaderVersionRefusal("PW3-AIO", 0), nullptr);
}

TEST_F(SimLinkTest, R3ModelRestartsOnTheEraseRequestAndTheToolSendsNoConfirmation) {
  Start("PW2-CAR");
  EXPECT_EQ(Code(SendErase_A(d(), rules())), 0x00);
  EXPECT_EQ(CountOf(*plc, PlcRequest::kEraseA), 1u);
  EXPECT_EQ(CountOf(*plc, PlcRequest::kConfirmA), 0u);
  EXPECT_EQ(plc->mode(), PlcMode::kRestarting);
  EXPECT_EQ(errCounter(), 0);
}

// A model outside R3 whose PLC restarts without a reply: the tool keeps
// asking a PLC that no longer listens, and gives up with "no refusal".
TEST_F(SimLinkTest, SilentRestartOfAnotherModelEndsTheEraseWithNoResponse) {
  PlcSettings s = DefaultPlcSettings(Model("GL30"), 8192);
  s.eraseRestartsSilently = true;
  Start("GL30", s);
  EXPECT_EQ(Code(SendErase_A(d(), rules())), kNoRefusal);
  EXPECT_EQ(CountOf(*plc, PlcRequest::kEraseA), 6u);
  EXPECT_EQ(plc->record().violations.size(), 5u) << "every retry reached a restarting PLC";
}

// The read gives up at 3 s and the line is listened to for 200 ms more: a
// reply at 3.1 s is still this request's.
TEST_F(SimLinkTest, ReplyJustAfterTheTimeoutIsTakenWithoutSendingAgain) {
  PlcSettings s = DefaultPlcSettings(Model("KR2-E"), 8192);
  s.replyDelayMs = 3100;
  Start("KR2-E", s);
  EXPECT_EQ(Code(ConfirmComm(d(), rules())), kApplicationMode);
  EXPECT_EQ(totalErrCounter(), 0);
  EXPECT_EQ(CountOf(*plc, PlcRequest::kCommCheck), 1u);
}

TEST_F(SimLinkTest, ReplyLaterThanTheListeningIsMetByTheNextRead) {
  PlcSettings s = DefaultPlcSettings(Model("KR2-E"), 8192);
  s.replyDelayMs = 3500;
  Start("KR2-E", s);
  // First read gives up at 3 s, the line is quiet until 3.2 s; the first
  // reply lands at 3.5 s and is what the second attempt's read finds. The
  // line is then listened to until quiet for 200 ms, in case the second
  // attempt's own reply follows at once.
  EXPECT_EQ(Code(ConfirmComm(d(), rules())), kApplicationMode);
  EXPECT_EQ(totalErrCounter(), 1);
  EXPECT_EQ(CountOf(*plc, PlcRequest::kCommCheck), 2u);
  EXPECT_EQ(plc->nowMicros, 3700000u);
}

TEST_F(SimLinkTest, PacingTakesTheByteTimesOfTheLineInForce) {
  PlcSettings s = DefaultPlcSettings(Model("KR2-E"), 8192);
  s.pacing = true;
  Start("KR2-E", s);
  EXPECT_EQ(Code(ConfirmComm(d(), rules())), kApplicationMode);
  // 15 characters out and 19 back at 9600 7E1, 10 bits each: 35.4 ms.
  EXPECT_NEAR(static_cast<double>(plc->nowMicros.nanos), 34 * 10 * 1e9 / 9600, 1.0);
}

// Ten thousand exchanges later the clock is still the characters' exact
// time: a byte time rounded to the microsecond and multiplied would be
// 0.33 us a character late at 9600 baud, 113 ms in all.
TEST_F(SimLinkTest, PacedClockIsTheExactLineTimeAfterManyExchanges) {
  PlcSettings s = DefaultPlcSettings(Model("KR2-E"), 8192);
  s.pacing = true;
  Start("KR2-E", s);
  constexpr int kExchanges = 10000;
  for (int i = 0; i < kExchanges; ++i)
    ASSERT_EQ(Code(ConfirmComm(d(), rules())), kApplicationMode) << i;
  const double exact = kExchanges * 34 * 10 * 1e9 / 9600;
  EXPECT_NEAR(static_cast<double>(plc->nowMicros.nanos), exact, 10000.0);
}

TEST_F(SimLinkTest, RequestsAtTheWrongSpeedGoUnanswered) {
  Start("KR2-E");
  link().ApplyLineSettings(kLoaderLineSettings);
  EXPECT_EQ(Code(CheckID_A(d(), rules())), kNoRefusal);
  ASSERT_EQ(plc->record().violations.size(), 6u);
  EXPECT_NE(plc->record().violations[0].reason.find("115200 baud 8N1 while the PLC listens at "
                                                    "9600 baud 7E1"),
            std::string::npos)
      << Violations(*plc);
}

TEST_F(SimLinkTest, DisconnectMovesNothingUntilTheLinkIsOpenedAgain) {
  Start("GL30", {FaultKind::kDisconnect, PlcRequest::kIdentityA, 1, 1});
  EXPECT_EQ(Code(ConfirmComm(d(), rules())), kApplicationMode);
  EXPECT_EQ(Code(CheckID_A(d(), rules())), kNoRefusal);
  EXPECT_EQ(CountOf(*plc, PlcRequest::kIdentityA), 1u) << "only the first request got through";
  serial.reset();
  serial = OpenSimLink(*plc);
  ASSERT_NE(serial, nullptr);
  EXPECT_EQ(Code(CheckID_A(d(), rules())), 0x00);
  EXPECT_TRUE(plc->record().violations.empty()) << Violations(*plc);
}

TEST_F(SimLinkTest, LinkIsExclusiveLikeAPort) {
  Start("GL30");
  EXPECT_EQ(OpenSimLink(*plc), nullptr);
  serial.reset();
  EXPECT_NE(OpenSimLink(*plc), nullptr);
}

// --- The line's time -----------------------------------------------------------

struct LineCase {
  const char* name;
  LineSettings line;
  long double bitsPerCharacter;
  long double baud;
  friend void PrintTo(const LineCase& c, std::ostream* os) { *os << c.name; }
};

class CharacterTimes : public ::testing::TestWithParam<LineCase> {};

// Two million characters take their bits' exact time, rounded once, up, to
// the nanosecond: start bit, data bits, parity, stop bits.
TEST_P(CharacterTimes, AreTheExactBitTimeOfTheWholeRun) {
  constexpr uint64_t kCharacters = 2000000;
  const LineCase& c = GetParam();
  const long double exact = kCharacters * c.bitsPerCharacter * 1e9L / c.baud;
  const auto nanos = static_cast<long double>(WireNanos(c.line, kCharacters));
  EXPECT_GE(nanos, exact);
  EXPECT_LT(nanos, exact + 1);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, CharacterTimes,
    ::testing::Values(LineCase{"Application9600_7E1", kApplicationLineSettings, 10, 9600},
                      LineCase{"Loader115200_8N1", kLoaderLineSettings, 10, 115200},
                      LineCase{"Even8E2", {19200, 8, 2, 2}, 12, 19200},
                      LineCase{"OneAndAHalfStopBits", {57600, 8, 0, 1}, 10.5, 57600},
                      LineCase{"NeverSetIs9600", {0, 8, 0, 0}, 10, 9600}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Wire, CharactersSentOneByOneBackToBackAddUpExactly) {
  constexpr uint64_t kCharacters = 100000;
  Wire wire(true);
  uint64_t end = 0;
  for (uint64_t i = 0; i < kCharacters; ++i) end = wire.Send(end, 1, kLoaderLineSettings);
  EXPECT_EQ(end, WireNanos(kLoaderLineSettings, kCharacters));
  // What adding a rounded character time would have given: 44 us more.
  EXPECT_GT(kCharacters * WireNanos(kLoaderLineSettings, 1), end + 40000);
}

TEST(Wire, CharactersQueueBehindThoseOnTheLineAndAQuietLineStartsAfresh) {
  const uint64_t character = WireNanos(kApplicationLineSettings, 1);
  Wire wire(true);
  EXPECT_EQ(wire.Send(1000, 10, kApplicationLineSettings),
            1000 + WireNanos(kApplicationLineSettings, 10));
  // Sent while those are still on the line: right behind them.
  const uint64_t end = wire.Send(2000, 5, kApplicationLineSettings);
  EXPECT_EQ(end, 1000 + WireNanos(kApplicationLineSettings, 15));
  EXPECT_EQ(wire.ArrivalOf(0), 1000 + WireNanos(kApplicationLineSettings, 11));
  // After a quiet moment, from when they are sent.
  EXPECT_EQ(wire.Send(end + 7, 1, kApplicationLineSettings), end + 7 + character);
  // At another speed: behind what is still on the line, at the new speed.
  const uint64_t switched = wire.Send(end + 8, 2, kLoaderLineSettings);
  EXPECT_EQ(switched, end + 7 + character + WireNanos(kLoaderLineSettings, 2));
  EXPECT_EQ(wire.Send(switched + 5, 0, kLoaderLineSettings), switched + 5) << "nothing sent";
  wire.Clear();
  EXPECT_EQ(wire.Send(10, 1, kLoaderLineSettings), 10 + WireNanos(kLoaderLineSettings, 1));
}

TEST(Wire, UnpacedCharactersArriveAtOnceButNeverAheadOfEarlierOnes) {
  Wire wire(false);
  EXPECT_EQ(wire.Send(5000, 19, kApplicationLineSettings), 5000u);
  EXPECT_EQ(wire.ArrivalOf(18), 5000u);
  EXPECT_EQ(wire.Send(3000, 1, kApplicationLineSettings), 5000u);
  EXPECT_EQ(wire.Send(6000, 1, kApplicationLineSettings), 6000u);
}

}  // namespace
