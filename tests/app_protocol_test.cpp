// SPDX-License-Identifier: MIT
#include "link/app_protocol.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <functional>
#include <string>

#include "support/protocol_test.h"

namespace {

using Kind = ScriptedLink::Call::Kind;

std::string Text(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

// --- Request frames ---------------------------------------------------------

struct FrameCase {
  const char* name;
  std::function<void(const Dialogue&, const ModelRules&)> operation;
  const char* nonAio;
  const char* aio;
};

class RequestFrames : public ProtocolTest, public ::testing::WithParamInterface<FrameCase> {};

TEST_P(RequestFrames, ByteExactForAioAndOtherModels) {
  for (const char* model : {"KR2-E", "36PW2-AIO"}) {
    SelectByName(model);
    ScriptedLink fresh;
    GetParam().operation(On(fresh), Model());
    const auto requests = fresh.Requests();
    ASSERT_FALSE(requests.empty());
    const std::string expected =
        std::string(IsAioModel(model) ? GetParam().aio : GetParam().nonAio) + "\r\n";
    EXPECT_EQ(Text(requests.front()), expected) << model;
  }
}

using Op = const Dialogue&;
using Rules = const ModelRules&;

INSTANTIATE_TEST_SUITE_P(
    AllRequests, RequestFrames,
    ::testing::Values(FrameCase{"DummyComm", [](Op d, Rules m) { DummyComm(d, m); }, ":007F81",
                                ":007F81"},
                      FrameCase{"ConfirmComm", [](Op d, Rules m) { ConfirmComm(d, m); },
                                ":006401590141", ":0064015B013F"},
                      FrameCase{"CheckID_A", [](Op d, Rules m) { CheckID_A(d, m); },
                                ":006401594944B5", ":0064015B4944B3"},
                      FrameCase{"READ_D1386", [](Op d, Rules) { READ_D1386(d); }, ":0003156A00017D",
                                ":0003156A00017D"},
                      FrameCase{"READ_D1001", [](Op d, Rules) { READ_D1001(d); }, ":000313E9000100",
                                ":000313E9000100"},
                      FrameCase{"READ_D1148", [](Op d, Rules) { READ_D1148(d); }, ":0003147C00016C",
                                ":0003147C00016C"},
                      // The version query keeps sub-code 0x59 for the AIO models too.
                      FrameCase{"read_fu_version_A", [](Op d, Rules) { read_fu_version_A(d); },
                                ":00640159053D", ":00640159053D"},
                      FrameCase{"SendErase_A", [](Op d, Rules m) { SendErase_A(d, m); },
                                ":006401594552415345D2", ":0064015B4552415345D0"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ProtocolTest, EraseConfirmationFramesByAioMembership) {
  for (const char* model : {"KR2-E", "GL20-AIO"}) {
    SelectByName(model);
    ScriptedLink fresh;
    fresh.QueueArrival(Reply64(0x06));
    EXPECT_EQ(Code(SendErase_A(On(fresh), Model())), 0x00);
    const auto requests = fresh.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(Text(requests[1]), IsAioModel(model) ? ":0064015B063A\r\n" : ":00640159063C\r\n");
  }
}

// --- CheckLRC ----------------------------------------------------------------

TEST(CheckLRC, ValidFrameSumsToZeroAndIsConvertedInPlace) {
  uint8_t text[] = "0064015905061225";  // 0x25 is the LRC of 00 64 01 59 05 06 12
  EXPECT_EQ(CheckLRC(text, 16), 0);
  const uint8_t bytes[] = {0x00, 0x64, 0x01, 0x59, 0x05, 0x06, 0x12, 0x25};
  EXPECT_EQ(std::memcmp(text, bytes, 8), 0);
}

TEST(CheckLRC, WrongSumIsNonZero) {
  uint8_t text[] = "0064015905061226";  // a sum of 1 reads like a bad character: invalid
  EXPECT_EQ(CheckLRC(text, 16), 0x01);
  uint8_t other[] = "0064015905061200";
  EXPECT_EQ(CheckLRC(other, 16), 0xDB);
}

TEST(CheckLRC, LowerCaseDigitsAreInvalid) {
  uint8_t text[] = "00640159050612d5";
  EXPECT_EQ(CheckLRC(text, 16), 1);
}

TEST(CheckLRC, BadCharacterMidFrameStopsAfterConvertingThePairsBefore) {
  uint8_t text[] = "0064G15905061225";
  EXPECT_EQ(CheckLRC(text, 16), 1);
  EXPECT_EQ(text[0], 0x00);
  EXPECT_EQ(text[1], 0x64);
  EXPECT_EQ(text[2], '6');  // the rest is as received
  EXPECT_EQ(text[4], 'G');
}

TEST(CheckLRC, RegisterReplyLengthAndZeroCount) {
  const uint8_t message[] = {0x00, 0x03, 0x02, 0x12, 0x34};
  Bytes frame = ModbusAsciiFrame(message);
  uint8_t* text = frame.data() + 1;
  EXPECT_EQ(CheckLRC(text, 12), 0);
  EXPECT_EQ(CheckLRC(text, 0), 0);
}

// --- Retry budget ------------------------------------------------------------

TEST_F(ProtocolTest, SixWriteFailuresEndWithoutARead) {
  for (int i = 0; i < 6; ++i) link.QueueShortWrite(3);
  EXPECT_EQ(Code(ConfirmComm(dialogue, Model())), kNoRefusal);
  EXPECT_EQ(link.CountOf(Kind::kWrite), 6u);
  EXPECT_EQ(link.CountOf(Kind::kRead), 0u);
  EXPECT_EQ(errCounter(), 6);
  EXPECT_EQ(totalErrCounter(), 6);
}

TEST_F(ProtocolTest, ElevenAttemptsAtMostFiveWriteAndSixReadFailures) {
  // Alternate: write failure, then a silent read, five times; then one more silent read.
  for (int i = 0; i < 5; ++i) {
    link.QueueShortWrite(0);
    link.QueueShortWrite(17);  // the whole identity query
  }
  EXPECT_EQ(Code(CheckID_A(dialogue, Model())), kNoRefusal);
  EXPECT_EQ(link.CountOf(Kind::kWrite), 11u);
  EXPECT_EQ(link.CountOf(Kind::kRead), 6u);
  EXPECT_EQ(errCounter(), 6);
  EXPECT_EQ(totalErrCounter(), 11);
}

TEST_F(ProtocolTest, ErrCounterShowsWriteFailuresThenFallsBackToReadFailures) {
  // A silent read, two failed writes, then a good write and reply.
  link.QueueShortWrite(17);
  link.QueueShortWrite(0);
  link.QueueShortWrite(0);
  int responses = 0;
  int32_t seenAtGoodWrite = -1;
  link.SetResponder([&](const Bytes&) {
    if (++responses == 1) return Bytes{};
    seenAtGoodWrite = errCounter();
    return Reply64(0x06, 0x30, 0x00);
  });
  EXPECT_EQ(Code(CheckID_A(dialogue, Model())), 0x00);
  EXPECT_EQ(seenAtGoodWrite, 2);  // the write-failure count, until the read starts
  EXPECT_EQ(errCounter(), 1);     // back to the read-failure count for the read
  EXPECT_EQ(totalErrCounter(), 3);
}

TEST_F(ProtocolTest, TotalErrCounterAddsUpAcrossOperations) {
  link.QueueArrival(Bytes{});
  link.QueueArrival(Reply64(0x05));
  EXPECT_EQ(Code(ConfirmComm(dialogue, Model())), kApplicationMode);
  EXPECT_EQ(errCounter(), 0);  // ConfirmComm clears it on success
  link.QueueArrival(Bytes{});
  link.QueueArrival(Bytes{});
  link.QueueArrival(RegisterReply(0x1234));
  EXPECT_EQ(READ_D1001(dialogue), 0x1234);
  EXPECT_EQ(errCounter(), 2);  // register reads leave it at the read-failure count
  EXPECT_EQ(totalErrCounter(), 3);
}

TEST_F(ProtocolTest, OneByteShortReplyIsAReadFailureAndTheWholeRequestGoesAgain) {
  Bytes shortReply = Reply64(0x05);
  shortReply.pop_back();
  link.QueueArrival(shortReply);
  link.QueueArrival(Reply64(0x05));
  EXPECT_EQ(Code(ConfirmComm(dialogue, Model())), kApplicationMode);
  const auto requests = link.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0], requests[1]);
  EXPECT_EQ(Text(requests[1]), ":006401590141\r\n");
  EXPECT_EQ(totalErrCounter(), 1);
}

TEST_F(ProtocolTest, LateReplyStaysInTheInputForTheNextRead) {
  link.QueueArrival(Bytes{});
  link.QueueArrival(Reply64(0x05));
  link.QueueArrival(Reply64(0x06));  // arrives with the second read, read by the third op
  EXPECT_EQ(Code(ConfirmComm(dialogue, Model())), kApplicationMode);
  EXPECT_EQ(Code(ConfirmComm(dialogue, Model())), kLoaderMode);
}

// --- Exhaustion results ------------------------------------------------------

struct RefusalCase {
  uint8_t refusalClass;
  uint8_t detail;
  uint8_t confirmComm;
  uint8_t checkId;
  uint8_t sendErase;
};

class ExhaustionResults : public ProtocolTest, public ::testing::WithParamInterface<RefusalCase> {
 protected:
  void RefuseEveryRequest() {
    link.SetResponder([refusal = GetParam()](const Bytes&) {
      return Reply64(0x15, refusal.refusalClass, refusal.detail);
    });
  }
};

TEST_P(ExhaustionResults, ConfirmComm) {
  RefuseEveryRequest();
  EXPECT_EQ(Code(ConfirmComm(dialogue, Model())), GetParam().confirmComm);
  EXPECT_EQ(link.CountOf(Kind::kWrite), 6u);  // a refusal is a read failure: six tries
  EXPECT_EQ(errCounter(), 6);
}

TEST_P(ExhaustionResults, CheckID_A) {
  RefuseEveryRequest();
  EXPECT_EQ(Code(CheckID_A(dialogue, Model())), GetParam().checkId);
  EXPECT_EQ(link.CountOf(Kind::kWrite), 6u);
}

TEST_P(ExhaustionResults, SendErase_A) {
  RefuseEveryRequest();
  EXPECT_EQ(Code(SendErase_A(dialogue, Model())), GetParam().sendErase);
  EXPECT_EQ(link.CountOf(Kind::kWrite), 6u);  // never a confirmation
}

INSTANTIATE_TEST_SUITE_P(RefusalTable, ExhaustionResults,
                         ::testing::Values(RefusalCase{0x01, 0x00, 0x16, 0x17, 0x17},
                                           RefusalCase{0x01, 0x07, 0x16, 0x17, 0x17},
                                           RefusalCase{0x02, 0x01, 0x11, 0x15, 0x15},
                                           RefusalCase{0x02, 0x02, 0x12, 0x12, 0x15},
                                           RefusalCase{0x02, 0x03, 0x15, 0x13, 0x13},
                                           RefusalCase{0x02, 0x04, 0x15, 0x15, 0x14},
                                           RefusalCase{0x02, 0x05, 0x15, 0x15, 0x15},
                                           RefusalCase{0x02, 0x00, 0x15, 0x15, 0x15},
                                           RefusalCase{0x03, 0x01, 0x17, 0x17, 0x17},
                                           RefusalCase{0x00, 0x02, 0x17, 0x17, 0x17}));

TEST_F(ProtocolTest, RefusalWithWrongLrcStillNamesTheRefusal) {
  Bytes refusal = Reply64(0x15, 0x02, 0x02);
  refusal[16] = refusal[16] == '0' ? '1' : '0';  // spoil the LRC digits
  link.SetResponder([&](const Bytes&) { return refusal; });
  EXPECT_EQ(Code(ConfirmComm(dialogue, Model())), 0x12);
}

TEST_F(ProtocolTest, ShortLastReplyIsNoRefusal) {
  for (int i = 0; i < 5; ++i) link.QueueArrival(Reply64(0x15, 0x02, 0x01));
  Bytes truncated = Reply64(0x15, 0x02, 0x01);
  truncated.resize(10);
  link.QueueArrival(truncated);
  EXPECT_EQ(Code(ConfirmComm(dialogue, Model())), kNoRefusal);
}

TEST_F(ProtocolTest, WriteFailureAfterARefusalKeepsTheRefusalInTheBuffer) {
  for (int i = 0; i < 5; ++i) link.QueueArrival(Reply64(0x15, 0x02, 0x03));
  for (int i = 0; i < 5; ++i) link.QueueShortWrite(17);
  for (int i = 0; i < 6; ++i) link.QueueShortWrite(0);
  EXPECT_EQ(Code(CheckID_A(dialogue, Model())), 0x13);
  EXPECT_EQ(link.CountOf(Kind::kRead), 5u);
}

TEST_F(ProtocolTest, SilenceIsNoRefusalAfterSixReads) {
  EXPECT_EQ(Code(CheckID_A(dialogue, Model())), kNoRefusal);
  EXPECT_EQ(link.CountOf(Kind::kRead), 6u);
  EXPECT_EQ(errCounter(), 6);
  EXPECT_EQ(totalErrCounter(), 6);
}

TEST_F(ProtocolTest, InvalidLinkExhaustsConfirmCommWithNoRefusal) {
  auto invalid = MakeInvalidLink();
  DummyComm(On(*invalid), Model());
  EXPECT_EQ(totalErrCounter(), 0);
  EXPECT_EQ(Code(ConfirmComm(On(*invalid), Model())), kNoRefusal);
  EXPECT_EQ(errCounter(), 6);
  EXPECT_EQ(totalErrCounter(), 6);
}

// --- Individual operations ---------------------------------------------------

TEST_F(ProtocolTest, DummyCommSendsFiveWakeFramesThenDrainsWithoutCounting) {
  SelectByName("KR2-E");
  link.SetResponder([](const Bytes&) { return ToBytes(":007FFF01..\r\n"); });
  PresetCounters(3, 0);
  DummyComm(dialogue, Model());
  ASSERT_EQ(link.calls().size(), 2u + 5u * 2u + 5u);
  EXPECT_EQ(link.calls()[0].kind, Kind::kLineSettings);
  EXPECT_EQ(link.calls()[1].kind, Kind::kTimeouts);
  EXPECT_EQ(link.calls()[1].timeouts.readTotalMs, 200u);
  EXPECT_EQ(link.calls()[1].timeouts.writeTotalMs, 200u);
  for (size_t i = 2; i < link.calls().size(); ++i) {
    const auto& call = link.calls()[i];
    const bool burst = i < 12;
    EXPECT_EQ(call.kind, burst && i % 2 == 0 ? Kind::kWrite : Kind::kRead) << i;
    if (call.kind == Kind::kRead) {
      EXPECT_EQ(call.asked, 11u);
    }
  }
  EXPECT_EQ(errCounter(), 3);
  EXPECT_EQ(totalErrCounter(), 0);
}

TEST_F(ProtocolTest, LineSettingsOnlyForComModelsTimeoutsAlways) {
  for (const char* model : {"KR2-E", "GL30"}) {
    SelectByName(model);
    ScriptedLink fresh;
    fresh.SetResponder([](const Bytes&) { return Reply64(0x05); });
    DummyComm(On(fresh), Model());
    EXPECT_EQ(Code(ConfirmComm(On(fresh), Model())), kApplicationMode);
    const size_t expectedSettings = IsUsbModel(model) ? 0 : 2;
    EXPECT_EQ(fresh.CountOf(Kind::kLineSettings), expectedSettings) << model;
    EXPECT_EQ(fresh.CountOf(Kind::kTimeouts), 2u) << model;
    if (expectedSettings != 0) {
      const LineSettings line = *fresh.LastLineSettings();
      EXPECT_EQ(line.baudRate, 9600u);
      EXPECT_EQ(line.byteSize, 7);
      EXPECT_EQ(line.parity, 2);
      EXPECT_EQ(line.stopBits, 0);
    }
  }
}

TEST_F(ProtocolTest, ExchangeTimeoutsForEveryOperationButTheWakeBurst) {
  Code(CheckID_A(dialogue, Model()));
  READ_D1386(dialogue);
  Code(SendErase_A(dialogue, Model()));
  for (const auto& call : link.calls()) {
    if (call.kind != Kind::kTimeouts) continue;
    EXPECT_EQ(call.timeouts.readTotalMs, 3000u);
    EXPECT_EQ(call.timeouts.writeTotalMs, 3000u);
  }
  EXPECT_EQ(link.CountOf(Kind::kTimeouts), 3u);
}

TEST_F(ProtocolTest, ConfirmCommTellsApplicationFromLoaderAndRejectsOtherStatus) {
  link.QueueArrival(Reply64(0x06));
  EXPECT_EQ(Code(ConfirmComm(dialogue, Model())), kLoaderMode);
  ScriptedLink other;
  other.QueueArrival(Reply64(0x07));
  other.QueueArrival(Reply64(0x05));
  EXPECT_EQ(Code(ConfirmComm(On(other), Model())), kApplicationMode);
  EXPECT_EQ(other.CountOf(Kind::kWrite), 2u);
  EXPECT_EQ(errCounter(), 0);
}

TEST_F(ProtocolTest, ReplyWithOtherAddressAndFunctionPassesOnLrcAlone) {
  const uint8_t message[] = {0x01, 0x03, 0x7F, 0x00, 0x05, 0x00, 0x00};
  link.QueueArrival(ModbusAsciiFrame(message));
  EXPECT_EQ(Code(ConfirmComm(dialogue, Model())), kApplicationMode);
}

TEST_F(ProtocolTest, LowerCaseReplyIsRepeated) {
  Bytes lower = Reply64(0x06, 0x30, 0x00);
  for (auto& c : lower) c = static_cast<uint8_t>(std::tolower(c));
  link.QueueArrival(lower);
  link.QueueArrival(Reply64(0x06, 0x30, 0x00));
  EXPECT_EQ(Code(CheckID_A(dialogue, Model())), 0x00);
  EXPECT_EQ(link.CountOf(Kind::kWrite), 2u);
  EXPECT_EQ(errCounter(), 1);
}

struct IdentityCase {
  const char* model;
  uint16_t reported;
  bool accepted;
};

class ApplicationIdentity : public ProtocolTest,
                            public ::testing::WithParamInterface<IdentityCase> {};

TEST_P(ApplicationIdentity, AcceptedOrAskedAgain) {
  SelectByName(GetParam().model);
  link.SetResponder([](const Bytes&) {
    return Reply64(0x06, static_cast<uint8_t>(GetParam().reported >> 8),
                   static_cast<uint8_t>(GetParam().reported));
  });
  const uint8_t result = Code(CheckID_A(dialogue, Model()));
  if (GetParam().accepted) {
    EXPECT_EQ(result, 0x00);
    EXPECT_EQ(link.CountOf(Kind::kWrite), 1u);
  } else {
    EXPECT_EQ(result, kNoRefusal);
    EXPECT_EQ(link.CountOf(Kind::kWrite), 6u);
  }
}

INSTANTIATE_TEST_SUITE_P(Codes, ApplicationIdentity,
                         ::testing::Values(IdentityCase{"KR2-C-V2", 0x000C, true},
                                           IdentityCase{"KR2-PW2-V4", 0x000D, true},
                                           IdentityCase{"36PW2-AIO", 0x000D, true},
                                           IdentityCase{"36PW2-AIO", 0x000C, false},
                                           IdentityCase{"GL30", 0x3000, true},
                                           IdentityCase{"GL30", 0x3001, false},
                                           IdentityCase{"VOK-KR2-V2", 0x2001, false}));

// A register that reads 0 and one that never answered must not look alike:
// the variant check would take the silent 32FQ2 for a 14FQ2.
TEST_F(ProtocolTest, RegisterReadReturnsValueOrNothing) {
  link.QueueArrival(RegisterReply(0x4138));
  EXPECT_EQ(READ_D1386(dialogue), 0x4138);
  EXPECT_EQ(errCounter(), 0);
  link.QueueArrival(RegisterReply(0x0000));
  EXPECT_EQ(READ_D1148(dialogue), std::optional<uint16_t>(0));
  ScriptedLink silent;
  const Bytes exception = ToBytes(":0083027B\r\n");  // an exception reply is too short
  silent.SetResponder([&](const Bytes&) { return exception; });
  EXPECT_EQ(READ_D1148(On(silent)), std::nullopt);
  EXPECT_EQ(errCounter(), 6);
}

TEST_F(ProtocolTest, VersionQueryIgnoresStatusAndTheLineSettings) {
  link.QueueArrival(Reply64(0x23, 0x15, 0x01));
  SelectByName("PW3-AIO");
  EXPECT_EQ(read_fu_version_A(dialogue), 0x23);
  EXPECT_EQ(Text(link.Requests().at(0)), ":00640159053D\r\n");
  EXPECT_EQ(link.CountOf(Kind::kLineSettings), 0u);
}

TEST_F(ProtocolTest, VersionQueryWithoutReplyIsZero) {
  EXPECT_EQ(read_fu_version_A(dialogue), 0);
  EXPECT_EQ(errCounter(), 6);
}

// --- SendErase_A ------------------------------------------------------------

TEST_F(ProtocolTest, SendEraseSilentPlcOfRestartingModelSucceedsAtOnce) {
  for (const char* model : {"KR2-C-V2", "KR2-C-V4", "PW2-CAR"}) {
    SelectByName(model);
    ScriptedLink silent;
    PresetCounters(4, 0);
    EXPECT_EQ(Code(SendErase_A(On(silent), Model())), 0x00) << model;
    EXPECT_EQ(silent.CountOf(Kind::kWrite), 1u) << "no confirmation";
    EXPECT_EQ(errCounter(), 0);
  }
  EXPECT_EQ(totalErrCounter(), 0);
}

TEST_F(ProtocolTest, SendEraseWrongLrcOfRestartingModelIsRepeated) {
  SelectByName("KR2-C-V2");
  Bytes badLrc = Reply64(0x06);
  badLrc[16] = badLrc[16] == '0' ? '1' : '0';
  link.QueueArrival(badLrc);
  link.QueueArrival(Reply64(0x06));
  EXPECT_EQ(Code(SendErase_A(dialogue, Model())), 0x00);
  ASSERT_EQ(link.Requests().size(), 3u);  // request, request, confirmation
  EXPECT_EQ(totalErrCounter(), 1);
}

TEST_F(ProtocolTest, SendEraseSilentPlcOfOtherModelsEndsAfterSixReads) {
  SelectByName("GL30");
  EXPECT_EQ(Code(SendErase_A(dialogue, Model())), kNoRefusal);
  EXPECT_EQ(link.CountOf(Kind::kRead), 6u);
  EXPECT_EQ(errCounter(), 6);
}

TEST_F(ProtocolTest, SendEraseAcceptedSendsConfirmationAndReadsNothing) {
  link.QueueArrival(Bytes{});
  link.QueueArrival(Reply64(0x06));
  EXPECT_EQ(Code(SendErase_A(dialogue, Model())), 0x00);
  const auto requests = link.Requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(Text(requests[2]), ":00640159063C\r\n");
  EXPECT_EQ(link.CountOf(Kind::kRead), 2u);
  EXPECT_EQ(errCounter(), 0);
  EXPECT_EQ(totalErrCounter(), 1);
}

TEST_F(ProtocolTest, SendEraseConfirmationWriteFailureRestartsWithTheEraseRequest) {
  link.SetResponder([](const Bytes&) { return Reply64(0x06); });
  link.QueueShortWrite(23);  // erase request
  link.QueueShortWrite(7);   // confirmation cut short
  EXPECT_EQ(Code(SendErase_A(dialogue, Model())), 0x00);
  const auto requests = link.Requests();
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_EQ(Text(requests[0]), ":006401594552415345D2\r\n");
  EXPECT_EQ(Text(requests[1]), ":00640159063C\r\n");
  EXPECT_EQ(Text(requests[2]), ":006401594552415345D2\r\n");
  EXPECT_EQ(Text(requests[3]), ":00640159063C\r\n");
  EXPECT_EQ(totalErrCounter(), 1);
}

TEST_F(ProtocolTest, SendEraseConfirmationFailingSixTimesExhausts) {
  link.SetResponder([](const Bytes&) { return Reply64(0x06); });
  for (int i = 0; i < 6; ++i) {
    link.QueueShortWrite(23);
    link.QueueShortWrite(0);
  }
  EXPECT_EQ(Code(SendErase_A(dialogue, Model())),
            kNoRefusal);  // the buffer holds an acceptance, not a refusal
  EXPECT_EQ(link.Requests().size(), 12u);
  EXPECT_EQ(errCounter(), 6);
}

}  // namespace
