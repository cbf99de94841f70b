// SPDX-License-Identifier: MIT
// morvix-plcsim's command line and its JSON record.
#include "sim/plcsim_options.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "catalogue/model_table.h"
#include "sim/sim_report.h"
#include "support/json_line.h"

namespace {

std::optional<PlcsimOptions> Parse(std::vector<std::string> args, std::string* error = nullptr) {
  std::string e;
  auto options = ParsePlcsimOptions(args, e);
  if (error != nullptr) *error = e;
  return options;
}

const std::vector<std::string> kBase = {"--link",   "/tmp/ttyPLC",  "--model",
                                        "GL20-AIO", "--image-size", "40960"};

std::vector<std::string> With(std::vector<std::string> extra) {
  std::vector<std::string> args = kBase;
  args.insert(args.end(), extra.begin(), extra.end());
  return args;
}

TEST(PlcsimOptions, EverySettingAndFaultReachesTheSimulator) {
  const auto o = Parse(With({"--start-mode",
                             "loader",
                             "--app-id",
                             "0x3011",
                             "--loader-id",
                             "12",
                             "--app-version",
                             "0x10",
                             "--loader-version",
                             "1,0x20",
                             "--d1386",
                             "0x4137",
                             "--d1001",
                             "0x40",
                             "--d1148",
                             "2",
                             "--no-wake-reply",
                             "--silent-erase",
                             "--no-speed-check",
                             "--pacing",
                             "--reply-delay",
                             "50",
                             "--bit-errors",
                             "1e-4",
                             "--seed",
                             "9",
                             "--silent",
                             "--silence",
                             "erase@3",
                             "--refuse",
                             "app-erase:2:4",
                             "--garble-lrc",
                             "check@2x3",
                             "--lower-case",
                             "app-id",
                             "--short-reply",
                             "id@1",
                             "--nak",
                             "block@5x3",
                             "--flash-error",
                             "block@7",
                             "--disconnect",
                             "final-eot",
                             "--report",
                             "r.json",
                             "--flash-out",
                             "f.bin",
                             "--exit-when-complete",
                             "--timeout",
                             "9",
                             "--verbose"}));
  ASSERT_TRUE(o.has_value());
  const PlcSettings& s = o->settings;
  EXPECT_EQ(s.model, *FindModel("GL20-AIO"));
  EXPECT_EQ(s.imageSize, 40960u);
  EXPECT_EQ(s.startMode, PlcMode::kLoader);
  EXPECT_EQ(s.applicationId, 0x3011);
  EXPECT_EQ(s.loaderId, 12);
  EXPECT_EQ(s.applicationVersion, 0x10);
  EXPECT_EQ(s.loaderVersion[0], 0x01);
  EXPECT_EQ(s.loaderVersion[1], 0x20);
  EXPECT_EQ(s.d1386, 0x4137);
  EXPECT_EQ(s.d1001, 0x40);
  EXPECT_EQ(s.d1148, 2);
  EXPECT_FALSE(s.answerWakeUp);
  EXPECT_TRUE(s.eraseRestartsSilently);
  EXPECT_FALSE(s.checkLineSpeed);
  EXPECT_TRUE(s.pacing);
  EXPECT_EQ(s.replyDelayMs, 50u);
  EXPECT_DOUBLE_EQ(s.bitErrorRate, 1e-4);
  EXPECT_EQ(s.bitErrorSeed, 9u);
  EXPECT_EQ(o->report, "r.json");
  EXPECT_EQ(o->flashOut, "f.bin");
  EXPECT_TRUE(o->exitWhenComplete);
  EXPECT_EQ(o->timeoutSeconds, 9u);
  EXPECT_TRUE(o->verbose);
  EXPECT_EQ(o->link, "/tmp/ttyPLC");

  struct Expected {
    FaultKind kind;
    PlcRequest request;
    uint32_t nth, times;
  };
  const Expected faults[] = {
      {FaultKind::kSilence, PlcRequest::kUnknown, 0, 1},
      {FaultKind::kSilence, PlcRequest::kErase, 3, 1},
      {FaultKind::kRefuse, PlcRequest::kEraseA, 0, 1},
      {FaultKind::kGarbleLrc, PlcRequest::kCommCheck, 2, 3},
      {FaultKind::kLowerCase, PlcRequest::kIdentityA, 0, 1},
      {FaultKind::kShortReply, PlcRequest::kId, 1, 1},
      {FaultKind::kNak, PlcRequest::kBlock, 5, 3},
      {FaultKind::kFlashWriteError, PlcRequest::kBlock, 7, 1},
      {FaultKind::kDisconnect, PlcRequest::kTransferEnd, 0, 1},
  };
  ASSERT_EQ(s.faults.size(), std::size(faults));
  for (size_t i = 0; i < s.faults.size(); ++i) {
    EXPECT_EQ(s.faults[i].kind, faults[i].kind) << i;
    EXPECT_EQ(s.faults[i].request, faults[i].request) << i;
    EXPECT_EQ(s.faults[i].nth, faults[i].nth) << i;
    EXPECT_EQ(s.faults[i].times, faults[i].times) << i;
  }
  EXPECT_EQ(s.faults[2].refusalClass, 2);
  EXPECT_EQ(s.faults[2].refusalDetail, 4);
}

TEST(PlcsimOptions, DefaultsComeFromTheModel) {
  const auto vok = Parse({"--link", "x", "--model", "VOK-KR2-V4", "--image-size", "1000"});
  ASSERT_TRUE(vok.has_value());
  EXPECT_EQ(vok->settings.applicationId, 0xA001);
  EXPECT_EQ(vok->settings.loaderId, 0x2001);
  EXPECT_EQ(vok->settings.d1001 & 0xF0, 0x40);
  EXPECT_FALSE(vok->settings.eraseRestartsSilently);
  EXPECT_TRUE(vok->settings.answerWakeUp);
  EXPECT_TRUE(vok->settings.checkLineSpeed);
  EXPECT_EQ(vok->settings.startMode, PlcMode::kApplication);

  const auto kr2c = Parse({"--link", "x", "--model", "KR2-C-V2", "--image-size", "1000"});
  ASSERT_TRUE(kr2c.has_value());
  EXPECT_TRUE(kr2c->settings.eraseRestartsSilently);
  const auto answering =
      Parse({"--link", "x", "--model", "KR2-C-V2", "--image-size", "1000", "--erase-reply"});
  ASSERT_TRUE(answering.has_value());
  EXPECT_FALSE(answering->settings.eraseRestartsSilently);
}

TEST(PlcsimOptions, ImageFileGivesTheSizeAndTheBytesToCompare) {
  const auto path = std::filesystem::temp_directory_path() / "plcsim_options_test_image.bin";
  {
    std::ofstream file(path, std::ios::binary);
    file << std::string(5000, 'x');
  }
  const auto o = Parse({"--link", "x", "--model", "HM2", "--image", path.string()});
  std::filesystem::remove(path);
  ASSERT_TRUE(o.has_value());
  EXPECT_EQ(o->settings.imageSize, 5000u);
  ASSERT_TRUE(o->image.has_value());
  EXPECT_EQ(o->image->size(), 5000u);
}

TEST(PlcsimOptions, HelpNeedsNothingElse) {
  const auto o = Parse({"--help"});
  ASSERT_TRUE(o.has_value());
  EXPECT_TRUE(o->help);
  // Every option the parser takes is documented.
  for (const char* option : {"--link",
                             "--model",
                             "--image-size",
                             "--image",
                             "--start-mode",
                             "--app-id",
                             "--loader-id",
                             "--app-version",
                             "--loader-version",
                             "--d1386",
                             "--d1001",
                             "--d1148",
                             "--no-wake-reply",
                             "--erase-reply",
                             "--silent-erase",
                             "--no-speed-check",
                             "--pacing",
                             "--reply-delay",
                             "--silent",
                             "--silence",
                             "--refuse",
                             "--garble-lrc",
                             "--lower-case",
                             "--short-reply",
                             "--nak",
                             "--flash-error",
                             "--disconnect",
                             "--bit-errors",
                             "--seed",
                             "--report",
                             "--flash-out",
                             "--verbose",
                             "--exit-when-complete",
                             "--timeout"}) {
    EXPECT_NE(PlcsimHelp().find(option), std::string::npos) << option;
  }
}

// The help and the parser come from one table: every option the help shows
// is taken, with a value exactly when the help shows one.
TEST(PlcsimOptions, EveryOptionTheHelpShowsIsTaken) {
  std::istringstream help(PlcsimHelp());
  std::string line;
  int shown = 0;
  while (std::getline(help, line)) {
    if (line.rfind("  --", 0) != 0) continue;
    ++shown;
    // "  --option VALUE   help": one space before a value, more before the help.
    const size_t end = line.find(' ', 2);
    const std::string option = line.substr(2, end - 2);
    const bool takesValue =
        end != std::string::npos && end + 1 < line.size() && line[end + 1] != ' ';
    if (option == "--help") continue;
    std::string error;
    // "--option [word]": the word may follow, or not.
    if (takesValue && line[end + 1] == '[') {
      const std::string word = line.substr(end + 2, line.find(']', end) - end - 2);
      for (const auto& args : {With({option}), With({option, word})}) {
        EXPECT_TRUE(Parse(args, &error)) << option << ": " << error;
      }
      continue;
    }
    Parse(takesValue ? With({option, "x"}) : With({option}), &error);
    EXPECT_EQ(error.find("unknown option"), std::string::npos) << option << ": " << error;
    Parse(With({option}), &error);
    EXPECT_EQ(error.find(option + " needs a value") != std::string::npos, takesValue)
        << option << ": " << error;
  }
  EXPECT_GT(shown, 30);
}

// The word after --restart-fails is its own only when it is "silent": an
// option that follows is read as the option it is.
TEST(PlcsimOptions, RestartFailsTakesSilentOrNothing) {
  struct Case {
    std::vector<std::string> args;
    RestartAfterUpdate restart;
    bool pacing;
  };
  for (const Case& c :
       {Case{{}, RestartAfterUpdate::kNewFirmware, false},
        Case{{"--restart-fails"}, RestartAfterUpdate::kLoader, false},
        Case{{"--restart-fails", "--pacing"}, RestartAfterUpdate::kLoader, true},
        Case{{"--restart-fails", "silent", "--pacing"}, RestartAfterUpdate::kSilent, true}}) {
    std::string error;
    const auto o = Parse(With(c.args), &error);
    ASSERT_TRUE(o) << error;
    EXPECT_EQ(o->settings.restartAfterUpdate, c.restart) << c.args.size();
    EXPECT_EQ(o->settings.pacing, c.pacing) << c.args.size();
  }
  std::string error;
  EXPECT_FALSE(Parse(With({"--restart-fails", "loud"}), &error));
  EXPECT_NE(error.find("unknown option \"loud\""), std::string::npos) << error;
}

struct Mistake {
  const char* name;
  std::vector<std::string> args;
  const char* says;
};

class PlcsimOptionMistakes : public ::testing::TestWithParam<Mistake> {};

TEST_P(PlcsimOptionMistakes, AreRefusedWithAReason) {
  std::string error;
  EXPECT_FALSE(Parse(GetParam().args, &error).has_value());
  EXPECT_NE(error.find(GetParam().says), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(
    CommandLine, PlcsimOptionMistakes,
    ::testing::Values(
        Mistake{"NoModel", {"--link", "x", "--image-size", "1"}, "--model NAME is required"},
        Mistake{"UnknownModel", {"--link", "x", "--model", "gl30", "--image-size", "1"}, "gl30"},
        Mistake{"NoImage", {"--link", "x", "--model", "GL30"}, "--image-size BYTES or --image"},
        Mistake{"MissingImageFile",
                {"--link", "x", "--model", "GL30", "--image", "/nonexistent/image.bin"},
                "cannot read"},
        Mistake{"NoLink", {"--model", "GL30", "--image-size", "8192"}, "--link PATH"},
        Mistake{"TrailingCharacters", With({"--d1386", "12x"}), "not a number"},
        Mistake{"RegisterOutOfRange", With({"--d1386", "70000"}), "not a number in range"},
        Mistake{"ByteOutOfRange", With({"--app-version", "256"}), "not a number in range"},
        Mistake{"NegativeNumber", With({"--reply-delay", "-5"}), "not a number"},
        Mistake{"UnknownOption", With({"--frobnicate"}), "unknown option"},
        Mistake{"ValueMissing", With({"--report"}), "--report needs a value"},
        Mistake{"FaultThatCannotApply", With({"--nak", "check"}), "does not apply"},
        Mistake{"RefuseWithoutClass", With({"--refuse", "check"}), "TARGET:CLASS:DETAIL"},
        Mistake{"PositionZero", With({"--silence", "erase@0"}), "counts from 1"},
        Mistake{"NoTimes", With({"--nak", "block@3x0"}), "at least once"},
        Mistake{"UnknownRequest", With({"--silence", "erase-all"}), "unknown request"},
        Mistake{"RateAboveOne", With({"--bit-errors", "2"}), "a chance from 0 to 1"},
        Mistake{"StartMode", With({"--start-mode", "boot"}), "application or loader"},
        Mistake{"LoaderVersionOneByte", With({"--loader-version", "1"}), "A,B"}),
    [](const auto& info) { return std::string(info.param.name); });

// --- The JSON record ----------------------------------------------------------

TEST(PlcRecordJson, IsValidJsonWhateverThePlcHeard) {
  PlcSettings s = DefaultPlcSettings(*FindModel("KR2-E"), 300);
  s.faults.push_back({FaultKind::kShortReply, PlcRequest::kCommCheck, 1, 1});
  PlcSimulator plc(s);
  plc.Connect();
  const std::string noise = std::string("\x01\x7F\xFF\"\\quote", 11) + ":00640159\r\n";
  plc.Receive({reinterpret_cast<const uint8_t*>(noise.data()), noise.size()},
              kApplicationLineSettings);
  const std::string check = ":006401590141\r\n";
  plc.Receive({reinterpret_cast<const uint8_t*>(check.data()), check.size()},
              kApplicationLineSettings);
  ASSERT_FALSE(plc.record().violations.empty());

  // The reader itself tells broken JSON apart.
  EXPECT_FALSE(json_line::IsJsonObject("{\"a\": 1,}"));
  EXPECT_FALSE(json_line::IsJsonObject("{\"a\": 1} {"));
  EXPECT_FALSE(json_line::IsJsonObject(std::string("{\"a\": [\"\x01\"]}")));

  const std::string json = PlcRecordJson(plc, false);
  EXPECT_TRUE(json_line::IsJsonObject(json)) << json;
  EXPECT_NE(json.find("\"fault\": \"short-reply\""), std::string::npos) << json;
  EXPECT_NE(json.find("\"flashMatchesImage\": false"), std::string::npos);
  EXPECT_NE(json.find("\"bytes\": \":006401590141\\r\\n\""), std::string::npos) << json;

  PlcSimulator quiet(DefaultPlcSettings(*FindModel("GL30"), 8192));
  const std::string empty = PlcRecordJson(quiet, std::nullopt);
  EXPECT_TRUE(json_line::IsJsonObject(empty)) << empty;
  EXPECT_NE(empty.find("\"flashMatchesImage\": null"), std::string::npos);
}

TEST(PlcRecordJson, StringsEscapeQuotesBackslashesAndEveryNonPrintableByte) {
  EXPECT_EQ(JsonString(std::string("a\"b\\c\r\n\x06\x7F\xFF", 10)),
            "\"a\\\"b\\\\c\\r\\n\\u0006\\u007f\\udcff\"");
}

}  // namespace
