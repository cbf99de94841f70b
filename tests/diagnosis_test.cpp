// SPDX-License-Identifier: MIT
// What a failed burn says beyond its box: whole burns against the simulated
// PLC, each failure read back through the diagnosis an operator sees.
#include "burn/diagnosis.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "burn/messages.h"
#include "support/burn_fixture.h"

namespace {

using ::testing::HasSubstr;
using ::testing::IsEmpty;

class Diagnosed : public BurnTest {
 protected:
  Diagnosis Explained() const { return Diagnose(result, *rules, port); }
};

TEST_F(Diagnosed, ASuccessNeedsNoExplanation) {
  Prepare("KR2-E", TestSizeFor("KR2-E"));
  RunBurn();
  ASSERT_EQ(result.outcome, BurnOutcome::kSucceeded);
  const Diagnosis diagnosis = Explained();
  EXPECT_THAT(diagnosis.reason, IsEmpty());
  EXPECT_THAT(diagnosis.hint, IsEmpty());
  EXPECT_FALSE(diagnosis.reportedCode);
}

// A PLC of another model answers clearly: its code and the models it
// belongs to are named, whichever firmware it runs. The box keeps its text.
struct WrongPlc {
  const char* chosen;
  PlcMode mode;
  uint16_t reported;
  const char* message;  // the box, as before
  const char* names;    // the models the code belongs to
  const char* hint;
};

class WrongModel : public Diagnosed, public ::testing::WithParamInterface<WrongPlc> {};

TEST_P(WrongModel, TheReportedCodeAndItsModelsAreNamed) {
  const WrongPlc& c = GetParam();
  Prepare(c.chosen, TestSizeFor(c.chosen));
  settings.startMode = c.mode;
  (c.mode == PlcMode::kLoader ? settings.loaderId : settings.applicationId) = c.reported;
  RunBurn();
  EXPECT_EQ(result.message, c.message);
  const Diagnosis diagnosis = Explained();
  ASSERT_TRUE(diagnosis.reportedCode);
  EXPECT_EQ(*diagnosis.reportedCode, c.reported);
  EXPECT_THAT(diagnosis.reason, HasSubstr(c.names)) << diagnosis.reason;
  EXPECT_THAT(diagnosis.reason, HasSubstr(std::string(c.chosen) + " has ")) << diagnosis.reason;
  EXPECT_THAT(diagnosis.hint, HasSubstr(c.hint)) << diagnosis.hint;
}

INSTANTIATE_TEST_SUITE_P(
    Plcs, WrongModel,
    ::testing::Values(WrongPlc{"KR2-E", PlcMode::kApplication, 0x0013, "NO RESPONSE @ State 2",
                               "the code of FQ2 or FQ32", "--model FQ2"},
                      WrongPlc{"GL30", PlcMode::kApplication, 0x3010, "NO RESPONSE @ State 2",
                               "the code of GL20, GL20-AIO or GL20-TO-GL30", "--model GL20"},
                      WrongPlc{"MU", PlcMode::kLoader, 0x3000, "PLC type is WRONG",
                               "the code of GL30", "--model GL30"},
                      WrongPlc{"KR2-E", PlcMode::kApplication, 0x7777, "NO RESPONSE @ State 2",
                               "which no model in the table has", "no model this tool updates"}));

// A PLC that never answers: what was sent, how often, and what to check;
// the checklist fits the kind of link.
class Silent : public Diagnosed, public ::testing::WithParamInterface<const char*> {};

TEST_P(Silent, SaysWhatWentUnansweredHowOftenAndWhatToCheck) {
  Prepare(GetParam(), TestSizeFor(GetParam()));
  settings.faults.push_back({FaultKind::kSilence, PlcRequest::kUnknown, 0, 1});
  RunBurn();
  EXPECT_EQ(result.message, "NO RESPONSE @ State 1");
  const Diagnosis diagnosis = Explained();
  EXPECT_THAT(diagnosis.reason, HasSubstr("the communication check (ConfirmComm)"));
  EXPECT_THAT(diagnosis.reason, HasSubstr(":00640159014"));
  EXPECT_THAT(diagnosis.reason, HasSubstr("was sent 6 times, and no byte came back"));
  const bool usb = rules->link == LinkKind::kUsb;
  EXPECT_THAT(diagnosis.hint, HasSubstr(usb ? "USB cable" : "9600 baud 7E1")) << diagnosis.hint;
  EXPECT_THAT(diagnosis.hint, HasSubstr("STOP, not RUN"));
}

INSTANTIATE_TEST_SUITE_P(Links, Silent, ::testing::Values("KR2-E", "GL30"));

TEST_F(Diagnosed, RepliesThatNeverPassPointAtTheLine) {
  Prepare("KR2-E", TestSizeFor("KR2-E"));
  settings.faults.push_back({FaultKind::kGarbleLrc, PlcRequest::kCommCheck, 0, 1});
  RunBurn();
  const Diagnosis diagnosis = Explained();
  EXPECT_THAT(diagnosis.reason,
              HasSubstr("answered the communication check (ConfirmComm) in 6 of 6"));
  EXPECT_THAT(diagnosis.reason, HasSubstr("(19 bytes)"));
  EXPECT_THAT(diagnosis.hint, HasSubstr("the line"));
}

TEST_F(Diagnosed, AFlashWriteErrorIsTheLoadersOwnWord) {
  Prepare("KR2-E", TestSizeFor("KR2-E"));
  settings.faults.push_back({FaultKind::kFlashWriteError, PlcRequest::kBlock, 3, 1});
  RunBurn();
  EXPECT_EQ(result.message, MessageText(BurnMessage::kFlashWriteError));
  EXPECT_THAT(Explained().reason, HasSubstr("flash write error (0x16)"));
}

// Every reason a port does not open has its own words and its own remedy.
struct Refusal {
  OpenFailure failure;
  const char* reason;
  const char* hint;
};

class PortRefused : public Diagnosed, public ::testing::WithParamInterface<Refusal> {};

TEST_P(PortRefused, SaysWhyAndWhatToDo) {
  Prepare("KR2-E", TestSizeFor("KR2-E"), "/dev/ttyUSB3");
  RunBurn(false);
  result.openFailure = GetParam().failure;
  result.openDetail = "held by minicom (pid 4242)";
  EXPECT_EQ(result.outcome, BurnOutcome::kLinkNotOpened);
  const Diagnosis diagnosis = Explained();
  EXPECT_THAT(diagnosis.reason, HasSubstr(GetParam().reason));
  EXPECT_THAT(diagnosis.reason, HasSubstr("minicom (pid 4242)"));
  EXPECT_THAT(diagnosis.hint, HasSubstr(GetParam().hint));
}

INSTANTIATE_TEST_SUITE_P(
    Reasons, PortRefused,
    ::testing::Values(
        Refusal{OpenFailure::kMissing, "/dev/ttyUSB3 does not exist", "--list-ports"},
        Refusal{OpenFailure::kPermissionDenied, "You may not open /dev/ttyUSB3", "dialout"},
        Refusal{OpenFailure::kBusy, "/dev/ttyUSB3 is in use by another program", "Close"},
        Refusal{OpenFailure::kNotASerialPort, "/dev/ttyUSB3 is not a serial port", "--list-ports"},
        Refusal{OpenFailure::kNoDevice, "No USB PLC was found", "Plug in"}));

// The reason the burn gives for a port that did not open is the one its
// environment reported.
TEST_F(Diagnosed, TheBurnKeepsTheReasonItsLinkGaveForNotOpening) {
  Prepare("KR2-E", TestSizeFor("KR2-E"));
  plc = std::make_unique<PlcSimulator>(settings);
  env = std::make_unique<RecordingEnvironment>(plc.get(), port);
  env->FailOpens(1, OpenFailure::kPermissionDenied);
  result = StartBurn({*rules, *source, *env, *env, cancel, false});
  EXPECT_EQ(result.outcome, BurnOutcome::kLinkNotOpened);
  EXPECT_EQ(result.openFailure, OpenFailure::kPermissionDenied);
  EXPECT_EQ(result.openDetail, "held by a test");
}

TEST(ShowBytes, TextStaysTextAndBinaryBecomesHexCutShort) {
  const std::vector<uint8_t> frame = {':', '0', '1', '\r', '\n'};
  EXPECT_EQ(ShowBytes(frame), "\":01\\r\\n\"");
  std::vector<uint8_t> block(261, 0xA5);
  block[0] = 0x02;
  const std::string shown = ShowBytes(block);
  EXPECT_EQ(shown.rfind("02 A5 A5", 0), 0u);
  EXPECT_THAT(shown, HasSubstr("... (261 bytes)"));
  EXPECT_EQ(ShowBytes({}), "nothing");
}

}  // namespace
