// SPDX-License-Identifier: MIT
// Whole burns against the in-process simulated PLC, with an environment
// that records every box, button, timer, sleep and link call in order.
#include "burn/burn.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "burn/messages.h"
#include "catalogue/model_table.h"
#include "support/burn_fixture.h"

namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

// --- Every model, from application mode to success ----------------------------

class EveryModelBurn : public BurnTest, public ::testing::WithParamInterface<int> {};

TEST_P(EveryModelBurn, UpdatesFromApplicationMode) {
  const std::string name(ModelName(GetParam()));
  Prepare(name, TestSizeFor(name));
  RunBurn();

  const bool usb = IsUsbModel(name);
  const std::string open = usb ? "open USB" : "open COM3";
  std::vector<std::string> expected = {"button off", open};
  switch (ReconnectRuleOf(name)) {
    case ReconnectRule::kR1:
      expected.insert(
          expected.end(),
          {"prompt: Please REPLUG the USB Cable, and then press OK to continue", "sleep 2", open});
      break;
    case ReconnectRule::kR2:
      expected.insert(
          expected.end(),
          {"prompt: Please REPLUG the USB Cable, and then press OK to continue", "sleep 5", open});
      break;
    case ReconnectRule::kR3:
      expected.insert(
          expected.end(),
          {"prompt: Please POWER OFF=>ON the PLC, and then press OK to continue", "sleep 2", open});
      break;
    case ReconnectRule::kR4: expected.push_back("sleep 1"); break;
  }
  expected.push_back("timer stop");
  expected.push_back(
      usb ? "Information: Firmware update is SUCCESSFUL!, please REPLUG the USB cable"
          : "INFORMATION: Firmware update is SUCCESSFUL");
  expected.push_back("button on");
  EXPECT_THAT(env->events, ElementsAreArray(expected));

  EXPECT_THAT(plc->record().violations, IsEmpty());
  EXPECT_TRUE(plc->record().updateComplete);
  EXPECT_EQ(plc->record().flash, ExpectedFlash());
  ExpectCleanEnd();
  ASSERT_EQ(env->results.size(), 1u);
  EXPECT_EQ(env->results[0].outcome, BurnOutcome::kSucceeded);
  EXPECT_EQ(result.outcome, BurnOutcome::kSucceeded);
  EXPECT_EQ(result.phase, BurnPhase::kProgramming);
}

INSTANTIATE_TEST_SUITE_P(Models, EveryModelBurn, ::testing::Range(0, kModelCount),
                         [](const auto& info) {
                           std::string name(ModelName(info.param));
                           for (char& c : name) c = c == '-' ? '_' : c;
                           return name;
                         });

// --- Phase 2 straight away, and passes ------------------------------------------

TEST_F(BurnTest, PlcAlreadyInItsLoaderGoesStraightToPhaseTwo) {
  Prepare("KR2-PW2-V2", 5000);
  settings.startMode = PlcMode::kLoader;
  RunBurn();
  EXPECT_THAT(env->events, ElementsAre("button off", "open COM3", "timer stop",
                                       "INFORMATION: Firmware update is SUCCESSFUL", "button on"));
  EXPECT_EQ(CountOf(*plc, PlcRequest::kIdentityA), 0u);
  EXPECT_EQ(CountOf(*plc, PlcRequest::kReadD1386), 0u);
  EXPECT_EQ(CountOf(*plc, PlcRequest::kEraseA), 0u);
  EXPECT_TRUE(plc->record().updateComplete);
  ExpectCleanEnd();
}

TEST_F(BurnTest, PlcStillInApplicationModeAfterTheEraseGetsPhaseOneAgain) {
  Prepare("KR2-E", 5000);
  // The first confirmation goes unheard: the PLC keeps running its firmware.
  settings.faults.push_back({FaultKind::kSilence, PlcRequest::kConfirmA, 1, 1});
  RunBurn();
  EXPECT_THAT(env->events,
              ElementsAre("button off", "open COM3", "sleep 1", "sleep 1", "timer stop",
                          "INFORMATION: Firmware update is SUCCESSFUL", "button on"));
  EXPECT_EQ(CountOf(*plc, PlcRequest::kEraseA), 2u);
  EXPECT_TRUE(plc->record().updateComplete);
  ExpectCleanEnd();
}

// A PLC that takes the command to start its loader and goes on running its
// firmware is asked three times, then told about: never an endless round of
// erase requests (and prompts) with no word to the operator.
class NeverRestarting : public BurnTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(NeverRestarting, EndsAfterThreePassesOfPhaseOne) {
  Prepare(GetParam(), 5000);
  settings.staysInApplication = true;
  RunBurn();
  EXPECT_EQ(CountOf(*plc, PlcRequest::kEraseA), 3u);
  ASSERT_GE(env->events.size(), 3u);
  EXPECT_THAT(std::vector<std::string>(env->events.end() - 3, env->events.end()),
              ElementsAre("timer stop",
                          "ERROR: PLC DOES NOT restart into its loader (asked 3 times). RE-POWER "
                          "PLC and update FW again",
                          "button on"));
  const auto prompts =
      std::count_if(env->events.begin(), env->events.end(),
                    [](const std::string& e) { return e.rfind("prompt", 0) == 0; });
  EXPECT_EQ(prompts, ReconnectRuleOf(GetParam()) == ReconnectRule::kR4 ? 0 : 3);
  EXPECT_THAT(plc->record().violations, IsEmpty());
  ExpectCleanEnd();
}

// One that keeps the link, one asking for a replug, one for a power cycle.
INSTANTIATE_TEST_SUITE_P(Rules, NeverRestarting, ::testing::Values("KR2-E", "GL30", "PW2-CAR"),
                         [](const auto& info) {
                           std::string name = info.param;
                           for (char& c : name) c = c == '-' ? '_' : c;
                           return name;
                         });

// --- Size and link ---------------------------------------------------------------

TEST_F(BurnTest, ImageEqualToTheLimitIsAccepted) {
  Prepare("GL20-AIO", 40960);
  RunBurn();
  EXPECT_TRUE(plc->record().updateComplete);
  EXPECT_EQ(plc->record().flash, ExpectedFlash());
}

struct RefusedImage {
  const char* model;
  uint32_t size;
  const char* message;
};

constexpr char kNothingToWrite[] =
    "The image has NOTHING to write: 0 bytes would be sent to the PLC";
const std::string kDemoImage =
    "The image is the DEMO image, not firmware: it only updates a simulated PLC. To update a real "
    "PLC, build with -DMORVIX_FIRMWARE_IMAGE=<model>_<version>.bin (or give the command line "
    "--image FILE)";

class RefusedImages : public BurnTest, public ::testing::WithParamInterface<RefusedImage> {};

TEST_P(RefusedImages, EndBeforeAnyLinkIsOpened) {
  Prepare(GetParam().model, GetParam().size);
  RunBurn();
  EXPECT_THAT(env->events, ElementsAre("button off", "timer stop",
                                       std::string("ERROR: ") + GetParam().message, "button on"));
  EXPECT_EQ(plc->record().connections, 0u);
  ExpectCleanEnd();
  EXPECT_EQ(result.outcome, BurnOutcome::kImageRefused);
  EXPECT_EQ(result.message, GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Limits, RefusedImages,
    ::testing::Values(
        RefusedImage{"KR2-C-V2", 524289, "The file size EXCEEDS the MAXIMUM size (128 * 1024 * 4)"},
        RefusedImage{"MU24", 917505, "The file size EXCEEDS the MAXIMUM size (128 * 1024 * 7)"},
        RefusedImage{"36PW2-AIO", 12289, "The file size EXCEEDS the MAXIMUM size (4 * 1024)"},
        RefusedImage{"BZ3-AIO", 40961, "The file size EXCEEDS the MAXIMUM size (40 * 1024)"},
        RefusedImage{"GL30", 2076673, "The file size EXCEEDS the MAXIMUM size (2028 * 1024)"},
        RefusedImage{"HM2", 493569, "The file size EXCEEDS the MAXIMUM size (2 * 1024 * 240)"},
        RefusedImage{"GL30", 4095, "The file size is BELOW the MINIMUM size (4 * 1024)"},
        RefusedImage{"GL10", 0, "The file size is BELOW the MINIMUM size (4 * 1024)"},
        // Images that would erase the PLC and send it nothing.
        RefusedImage{"KR2-E", 0, kNothingToWrite}, RefusedImage{"MU", 0, kNothingToWrite},
        RefusedImage{"HM2", 0, kNothingToWrite}, RefusedImage{"36PW2-AIO", 0, kNothingToWrite},
        RefusedImage{"GL20-AIO", 0, kNothingToWrite}, RefusedImage{"GL30", 4096, kNothingToWrite}));

// The size is compared in full: a file of 4 GiB and 40,000 bytes is no
// 40,000-byte image.
TEST_F(BurnTest, ImageOf4GiBAndMoreIsRefusedByItsFullSize) {
  Prepare("KR2-E", 40000);
  UseImage(image, (uint64_t{1} << 32) + 40000);
  RunBurn();
  EXPECT_THAT(
      env->events,
      ElementsAre("button off", "timer stop",
                  "ERROR: The file size EXCEEDS the MAXIMUM size (128 * 1024 * 7)", "button on"));
  EXPECT_EQ(plc->record().connections, 0u);
}

// The demo image is not firmware: it goes only to a simulated PLC.
TEST_F(BurnTest, DemoImageIsRefusedUnlessTheFrontEndAllowsIt) {
  Prepare("GL30", 9077);
  const std::string banner = "MORVIX DEMO IMAGE - NOT FIRMWARE";
  std::copy(banner.begin(), banner.end(), image.begin());
  UseImage(image);
  RunBurn();
  EXPECT_THAT(env->events,
              ElementsAre("button off", "timer stop", "ERROR: " + kDemoImage, "button on"));
  EXPECT_EQ(plc->record().connections, 0u);

  demoImageAllowed = true;
  plc.reset();
  RunBurn();
  EXPECT_TRUE(plc->record().updateComplete);
  EXPECT_EQ(plc->record().flash, ExpectedFlash());
}

struct UnopenedLink {
  const char* model;
  const char* port;
  const char* open;
  const char* message;
};

class UnopenedLinks : public BurnTest, public ::testing::WithParamInterface<UnopenedLink> {};

TEST_P(UnopenedLinks, NameThePort) {
  Prepare(GetParam().model, 5000, GetParam().port);
  RunBurn(false);  // no PLC: the open fails
  EXPECT_THAT(env->events,
              ElementsAre("button off", std::string(GetParam().open) + " failed", "timer stop",
                          std::string("ERROR: ") + GetParam().message, "button on"));
  ExpectCleanEnd();
  EXPECT_EQ(result.outcome, BurnOutcome::kLinkNotOpened);
}

INSTANTIATE_TEST_SUITE_P(
    Ports, UnopenedLinks,
    ::testing::Values(UnopenedLink{"GL30", "COM3", "open USB", "CANNOT open USB Port!!!"},
                      UnopenedLink{"KR2-E", "COM3", "open COM3", "CANNOT open COM3 Port!!!"},
                      UnopenedLink{"KR2-E", "", "open ", "CANNOT open  Port!!!"},
                      UnopenedLink{"KR2-E", "/dev/ttyUSB0", "open /dev/ttyUSB0",
                                   "CANNOT open /dev/ttyUSB0 Port!!!"}));

TEST_F(BurnTest, ReopenFailingAfterTheReplugPromptEndsWithNoResponse) {
  Prepare("GL30", 5000);
  onPrompt = [this] { env->FailOpens(1); };
  RunBurn();
  EXPECT_THAT(
      env->events,
      ElementsAre("button off", "open USB",
                  "prompt: Please REPLUG the USB Cable, and then press OK to continue", "sleep 5",
                  "open USB failed", "timer stop", "ERROR: NO RESPONSE @ State 1", "button on"));
  ExpectCleanEnd();
}

TEST_F(BurnTest, PowerCycleReopensThePortChosenMeanwhile) {
  Prepare("PW2-CAR", 5000, "COM3");
  onPrompt = [this] { env->ChoosePort("COM4"); };
  RunBurn();
  EXPECT_THAT(env->events,
              ElementsAre("button off", "open COM3",
                          "prompt: Please POWER OFF=>ON the PLC, and then press OK to continue",
                          "sleep 2", "open COM4", "timer stop",
                          "INFORMATION: Firmware update is SUCCESSFUL", "button on"));
}

// --- Application-mode failures -----------------------------------------------------

struct StepFailure {
  const char* model;
  PlcFault fault;
  const char* message;
};

class ApplicationStepFailures : public BurnTest,
                                public ::testing::WithParamInterface<StepFailure> {};

TEST_P(ApplicationStepFailures, ShowTheStateMessageAfterStoppingTheTimer) {
  Prepare(GetParam().model, 5000);
  settings.faults.push_back(GetParam().fault);
  RunBurn();
  EXPECT_THAT(
      env->events,
      ElementsAre("button off", GetParam().model == std::string("GL30") ? "open USB" : "open COM3",
                  "timer stop", std::string("ERROR: ") + GetParam().message, "button on"));
  EXPECT_EQ(plc->mode(), PlcMode::kApplication);
  ExpectCleanEnd();
}

PlcFault Refuse(PlcRequest request, uint8_t refusalClass, uint8_t detail) {
  return {FaultKind::kRefuse, request, 0, 1, refusalClass, detail};
}
PlcFault Silence(PlcRequest request) { return {FaultKind::kSilence, request, 0, 1}; }

INSTANTIATE_TEST_SUITE_P(
    Codes, ApplicationStepFailures,
    ::testing::Values(
        // The communication check (State 1): 0x11, 0x12, 0x15, 0x16, 0x17, 0x18.
        StepFailure{"KR2-E", Refuse(PlcRequest::kCommCheck, 2, 1), "PLC type is WRONG"},
        StepFailure{"KR2-E", Refuse(PlcRequest::kCommCheck, 2, 2), "PLC type is WRONG"},
        StepFailure{"KR2-E", Refuse(PlcRequest::kCommCheck, 2, 3), "PLC type is WRONG"},
        StepFailure{"KR2-E", Refuse(PlcRequest::kCommCheck, 1, 0), "PLC in RUN MODE"},
        StepFailure{"KR2-E", Refuse(PlcRequest::kCommCheck, 3, 0), "UNKNOWN ERROR CODE @ State 1"},
        StepFailure{"GL30", Silence(PlcRequest::kCommCheck), "NO RESPONSE @ State 1"},
        // The identity check (State 2): 0x12, 0x13, 0x15, 0x17, 0x18.
        StepFailure{"KR2-E", Refuse(PlcRequest::kIdentityA, 2, 2), "PLC type is WRONG"},
        StepFailure{"KR2-E", Refuse(PlcRequest::kIdentityA, 2, 3), "PLC type is WRONG"},
        StepFailure{"KR2-E", Refuse(PlcRequest::kIdentityA, 2, 1), "PLC type is WRONG"},
        StepFailure{"KR2-E", Refuse(PlcRequest::kIdentityA, 1, 0), "UNKNOWN ERROR CODE @ State 2"},
        StepFailure{"GL30", Silence(PlcRequest::kIdentityA), "NO RESPONSE @ State 2"},
        // The erase request (State 3): 0x13, 0x14, 0x15, 0x17, 0x18.
        StepFailure{"KR2-E", Refuse(PlcRequest::kEraseA, 2, 3), "PLC type is WRONG"},
        StepFailure{"KR2-E", Refuse(PlcRequest::kEraseA, 2, 4), "PLC type is WRONG"},
        StepFailure{"KR2-E", Refuse(PlcRequest::kEraseA, 2, 2), "PLC type is WRONG"},
        StepFailure{"KR2-E", Refuse(PlcRequest::kEraseA, 1, 0), "UNKNOWN ERROR CODE @ State 3"},
        StepFailure{"GL30", Silence(PlcRequest::kEraseA), "NO RESPONSE @ State 3"}));

TEST(StateMessages, EveryLowFourBitValue) {
  const char* const state1[16] = {"UNKNOWN MESSAGE",      "PLC type is WRONG",
                                  "PLC type is WRONG",    "UNKNOWN MESSAGE",
                                  "UNKNOWN MESSAGE",      "PLC type is WRONG",
                                  "PLC in RUN MODE",      "UNKNOWN ERROR CODE @ State 1",
                                  "NO RESPONSE @ State 1"};
  for (int code = 0x10; code <= 0xFF; ++code) {
    const int low = code & 0x0F;
    const std::string expected1 = low < 9 ? state1[low] : "UNKNOWN MESSAGE";
    EXPECT_EQ(StateMessage(1, static_cast<AppStatus>(code)), expected1) << code;
    const bool wrong2 = low == 2 || low == 3 || low == 5;
    const bool wrong3 = low == 3 || low == 4 || low == 5;
    for (int state : {2, 3}) {
      const std::string suffix = " @ State " + std::to_string(state);
      const bool wrong = state == 2 ? wrong2 : wrong3;
      const std::string expected = wrong      ? "PLC type is WRONG"
                                   : low == 7 ? "UNKNOWN ERROR CODE" + suffix
                                   : low == 8 ? "NO RESPONSE" + suffix
                                              : "UNKNOWN MESSAGE" + suffix;
      EXPECT_EQ(StateMessage(state, static_cast<AppStatus>(code)), expected)
          << state << " " << code;
    }
  }
}

// --- Model compatibility --------------------------------------------------------

struct VariantCase {
  const char* model;
  uint16_t d1386, d1001, d1148;
  const char* refusal;  // nullptr: the burn goes on
};

class Compatibility : public BurnTest, public ::testing::WithParamInterface<VariantCase> {};

TEST_P(Compatibility, RegistersDecideTheVariant) {
  const VariantCase& c = GetParam();
  Prepare(c.model, 5000);
  settings.d1386 = c.d1386;
  settings.d1001 = c.d1001;
  settings.d1148 = c.d1148;
  RunBurn();
  if (c.refusal == nullptr) {
    EXPECT_TRUE(plc->record().updateComplete);
    return;
  }
  EXPECT_THAT(env->events,
              ElementsAre("button off", IsUsbModel(c.model) ? "open USB" : "open COM3",
                          "timer stop", std::string("ERROR: ") + c.refusal, "button on"));
  EXPECT_EQ(CountOf(*plc, PlcRequest::kEraseA), 0u);  // never told to restart
  ExpectCleanEnd();
}

INSTANTIATE_TEST_SUITE_P(
    Table, Compatibility,
    ::testing::Values(
        VariantCase{"KR2-PW2-V2", 0x4138, 0x0030, 0, "Check PLC, KR2-PW2 is different than KR2-C"},
        VariantCase{"KR2-PW2-V4", 0x4137, 0x0040, 0, "Check PLC, KR2-PW2 is different than KR2-C"},
        VariantCase{"KR2-C-V4", 0x4137, 0x0040, 0, nullptr},
        VariantCase{"KR2-C-V2", 0x4138, 0x0F40, 0,
                    "KR2-C V4.xx CAN NOT downgrade to V2.xx / V3.xx "},
        VariantCase{"KR2-C-V2", 0x4138, 0x0030, 0, nullptr},
        VariantCase{"KR2-C-V4", 0x4138, 0x003F, 0, "KR2-C V2.xx / V3.xx CAN NOT upgrade to V4.xx "},
        VariantCase{"KR2-C-V2", 0x1234, 0x003F, 0,
                    "KR2-PW2 V2.xx / V3.xx CAN NOT upgrade to V4.xx "},
        VariantCase{"KR2-C-V4", 0x0000, 0x0050, 0,
                    "KR2-PW2 V4.xx CAN NOT downgrade to V2.xx / V3.xx "},
        VariantCase{"KR2-PW2-V2", 0x0000, 0x0140, 0,
                    "KR2-PW2 V4.xx CAN NOT downgrade to V2.xx / V3.xx "},
        VariantCase{"KR2-PW2-V4", 0x0000, 0x0140, 0, nullptr},
        VariantCase{"KR2-PW2-V4", 0x0000, 0x0030, 0,
                    "KR2-PW2 V2.xx / V3.xx CAN NOT upgrade to V4.xx "},
        VariantCase{"FQ2", 0, 0, 1, "Check PLC, 14FQ2 is different than 32FQ2"},
        VariantCase{"FQ32", 0, 0, 0, "Check PLC, 32FQ2 is different than 14FQ2"},
        VariantCase{"MU", 0, 0, 0x8000, "Check PLC, 14MU is different than 24MU"},
        VariantCase{"MU24", 0, 0, 0, "Check PLC, 24MU is different than 14MU"},
        VariantCase{"BZ-V3", 0, 0x0040, 0, "BZ V4.xx CAN NOT downgrade to V3.xx "},
        VariantCase{"BZ-V4", 0, 0x000F, 0, "BZ V3.xx CAN NOT upgrade to V4.xx "},
        VariantCase{"VOK-KR2-V2", 0, 0x00F0, 0,
                    "VOK-KR2 V4.xx CAN NOT downgrade to V2.xx / V3.xx "},
        VariantCase{"VOK-KR2-V4", 0, 0xFF3F, 0,
                    "VOK-KR2 V2.xx / V3.xx CAN NOT upgrade to V4.xx "}));

TEST_F(BurnTest, KR2PW2RefusedOnD1386AloneNeverReadsD1001) {
  Prepare("KR2-PW2-V2", 5000);
  settings.d1386 = 0x4137;
  RunBurn();
  EXPECT_EQ(CountOf(*plc, PlcRequest::kReadD1386), 1u);
  EXPECT_EQ(CountOf(*plc, PlcRequest::kReadD1001), 0u);
}

// A register read that got no valid reply says nothing about the variant;
// read as 0 it would pass a 32FQ2 for a 14FQ2. The burn ends before the
// erase request, whether the PLC kept silent or refused the read.
struct UnansweredRegister {
  const char* model;
  PlcRequest request;
  bool refused;  // an exception reply rather than silence
};

void PrintTo(const UnansweredRegister& c, std::ostream* os) {
  *os << c.model << " " << PlcRequestName(c.request) << (c.refused ? " refused" : " silent");
}

class UnansweredRegisters : public BurnTest,
                            public ::testing::WithParamInterface<UnansweredRegister> {};

TEST_P(UnansweredRegisters, EndTheBurnBeforeAnyErase) {
  const UnansweredRegister& c = GetParam();
  Prepare(c.model, 5000);
  settings.faults.push_back(c.refused ? Refuse(c.request, 0, 0x02) : Silence(c.request));
  RunBurn();
  EXPECT_THAT(env->events, ElementsAre("button off", IsUsbModel(c.model) ? "open USB" : "open COM3",
                                       "timer stop", "ERROR: NO RESPONSE @ State 2", "button on"));
  EXPECT_EQ(CountOf(*plc, c.request), 6u);
  EXPECT_EQ(CountOf(*plc, PlcRequest::kEraseA), 0u);
  EXPECT_FALSE(plc->record().updateComplete);
  ExpectCleanEnd();
}

INSTANTIATE_TEST_SUITE_P(EachRegister, UnansweredRegisters, ::testing::ValuesIn([] {
                           std::vector<UnansweredRegister> cases;
                           for (bool refused : {false, true}) {
                             cases.push_back({"FQ32", PlcRequest::kReadD1148, refused});
                             cases.push_back({"MU", PlcRequest::kReadD1148, refused});
                             cases.push_back({"KR2-C-V2", PlcRequest::kReadD1386, refused});
                             cases.push_back({"KR2-PW2-V4", PlcRequest::kReadD1001, refused});
                             cases.push_back({"BZ-V3", PlcRequest::kReadD1001, refused});
                             cases.push_back({"VOK-KR2-V4", PlcRequest::kReadD1001, refused});
                           }
                           return cases;
                         }()),
                         [](const auto& info) {
                           std::string name = std::string(info.param.model) + "_" +
                                              std::string(PlcRequestName(info.param.request)) +
                                              (info.param.refused ? "_Refused" : "_Silent");
                           for (char& ch : name) ch = ch == '-' ? '_' : ch;
                           return name;
                         });

// --- Loader version -----------------------------------------------------------------

struct VersionCase {
  const char* model;
  bool phaseTwo;        // met in the loader (VERSION) rather than before the erase
  uint8_t version;      // GL_fu_version the PLC reports
  const char* refusal;  // nullptr: accepted
};

class LoaderVersions : public BurnTest, public ::testing::WithParamInterface<VersionCase> {};

TEST_P(LoaderVersions, RefusalShowsItsBoxBeforeTheTimerStops) {
  const VersionCase& c = GetParam();
  Prepare(c.model, 5000);
  if (c.phaseTwo) {
    settings.startMode = PlcMode::kLoader;
    settings.loaderVersion[0] = static_cast<uint8_t>(c.version >> 4);
    settings.loaderVersion[1] = static_cast<uint8_t>(c.version << 4);
  } else {
    settings.applicationVersion = c.version;
  }
  RunBurn();
  if (c.refusal == nullptr) {
    EXPECT_TRUE(plc->record().updateComplete);
    return;
  }
  EXPECT_THAT(env->events, ElementsAre("button off", "open USB", std::string("ERROR: ") + c.refusal,
                                       "timer stop", "button on"));
  EXPECT_EQ(CountOf(*plc, c.phaseTwo ? PlcRequest::kErase : PlcRequest::kEraseA), 0u);
  ExpectCleanEnd();
}

constexpr char kV09[] = "The bootloader version is V0.9, do not support AIO FW update";
constexpr char kV10[] = "The bootloader version is V1.0, do not support AIO FW update";
constexpr char kUnknown[] = "The bootloader version is unknown, do not support AIO FW update";

INSTANTIATE_TEST_SUITE_P(
    Table, LoaderVersions,
    ::testing::Values(
        VersionCase{"GL20-AIO", false, 0x10, nullptr},
        VersionCase{"GL20-AIO", false, 0x0F, kUnknown}, VersionCase{"GL20-AIO", false, 0x09, kV09},
        VersionCase{"BZ3-AIO", false, 0x09, kV09}, VersionCase{"PW3-AIO", false, 0x12, nullptr},
        VersionCase{"PW3-AIO", false, 0x11, kUnknown}, VersionCase{"PW3-AIO", false, 0x10, kV10},
        VersionCase{"GL30", false, 0x00, nullptr}, VersionCase{"GL20-AIO", true, 0x10, nullptr},
        VersionCase{"GL20-AIO", true, 0x09, kV09}, VersionCase{"BZ3-AIO", true, 0x0F, kUnknown},
        VersionCase{"PW3-AIO", true, 0x10, kV10}, VersionCase{"PW3-AIO", true, 0x11, kUnknown},
        VersionCase{"PW3-AIO", true, 0x12, nullptr}, VersionCase{"KR3-PW3", true, 0x00, nullptr}));

TEST_F(BurnTest, UnansweredVersionQueryBeforeTheEraseIsAnUnknownVersion) {
  Prepare("GL20-AIO", 5000);
  settings.faults.push_back(Silence(PlcRequest::kVersionA));
  RunBurn();
  EXPECT_THAT(env->events, ElementsAre("button off", "open USB", std::string("ERROR: ") + kUnknown,
                                       "timer stop", "button on"));
}

// --- Loader failures ---------------------------------------------------------------

struct LoaderFailure {
  const char* model;
  PlcFault fault;
  const char* message;
};

class LoaderFailures : public BurnTest, public ::testing::WithParamInterface<LoaderFailure> {};

TEST_P(LoaderFailures, ShowTheOperationsMessage) {
  Prepare(GetParam().model, 5000);
  settings.startMode = PlcMode::kLoader;
  settings.faults.push_back(GetParam().fault);
  RunBurn();
  EXPECT_THAT(env->events,
              ElementsAre("button off", IsUsbModel(GetParam().model) ? "open USB" : "open COM3",
                          "timer stop", std::string("ERROR: ") + GetParam().message, "button on"));
  EXPECT_FALSE(plc->record().updateComplete);
  ExpectCleanEnd();
}

INSTANTIATE_TEST_SUITE_P(
    Operations, LoaderFailures,
    ::testing::Values(
        LoaderFailure{"KR2-E", Silence(PlcRequest::kId), "PLC type is WRONG"},
        LoaderFailure{"GL30", Silence(PlcRequest::kVersion),
                      "PLC DOES NOT respond to the version read"},
        LoaderFailure{"GL30",
                      {FaultKind::kSilence, PlcRequest::kErase, 1, 1},
                      "PLC DOES NOT respond to the erasing signal"},
        LoaderFailure{"KR2-E", Silence(PlcRequest::kEraseEnd),
                      "PLC DOES NOT respond to the erasing signal"},
        LoaderFailure{"KR2-E", Silence(PlcRequest::kUpdate),
                      "PLC DOES NOT respond to the update signal"},
        LoaderFailure{
            "KR2-E", {FaultKind::kSilence, PlcRequest::kBlock, 2, 6}, "Firmware update is FAILED"},
        LoaderFailure{"KR2-E", Silence(PlcRequest::kTransferEnd), "Firmware update is FAILED"},
        LoaderFailure{"GL30",
                      {FaultKind::kFlashWriteError, PlcRequest::kBlock, 3, 1},
                      "Flash write error, maybe due to flash write protection. RE-POWER PLC and "
                      "update FW again"}));

// The reply to an early block comes late, after the tool's read has given
// up on it; later the loader reports a flash-write error. Whatever the loader
// does with a block it is sent twice and however late the reply, the burn
// ends with the flash-write error; without an error, with the image in the
// flash.
struct LateReplyCase {
  const char* model;    // GL30 sends 256-byte blocks (B2), KR2-E 128-byte ones (B3)
  bool refuseRepeated;  // the loader refuses a block it has written already
  uint32_t lateMs;      // 3100: while the tool still listens; 4000: after that too
  enum { kNoError, kMiddleBlock, kLastBlock } error;
};

void PrintTo(const LateReplyCase& c, std::ostream* os) {
  static const char* const kErrors[] = {"no error", "error on a middle block",
                                        "error on the last block"};
  *os << c.model << (c.refuseRepeated ? ", repeats refused" : ", repeats acknowledged")
      << ", late by " << c.lateMs << " ms, " << kErrors[c.error];
}

class LateReplies : public BurnTest, public ::testing::WithParamInterface<LateReplyCase> {};

TEST_P(LateReplies, NeverTurnAFlashWriteErrorIntoSuccess) {
  const LateReplyCase& c = GetParam();
  Prepare(c.model, TestSizeFor(c.model));
  settings.startMode = PlcMode::kLoader;
  settings.refuseRepeatedBlock = c.refuseRepeated;
  settings.lateReplyMs = c.lateMs;
  settings.faults.push_back({FaultKind::kLate, PlcRequest::kBlock, 2, 1});
  const uint32_t blocks = BlockPlanOf(c.model, static_cast<uint32_t>(image.size())).blocks;
  if (c.error != LateReplyCase::kNoError) {
    const uint32_t block = c.error == LateReplyCase::kLastBlock ? blocks : blocks / 2;
    settings.faults.push_back({FaultKind::kFlashWriteError, PlcRequest::kBlock, block, 1});
  }
  RunBurn();
  ASSERT_GE(env->events.size(), 2u);
  const std::string& last = env->events.end()[-2];
  if (c.error == LateReplyCase::kNoError) {
    EXPECT_EQ(last, IsUsbModel(c.model)
                        ? "Information: Firmware update is SUCCESSFUL!, please REPLUG the USB cable"
                        : "INFORMATION: Firmware update is SUCCESSFUL");
    EXPECT_TRUE(plc->record().updateComplete);
    EXPECT_EQ(plc->record().flash, ExpectedFlash());
  } else {
    EXPECT_EQ(last,
              "ERROR: Flash write error, maybe due to flash write protection. RE-POWER PLC and "
              "update FW again");
    EXPECT_FALSE(plc->record().updateComplete);
  }
  EXPECT_THAT(plc->record().violations, IsEmpty()) << Violations(*plc);
  ExpectCleanEnd();
}

std::vector<LateReplyCase> LateReplyCases() {
  std::vector<LateReplyCase> cases;
  for (const char* model : {"GL30", "KR2-E"}) {
    for (bool refuse : {false, true}) {
      for (uint32_t late : {3100u, 4000u}) {
        for (auto error :
             {LateReplyCase::kNoError, LateReplyCase::kMiddleBlock, LateReplyCase::kLastBlock}) {
          cases.push_back({model, refuse, late, error});
        }
      }
    }
  }
  return cases;
}

std::string LateReplyName(const ::testing::TestParamInfo<LateReplyCase>& info) {
  static const char* const kErrors[] = {"NoError", "MiddleBlockFails", "LastBlockFails"};
  std::string name = std::string(info.param.model) +
                     (info.param.refuseRepeated ? "_RepeatRefused_" : "_RepeatAcked_") +
                     std::to_string(info.param.lateMs) + "ms_" + kErrors[info.param.error];
  std::replace(name.begin(), name.end(), '-', '_');
  return name;
}

INSTANTIATE_TEST_SUITE_P(EarlyBlock, LateReplies, ::testing::ValuesIn(LateReplyCases()),
                         LateReplyName);

// On a wire with real byte times, a reply late enough to miss its listening
// arrives while the retry's own reply is on its way, the two back to back.
// The retry must read its reply from its first byte, and the second reply
// must not be taken for the next request's. One late reply (two for the
// wake-up frames) at any step, whether the loader acknowledges a repeated
// block or refuses it: the update succeeds in step, with the image in the
// flash.
struct PacedLateCase {
  const char* model;
  PlcMode start;
  PlcFault late;
  bool refuseRepeated;
};

void PrintTo(const PacedLateCase& c, std::ostream* os) {
  *os << c.model << ", late " << PlcRequestName(c.late.request) << "@" << c.late.nth << "x"
      << c.late.times << (c.refuseRepeated ? ", repeats refused" : "");
}

class PacedLateReply : public BurnTest, public ::testing::WithParamInterface<PacedLateCase> {};

TEST_P(PacedLateReply, LeavesTheUpdateInStep) {
  const PacedLateCase& c = GetParam();
  Prepare(c.model, TestSizeFor(c.model));
  settings.startMode = c.start;
  settings.pacing = true;
  settings.lateReplyMs = 4000;
  settings.refuseRepeatedBlock = c.refuseRepeated;
  settings.faults.push_back(c.late);
  RunBurn();
  EXPECT_EQ(result.outcome, BurnOutcome::kSucceeded) << result.message;
  EXPECT_THAT(plc->record().violations, IsEmpty()) << Violations(*plc);
  EXPECT_TRUE(plc->record().updateComplete);
  EXPECT_EQ(plc->record().flash, ExpectedFlash());
}

std::vector<PacedLateCase> PacedLateCases() {
  auto late = [](PlcRequest request, uint32_t nth, uint32_t times = 1) {
    return PlcFault{FaultKind::kLate, request, nth, times};
  };
  constexpr auto kApp = PlcMode::kApplication;
  constexpr auto kLoader = PlcMode::kLoader;
  std::vector<PacedLateCase> cases = {
      {"KR2-PW2-V4", kApp, late(PlcRequest::kWakeUp, 3, 2), false},
      {"KR2-PW2-V4", kApp, late(PlcRequest::kCommCheck, 1), false},
      {"KR2-PW2-V4", kApp, late(PlcRequest::kIdentityA, 1), false},
      {"KR2-PW2-V4", kApp, late(PlcRequest::kReadD1386, 1), false},
      {"KR2-PW2-V4", kApp, late(PlcRequest::kReadD1001, 1), false},
      {"KR2-PW2-V4", kApp, late(PlcRequest::kEraseA, 1), false},
      {"GL20-AIO", kApp, late(PlcRequest::kVersionA, 1), false},
      {"KR3-PACKAGE", kLoader, late(PlcRequest::kWakeUp, 3, 2), false},
      {"KR2-E", kLoader, late(PlcRequest::kCommCheck, 1), false},
      {"KR2-E", kLoader, late(PlcRequest::kId, 1), false},
      {"GL20-AIO", kLoader, late(PlcRequest::kVersion, 1), false},
      {"KR2-E", kLoader, late(PlcRequest::kErase, 1), false},
      {"KR2-E", kLoader, late(PlcRequest::kEraseEnd, 1), false},
      {"KR2-E", kLoader, late(PlcRequest::kUpdate, 1), false},
      {"KR2-E", kLoader, late(PlcRequest::kTransferEnd, 1), false},
  };
  for (const char* model : {"KR2-E", "GL30"}) {
    for (bool refuse : {false, true}) {
      cases.push_back({model, kLoader, late(PlcRequest::kBlock, 5), refuse});
    }
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(EachStep, PacedLateReply, ::testing::ValuesIn(PacedLateCases()),
                         [](const auto& info) {
                           const PacedLateCase& c = info.param;
                           std::string name = std::string(c.model) + "_" +
                                              std::string(PlcRequestName(c.late.request)) +
                                              (c.refuseRepeated ? "_RepeatRefused" : "");
                           std::replace(name.begin(), name.end(), '-', '_');
                           return name;
                         });

// --- Cancellation ----------------------------------------------------------------

// A stop requested in any phase ends the burn between two exchanges: no box,
// the status at rest, the button back, the link closed, and the simulated
// PLC never saw half a request.
struct CancelCase {
  const char* name;
  const char* model;
  PlcMode startMode;
  BurnPhase phase;  // where the stop is requested, and where the result says it hit
};

void PrintTo(const CancelCase& c, std::ostream* os) { *os << c.name; }

class Cancellation : public BurnTest, public ::testing::WithParamInterface<CancelCase> {};

bool Begins(std::span<const uint8_t> request, std::string_view text) {
  return request.size() >= text.size() && std::equal(text.begin(), text.end(), request.begin());
}

TEST_P(Cancellation, EndsWithoutABoxAndClosesTheLink) {
  const CancelCase& c = GetParam();
  Prepare(c.model, TestSizeFor(c.model));
  settings.startMode = c.startMode;
  plc = std::make_unique<PlcSimulator>(settings);
  env = std::make_unique<RecordingEnvironment>(plc.get(), port);
  switch (c.phase) {
    case BurnPhase::kPhase1:
      env->onWrite = [this](std::span<const uint8_t> r) {
        if (Begins(r, ":0064015949")) cancel.Request();  // the identity query
      };
      break;
    case BurnPhase::kReconnecting:
      env->onPrompt = [this] { cancel.Request(); };
      env->onSleep = [this] { cancel.Request(); };
      break;
    case BurnPhase::kPhase2:
      env->onWrite = [this](std::span<const uint8_t> r) {
        if (Begins(r, "ID")) cancel.Request();
      };
      break;
    default:
      env->onStatus = [this, c](const BurnStatus& s) {
        const int32_t phase = c.phase == BurnPhase::kErasing ? kErasing : kProgramming;
        if (s.flashStatus == phase && s.progress >= 20) cancel.Request();
      };
  }
  result = StartBurn({*rules, *source, *env, *env, cancel, demoImageAllowed});

  EXPECT_EQ(result.outcome, BurnOutcome::kCancelled);
  EXPECT_EQ(result.phase, c.phase);
  EXPECT_EQ(result.message, "");
  ASSERT_GE(env->events.size(), 2u);
  EXPECT_THAT(std::vector<std::string>(env->events.end() - 2, env->events.end()),
              ElementsAre("timer stop", "button on"));
  for (const std::string& event : env->events) {
    EXPECT_EQ(event.find("ERROR"), std::string::npos) << event;
    EXPECT_EQ(event.find("SUCCESSFUL"), std::string::npos) << event;
  }
  ExpectCleanEnd();
  EXPECT_FALSE(plc->record().updateComplete);
  EXPECT_THAT(plc->record().violations, IsEmpty()) << Violations(*plc);
}

INSTANTIATE_TEST_SUITE_P(
    EachPhase, Cancellation,
    ::testing::Values(
        CancelCase{"Phase1", "KR2-E", PlcMode::kApplication, BurnPhase::kPhase1},
        CancelCase{"AtTheReplugPrompt", "GL30", PlcMode::kApplication, BurnPhase::kReconnecting},
        CancelCase{"InTheWaitOfALinkKept", "KR2-E", PlcMode::kApplication,
                   BurnPhase::kReconnecting},
        CancelCase{"Phase2Checks", "GL30", PlcMode::kLoader, BurnPhase::kPhase2},
        CancelCase{"Erasing", "HM2", PlcMode::kLoader, BurnPhase::kErasing},
        CancelCase{"Programming", "KR2-E", PlcMode::kLoader, BurnPhase::kProgramming}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(BurnTest, RefusedLoaderIdentityIsTheWrongPlcType) {
  Prepare("VOK-KR2-V2", 5000);
  settings.startMode = PlcMode::kLoader;
  settings.loaderId = 0xA001;  // L3 wants 0x2001
  RunBurn();
  EXPECT_EQ(env->events.at(3), "ERROR: PLC type is WRONG");
}

}  // namespace
