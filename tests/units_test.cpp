// SPDX-License-Identifier: MIT
// Several units at once and the records of a line, without a PLC: the
// options that name units, the plan made of them, the shared display and
// prompt, the exit status of several, and the unit records.
#include "cli/units.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <sstream>
#include <thread>

#include "catalogue/model_table.h"
#include "cli/options.h"
#include "cli/reporter.h"
#include "cli/shared_prompt.h"
#include "cli/unit_board.h"
#include "cli/unit_log.h"
#include "link/status.h"
#include "support/json_line.h"

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// --- Options that name units ------------------------------------------------------

TEST(UnitOptions, PortAndUsbKeepEveryValueInOrder) {
  const ParsedOptions ports = ParseOptions({"--port", "COM3", "--port=COM12", "--port", "COM4"});
  ASSERT_TRUE(ports.options) << ports.error;
  EXPECT_THAT(ports.options->ports, ElementsAre("COM3", "COM12", "COM4"));
  const ParsedOptions usb = ParseOptions({"--usb", "1-1.2", "--usb=1-1.10", "--yes"});
  ASSERT_TRUE(usb.options) << usb.error;
  EXPECT_THAT(usb.options->usb, ElementsAre("1-1.2", "1-1.10"));
}

struct Refusal {
  std::vector<std::string> args;
  const char* says;
};

void PrintTo(const Refusal& c, std::ostream* os) {
  for (const std::string& arg : c.args) *os << "'" << arg << "' ";
}

class UnitOptionsRefused : public ::testing::TestWithParam<Refusal> {};

TEST_P(UnitOptionsRefused, AsAUsageError) {
  const ParsedOptions parsed = ParseOptions(GetParam().args);
  EXPECT_FALSE(parsed.options);
  EXPECT_THAT(parsed.error, HasSubstr(GetParam().says));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UnitOptionsRefused,
    ::testing::Values(
        Refusal{{"--port", "a", "--usb", "1-1"}, "--port and --usb together"},
        Refusal{{"--usb", "all", "--usb", "1-2"}, "--usb all takes every USB PLC"},
        Refusal{{"--port", "a", "--port", "b", "--port", "a"}, "a is given twice"},
        Refusal{{"--usb", "1-2", "--usb", "1-2"}, "1-2 is given twice"},
        Refusal{{"--usb"}, "--usb needs a value"}, Refusal{{"--log="}, "--log needs a value"},
        Refusal{{"--info", "--port", "a", "--port", "b"}, "--info reads one PLC"},
        Refusal{{"--info", "--usb", "1-1"}, "--info reads one PLC"},
        Refusal{{"--info", "--station"}, "--info reads one PLC"},
        Refusal{{"--station", "--port", "a", "--port", "b"}, "--station takes each PLC"},
        Refusal{{"--station", "--usb", "all"}, "--station takes each PLC"},
        Refusal{{"--station", "--simulate"}, "a simulated PLC never is"},
        Refusal{{"--simulate", "--usb", "all"}, "--simulate has no USB PLCs to find"},
        Refusal{{"--trace", "t", "--port", "a", "--port", "b"}, "--trace records the wire of one"},
        Refusal{{"--station", "--usb", "1-1", "--usb", "1-2"}, "--station takes each PLC"},
        Refusal{{"--info", "--station", "--port", "a"}, "give one of them"},
        // A second value would silently win over the first.
        Refusal{{"--image", "a", "--image=b"}, "--image is given twice"},
        Refusal{{"--model", "GL30", "--model", "GL30"}, "--model is given twice"},
        Refusal{{"--log", "a", "--log", "b"}, "--log is given twice"},
        Refusal{{"--trace", "a", "--trace", "b"}, "--trace is given twice"},
        Refusal{{"--label", "a", "--label", "b"}, "--label is given twice"},
        // Listings and the version use nothing but --json.
        Refusal{{"--list-ports", "--model", "FOO"}, "--list-ports takes no --model"},
        Refusal{{"--list-models", "--image", "/x"}, "--list-models takes no --image"},
        Refusal{{"--version", "--yes"}, "--version takes no --yes"},
        Refusal{{"--list-models", "--version"}, "give one of them"},
        // A label is one unit's.
        Refusal{{"--label", "L1", "--port", "a", "--port", "b"}, "--label names the one unit"},
        Refusal{{"--label", "L1", "--usb", "1-1"}, "--label names the one unit"},
        Refusal{{"--label", "L1", "--station"}, "--ask-label"},
        Refusal{{"--ask-label", "--port", "a"}, "give --station"},
        Refusal{{"--label", "a\x1b[31m"}, "no control characters"},
        Refusal{{"--label", "a\nb"}, "no control characters"},
        Refusal{{"--label", "a\xC2\x9B"}, "no control characters"},
        Refusal{{"--label", "a\xFF"}, "UTF-8"},
        Refusal{{"--label", std::string(101, 'x')}, "at most 100 characters"}));

// Flags may come twice; a label of a GS1 scanner keeps its separators; a
// hundred characters are a hundred, whatever their bytes.
TEST(UnitOptions, RepeatedFlagsAndLabelsAtTheLimitAreAccepted) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--yes", "--yes", "--json", "--json", "--port", "a"},
        std::vector<std::string>{"--label", "(01)0950\x1D(21)A7", "--port", "a"},
        std::vector<std::string>{"--label", std::string(100, 'x')},
        std::vector<std::string>{"--label=" +
                                 [] {
                                   std::string text;
                                   for (int i = 0; i < 100; ++i) text += "\xC3\xA9";
                                   return text;
                                 }()},
        std::vector<std::string>{"--station", "--ask-label", "--port", "a"},
        std::vector<std::string>{"--version", "--json"}}) {
    const ParsedOptions parsed = ParseOptions(args);
    EXPECT_TRUE(parsed.options) << args.front() << ": " << parsed.error;
  }
}

// The image, the trace and the log as real files: one file under two names
// is refused, whichever two of the three; so is a log or trace that is a folder.
TEST(FileOptions, ThreeFilesOrAUsageErrorThatNamesBoth) {
  namespace fs = std::filesystem;
  const fs::path dir =
      fs::temp_directory_path() /
      ("morvix-files-" +
       std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
  fs::create_directories(dir / "sub");
  const std::string image = (dir / "GL30_x.bin").string();
  std::ofstream(image) << "firmware";
  const std::string imageAgain = (dir / "sub" / ".." / "GL30_x.bin").string();
  const std::string trace = (dir / "wire.trace").string();
  const std::string log = (dir / "units.jsonl").string();
  const struct {
    std::vector<std::string> args;
    const char* says;  // empty: accepted
  } cases[] = {
      {{"--image", image, "--trace", trace, "--log", log}, ""},
      {{"--image", image, "--trace", image}, "are the same file"},
      {{"--image", image, "--log", imageAgain}, "are the same file"},
      {{"--trace", trace, "--log", (dir / "sub" / ".." / "wire.trace").string()},
       "are the same file"},
      {{"--log", (dir / "sub").string()}, "is a folder"},
      {{"--trace", (dir / "sub").string()}, "is a folder"},
  };
  for (const auto& c : cases) {
    const ParsedOptions parsed = ParseOptions(c.args);
    ASSERT_TRUE(parsed.options) << parsed.error;
    if (*c.says == '\0') {
      EXPECT_EQ(FilesError(*parsed.options), "");
    } else {
      EXPECT_THAT(FilesError(*parsed.options), HasSubstr(c.says)) << c.args[1] << " " << c.args[3];
    }
  }
  fs::remove_all(dir);
}

// --- The plan ---------------------------------------------------------------------

UsbPlc PlcAt(const std::string& location, const std::string& serial) {
  return {location, "/dev/tty-" + location, "3e9a", "0001", serial, "", ""};
}

using Kind = UnitTarget::Kind;

struct PlanCase {
  const char* name;
  const char* model;
  std::vector<std::string> args;
  std::vector<UsbPlc> attached;
  std::vector<std::tuple<Kind, std::string, std::string>> targets;  // kind, name, serial
  bool several;
};

void PrintTo(const PlanCase& c, std::ostream* os) { *os << c.name; }

// The units the arguments and `--model MODEL` name, with `attached` the USB
// PLCs found; an empty plan when the arguments do not parse.
UnitPlan PlanOf(const char* model, std::vector<std::string> args,
                const std::vector<UsbPlc>& attached) {
  args.insert(args.end(), {"--model", model});
  const ParsedOptions parsed = ParseOptions(args);
  EXPECT_TRUE(parsed.options) << parsed.error;
  if (!parsed.options) return {{}, false, "unparsed: " + parsed.error, 0};
  return PlanUnits(*parsed.options, ModelAt(*FindModel(model)), [&] { return attached; });
}

class Plan : public ::testing::TestWithParam<PlanCase> {};

TEST_P(Plan, NamesEachUnitAndHowItIsReached) {
  const PlanCase& c = GetParam();
  const UnitPlan plan = PlanOf(c.model, c.args, c.attached);
  ASSERT_EQ(plan.error, "");
  std::vector<std::tuple<Kind, std::string, std::string>> targets;
  for (const UnitTarget& target : plan.targets) {
    targets.emplace_back(target.kind, target.name, target.serial);
  }
  EXPECT_EQ(targets, c.targets);
  EXPECT_EQ(plan.several, c.several);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Plan,
    ::testing::Values(
        PlanCase{
            "OnePort", "KR2-E", {"--port", "COM3"}, {}, {{Kind::kSerialPort, "COM3", ""}}, false},
        PlanCase{"FourPorts",
                 "KR2-E",
                 {"--port", "a", "--port", "b", "--port", "c", "--port", "d"},
                 {},
                 {{Kind::kSerialPort, "a", ""},
                  {Kind::kSerialPort, "b", ""},
                  {Kind::kSerialPort, "c", ""},
                  {Kind::kSerialPort, "d", ""}},
                 true},
        PlanCase{"TheUsbPlcFoundByItsIds", "GL30", {}, {}, {{Kind::kUsbSearch, "USB", ""}}, false},
        PlanCase{"AUsbDevicePath",
                 "GL30",
                 {"--port", "/dev/ttyACM3"},
                 {},
                 {{Kind::kUsbPath, "/dev/ttyACM3", ""}},
                 false},
        // Every PLC attached, in the order the lister gives (by location).
        PlanCase{"EveryUsbPlc",
                 "GL30",
                 {"--usb", "all"},
                 {PlcAt("1-1.2", "A7"), PlcAt("1-1.10", "")},
                 {{Kind::kUsbLocation, "1-1.2", "A7"}, {Kind::kUsbLocation, "1-1.10", ""}},
                 true},
        // A location named is a unit even when nothing is there yet: its
        // burn says that no PLC opens there.
        PlanCase{"UsbLocationsNamed",
                 "KR3-PACKAGE",
                 {"--usb", "1-4", "--usb", "1-1.2"},
                 {PlcAt("1-1.2", "B1")},
                 {{Kind::kUsbLocation, "1-4", ""}, {Kind::kUsbLocation, "1-1.2", "B1"}},
                 true},
        PlanCase{"OneUsbLocationIsTheDisplayOfSeveral",
                 "GL30",
                 {"--usb", "2-1"},
                 {},
                 {{Kind::kUsbLocation, "2-1", ""}},
                 true},
        PlanCase{"SimulatedPlcsNamedByTheirPorts",
                 "KR2-E",
                 {"--simulate", "--port", "a", "--port", "b"},
                 {},
                 {{Kind::kSimulated, "a", ""}, {Kind::kSimulated, "b", ""}},
                 true},
        PlanCase{"OneSimulatedPlc",
                 "GL30",
                 {"--simulate"},
                 {},
                 {{Kind::kSimulated, "simulated PLC", ""}},
                 false}),
    [](const auto& info) { return std::string(info.param.name); });

struct PlanRefusal {
  const char* name;
  const char* model;
  std::vector<std::string> args;
  std::vector<UsbPlc> attached;
  int status;
  const char* says;
};

void PrintTo(const PlanRefusal& c, std::ostream* os) { *os << c.name; }

class PlanRefused : public ::testing::TestWithParam<PlanRefusal> {};

TEST_P(PlanRefused, WithItsStatusAndWhy) {
  const PlanRefusal& c = GetParam();
  const UnitPlan plan = PlanOf(c.model, c.args, c.attached);
  EXPECT_TRUE(plan.targets.empty());
  EXPECT_EQ(plan.errorStatus, c.status);
  // A refusal other than for usage says why as a failed unit does.
  EXPECT_THAT(c.status == kExitUsage ? plan.error : plan.diagnosis.reason, HasSubstr(c.says));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PlanRefused,
    ::testing::Values(
        PlanRefusal{
            "UsbForAComModel", "KR2-E", {"--usb", "1-1"}, {}, kExitUsage, "KR2-E is a COM model"},
        PlanRefusal{
            "ComModelWithoutPort", "KR2-E", {}, {}, kExitUsage, "give its serial port with --port"},
        PlanRefusal{"ComModelStationWithoutPort",
                    "KR2-C-V2",
                    {"--station"},
                    {},
                    kExitUsage,
                    "give its serial port with --port"},
        // Device paths may be handed out the other way round after the replug.
        PlanRefusal{"SeveralUsbDevicePaths",
                    "GL30",
                    {"--port", "/dev/ttyACM0", "--port", "/dev/ttyACM1"},
                    {},
                    kExitUsage,
                    "give --usb LOCATION for each"},
        PlanRefusal{"EveryUsbPlcWhenNoneIsAttached",
                    "GL30",
                    {"--usb", "all"},
                    {},
                    kExitLinkNotOpened,
                    "No USB PLC (3e9a:0001) is attached"},
        // A tty name changes at every replug: a station there would take any PLC.
        PlanRefusal{"UsbStationOnAPort",
                    "GL30",
                    {"--station", "--port", "/dev/ttyACM1"},
                    {PlcAt("1-1.2", "A7")},
                    kExitUsage,
                    "give --usb LOCATION"},
        PlanRefusal{"EveryUsbPlcWhenOneHasNoLocation",
                    "GL30",
                    {"--usb", "all"},
                    {PlcAt("1-1", ""), PlcAt("", "C3")},
                    kExitLinkNotOpened,
                    "has no location the system gives"}),
    [](const auto& info) { return std::string(info.param.name); });

// --- The exit status of several ---------------------------------------------------------

UnitEnd EndOf(const char* outcome, int status) {
  return {"u", outcome, "", "", status, 0, false, std::nullopt};
}

TEST(ExitStatusOfUnits, ZeroOnlyWhenEveryUnitSucceeded) {
  const UnitEnd ok = EndOf("success", kExitSuccess);
  const UnitEnd failed = EndOf("failure", kExitBurnFailed);
  const UnitEnd notOpened = EndOf("failure", kExitLinkNotOpened);
  const UnitEnd refused = EndOf("failure", kExitImageRefused);
  const UnitEnd interrupted = EndOf("interrupted", kExitInterrupted);
  const UnitEnd terminated = EndOf("interrupted", kExitTerminated);
  EXPECT_EQ(ExitStatusOfUnits({ok, ok, ok, ok}), kExitSuccess);
  EXPECT_EQ(ExitStatusOfUnits({ok, ok, failed, ok}), kExitBurnFailed);
  // A link that did not open is one unit's failure among several.
  EXPECT_EQ(ExitStatusOfUnits({ok, notOpened}), kExitBurnFailed);
  // The same image for every unit: refused for one, refused for all.
  EXPECT_EQ(ExitStatusOfUnits({refused, refused}), kExitImageRefused);
  EXPECT_EQ(ExitStatusOfUnits({ok, failed, interrupted}), kExitInterrupted);
  EXPECT_EQ(ExitStatusOfUnits({terminated, ok}), kExitTerminated);
  // Written everywhere but not confirmed somewhere (--verify): 5, unless
  // something failed outright.
  const UnitEnd notVerified = EndOf("failure", kExitNotVerified);
  EXPECT_EQ(ExitStatusOfUnits({ok, notVerified}), kExitNotVerified);
  EXPECT_EQ(ExitStatusOfUnits({notVerified, failed}), kExitBurnFailed);
  // Updated but not verified, updated but not recorded: below a failure, above success.
  const UnitEnd unverified = EndOf("success", kExitNotVerified);
  const UnitEnd unrecorded = EndOf("success", kExitNotRecorded);
  const UnitEnd failedUnrecorded = EndOf("failure", kExitNotRecorded);
  EXPECT_EQ(ExitStatusOfUnits({ok, unrecorded}), kExitNotRecorded);
  EXPECT_EQ(ExitStatusOfUnits({unrecorded, unverified, ok}), kExitNotVerified);
  EXPECT_EQ(ExitStatusOfUnits({unverified, failed}), kExitBurnFailed);
  EXPECT_EQ(ExitStatusOfUnits({ok, failedUnrecorded}), kExitBurnFailed);
}

TEST(StrongestExitStatus, FollowsTheOrderScriptsRelyOn) {
  const std::vector<int> strongestFirst = {kExitInterrupted,   kExitUsage,      kExitImageRefused,
                                           kExitLinkNotOpened, kExitBurnFailed, kExitNotVerified,
                                           kExitNotRecorded,   kExitSuccess};
  for (size_t i = 0; i < strongestFirst.size(); ++i) {
    for (size_t j = i; j < strongestFirst.size(); ++j) {
      EXPECT_EQ(StrongestExitStatus(strongestFirst[i], strongestFirst[j]), strongestFirst[i]);
      EXPECT_EQ(StrongestExitStatus(strongestFirst[j], strongestFirst[i]), strongestFirst[i]);
    }
  }
}

// --- The unit records ---------------------------------------------------------------

UnitRecord FailedRecord() {
  UnitRecord record;
  record.time = std::chrono::system_clock::time_point(std::chrono::seconds(1700000000)) +
                std::chrono::milliseconds(999);
  record.host = "line-3";
  record.unit = "1-1.2";
  record.label = "(01)0950\x1D(21)A7";
  record.serial = "A8";
  record.serialAfterReplug = "A8";
  record.model = "GL30";
  record.image = "GL30_v1.3\xC3\xA9.bin";
  record.size = 40000;
  record.sha256 = std::string(64, 'f');
  record.outcome = "failure";
  record.caption = "ERROR";
  record.message = "NO RESPONSE @ State 1";
  record.exitStatus = 1;
  record.seconds = 21.04;
  record.errCounter = 5;
  record.totalErrCounter = 6;
  record.diagnosis = {"no answer", "check the cable", 0x3000};
  return record;
}

TEST(UnitRecord, IsOneJsonObjectWithEveryFieldOfTheUnit) {
  const std::string line = RecordLine(FailedRecord());
  EXPECT_EQ(line.find('\n'), std::string::npos);
  const auto record = json_line::ParseObjectLine(line);
  ASSERT_TRUE(record) << line;
  const std::map<std::string, std::string> expected = {{"time", "2023-11-14T22:13:20Z"},
                                                       {"host", "line-3"},
                                                       {"unit", "1-1.2"},
                                                       {"label", "(01)0950\x1D(21)A7"},
                                                       {"serial", "A8"},
                                                       {"serialAfterReplug", "A8"},
                                                       {"model", "GL30"},
                                                       {"image", "GL30_v1.3\xC3\xA9.bin"},
                                                       {"size", "40000"},
                                                       {"sha256", std::string(64, 'f')},
                                                       {"outcome", "failure"},
                                                       {"caption", "ERROR"},
                                                       {"message", "NO RESPONSE @ State 1"},
                                                       {"exit", "1"},
                                                       {"seconds", "21.0"},
                                                       {"errCounter", "5"},
                                                       {"totalErrCounter", "6"},
                                                       {"reason", "no answer"},
                                                       {"hint", "check the cable"},
                                                       {"reportedCode", "12288"}};
  EXPECT_EQ(*record, expected);
}

TEST(UnitRecord, LeavesOutWhatIsNotKnown) {
  UnitRecord record = FailedRecord();
  record.label = "";
  record.serial = "";
  record.serialAfterReplug.reset();
  record.sha256 = "";
  record.diagnosis = {};
  const auto members = json_line::ParseObjectLine(RecordLine(record));
  ASSERT_TRUE(members);
  for (const char* absent : {"label", "serial", "serialAfterReplug", "sha256", "reason", "hint",
                             "reportedCode", "verified", "capped"}) {
    EXPECT_EQ(members->count(absent), 0u) << absent;
  }
}

// A replug where the device reported no serial says so; verification, when
// asked for, says its verdict.
TEST(UnitRecord, SaysANullSerialAfterTheReplugAndTheVerdictOfAVerification) {
  UnitRecord record = FailedRecord();
  record.serial = "A7";
  record.serialAfterReplug = "";
  record.verified = false;
  const std::string line = RecordLine(record);
  EXPECT_THAT(line, HasSubstr(",\"serial\":\"A7\",\"serialAfterReplug\":null,"));
  EXPECT_THAT(line, HasSubstr(",\"verified\":false"));
}

// Texts from outside are cut at a character's start, and the record says which.
TEST(UnitRecord, CapsOverLongTextsAndNamesThem) {
  UnitRecord record = FailedRecord();
  record.unit = std::string(kRecordFieldLimit - 1, 'u') + "\xC3\xA9";
  record.message = std::string(100000, 'm');
  const std::string line = RecordLine(record);
  EXPECT_LT(line.size(), 8 * kRecordFieldLimit);
  EXPECT_THAT(line, HasSubstr(",\"capped\":[\"unit\",\"message\"]}"));
  const auto members = json_line::ParseObjectLine(line);
  ASSERT_TRUE(members) << line.substr(0, 100);
  EXPECT_EQ(members->at("unit"), std::string(kRecordFieldLimit - 1, 'u'));
  EXPECT_EQ(members->at("message"), std::string(kRecordFieldLimit, 'm'));
}

TEST(UtcIsoTime, IsTheUtcDateAndTimeToTheSecond) {
  using std::chrono::seconds;
  using Time = std::chrono::system_clock::time_point;
  EXPECT_EQ(UtcIsoTime(Time(seconds(0))), "1970-01-01T00:00:00Z");
  EXPECT_EQ(UtcIsoTime(Time(seconds(951782400))), "2000-02-29T00:00:00Z");
  EXPECT_EQ(UtcIsoTime(Time(seconds(4102444799))), "2099-12-31T23:59:59Z");
}

// Units end at the same time, in this program and in another one appending
// to the same file (a log opened twice is two open files, as two programs
// have): every record is a line of its own, whole, however long its texts.
TEST(UnitLog, RecordsOfUnitsEndingTogetherAreWholeLines) {
  const std::filesystem::path path =
      std::filesystem::temp_directory_path() /
      ("morvix-units-log-" +
       std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
  std::ofstream(path, std::ios::binary) << "{\"unit\":\"from yesterday\"}\n";
  {
    auto log = UnitLog::Open(path.string());
    auto otherProgramsLog = UnitLog::Open(path.string());
    ASSERT_TRUE(log && otherProgramsLog);
    std::vector<std::thread> units;
    for (int unit = 0; unit < 8; ++unit) {
      units.emplace_back([&, unit] {
        UnitRecord record = FailedRecord();
        record.unit = "unit " + std::to_string(unit);
        record.message.assign(3000, static_cast<char>('a' + unit));
        record.image.assign(100000, static_cast<char>('a' + unit));
        for (int i = 0; i < 50; ++i) {
          EXPECT_TRUE((unit % 2 == 0 ? log : otherProgramsLog)->Append(record));
        }
      });
    }
    for (std::thread& unit : units) unit.join();
  }
  auto in = std::make_unique<std::ifstream>(path, std::ios::binary);
  std::string first;
  std::getline(*in, first);
  EXPECT_EQ(first, "{\"unit\":\"from yesterday\"}") << "appended, never truncated";
  std::map<std::string, int> perUnit;
  for (std::string line; std::getline(*in, line);) {
    const auto record = json_line::ParseObjectLine(line);
    ASSERT_TRUE(record) << line.substr(0, 80);
    const std::string& message = record->at("message");
    EXPECT_EQ(message, std::string(kRecordFieldLimit, message[0]));
    ++perUnit[record->at("unit")];
  }
  EXPECT_EQ(perUnit.size(), 8u);
  for (const auto& [unit, count] : perUnit) EXPECT_EQ(count, 50) << unit;
  in.reset();  // Windows removes no file that is open
  std::filesystem::remove(path);
}

TEST(UnitLog, AFileThatCannotBeWrittenIsNoLog) {
  EXPECT_FALSE(UnitLog::Open(
      (std::filesystem::temp_directory_path() / "no-such-folder" / "x.jsonl").string()));
}

// --- The board ------------------------------------------------------------------------

// What a terminal shows after the board's output: the few cursor movements
// the board uses, played on a screen of lines.
std::vector<std::string> ScreenAfter(const std::string& output) {
  std::vector<std::string> screen(1);
  size_t row = 0;
  size_t column = 0;
  for (size_t i = 0; i < output.size(); ++i) {
    const char c = output[i];
    if (c == '\r') {
      column = 0;
    } else if (c == '\n') {
      if (++row == screen.size()) screen.emplace_back();
      column = 0;
    } else if (c == '\x1b') {
      EXPECT_EQ(output[i + 1], '[');
      size_t end = i + 2;
      while (std::isdigit(static_cast<unsigned char>(output[end]))) ++end;
      const size_t count = end > i + 2 ? std::stoul(output.substr(i + 2, end - i - 2)) : 1;
      switch (output[end]) {
        case 'A': row -= std::min(row, count); break;
        case 'B': row = std::min(row + count, screen.size() - 1); break;
        case 'K': screen[row].resize(std::min(screen[row].size(), column)); break;
        case 'J':
          screen[row].resize(std::min(screen[row].size(), column));
          screen.resize(row + 1);
          break;
        default: ADD_FAILURE() << "unexpected sequence " << output.substr(i, end - i + 1);
      }
      i = end;
    } else {
      if (screen[row].size() <= column) screen[row].resize(column + 1, ' ');
      screen[row][column++] = c;
    }
  }
  while (!screen.empty() && screen.back().empty()) screen.pop_back();
  return screen;
}

TEST(UnitBoard, EachUnitKeepsItsLineAndWhatIsSaidGoesAboveTheBlock) {
  std::ostringstream terminal;  // standard output and standard error on one terminal
  UnitBoard board(terminal, terminal, {"/dev/ttyUSB0", "/dev/ttyUSB1", "COM12"}, true, 40);
  EXPECT_EQ(board.StatusColumns(), 40 - 12 - 2);
  board.Line("Model KR2-E\n");
  board.Status("/dev/ttyUSB1", "Connecting 0%");
  board.Status("/dev/ttyUSB0", "Erasing 50%");
  board.Status("COM12", "Connecting 0%");
  board.Line("Information: replug\nPress Enter to continue.\n");
  board.Status("/dev/ttyUSB1", "Programming 10%");
  board.ErrorLine("[COM12] Why: no answer");
  board.Status("COM12", "ERROR: NO RESPONSE");
  board.Status("/dev/ttyUSB0", "Programming 100%");
  board.Close();
  board.Line("summary\n");
  EXPECT_THAT(
      ScreenAfter(terminal.str()),
      ElementsAre("Model KR2-E", "Information: replug", "Press Enter to continue.",
                  "[COM12] Why: no answer", "/dev/ttyUSB0  Programming 100%",
                  "/dev/ttyUSB1  Programming 10%", "COM12         ERROR: NO RESPONSE", "summary"));
}

TEST(UnitBoard, TheEchoOfAnAnswerIsWipedAndTheBlockStaysInPlace) {
  std::ostringstream terminal;
  UnitBoard board(terminal, terminal, {"1-1", "1-2"}, true, 80);
  board.Status("1-1", "Connecting");
  board.Status("1-2", "Connecting");
  board.Line("Press Enter to continue.\n");
  terminal << "\n";  // the terminal's echo of the Enter
  board.LineTyped();
  board.Status("1-2", "Erasing");
  board.Line("next\n");
  EXPECT_THAT(ScreenAfter(terminal.str()),
              ElementsAre("Press Enter to continue.", "next", "1-1  Connecting", "1-2  Erasing"));
}

TEST(UnitBoard, LongLabelsKeepTheirEndsAndOffATerminalOnlyLinesAreWritten) {
  std::ostringstream terminal;
  UnitBoard board(terminal, terminal,
                  {"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USB(3)", "PCIROOT(0)#PCI(1400)#USB(4)"},
                  true, 60);
  board.Status("PCIROOT(0)#PCI(1400)#USB(4)", "Idle");
  EXPECT_THAT(ScreenAfter(terminal.str()),
              ElementsAre("...(0)#USB(2)#USB(3)  ", "...#PCI(1400)#USB(4)  Idle"));

  std::ostringstream plain;
  UnitBoard lines(plain, plain, {"a", "b"}, false, 80);
  lines.Status("a", "ignored");
  lines.Line("[a] Connecting\n");
  lines.ErrorLine("[b] Why: x");
  EXPECT_EQ(plain.str(), "[a] Connecting\n[b] Why: x\n");
}

// --- A unit's display among several ---------------------------------------------------

StatusSnapshot At(int32_t status, int32_t percent) { return {status, percent, 3, 0, 0, 0, 0}; }

TEST(UnitDisplay, JsonEventsCarryTheUnitAndHumanLinesBeginWithIt) {
  for (const Reporter::Mode mode : {Reporter::Mode::kJson, Reporter::Mode::kPlain}) {
    std::ostringstream out;
    std::ostringstream err;
    UnitBoard board(out, err, {"COM3", "COM4"}, false, 80);
    Reporter::Settings settings;
    settings.mode = mode;
    settings.unit = "COM4";
    settings.board = &board;
    Reporter reporter(out, err, settings);
    reporter.Start("KR2-E", "KR2-E_x.bin", 10, "", "COM4");
    reporter.Update(At(kIdle, 0));
    reporter.Prompt("Information", "Please POWER OFF=>ON the PLC, and then press OK to continue",
                    false);
    reporter.Update(At(kErasing, 100));
    reporter.Result("ERROR", "PLC type is WRONG", 1, {"code 0x3000 is a GL30", "use GL30", 0x3000});
    const std::vector<std::string> lines = Lines(out.str());
    if (mode == Reporter::Mode::kPlain) {
      // The run says what is written once for all units.
      EXPECT_THAT(lines, ElementsAre("[COM4] Connecting    0%     3 s  errors 0/0",
                                     "[COM4] Information: Please POWER OFF=>ON the PLC, and then "
                                     "press OK to continue",
                                     "[COM4] Erasing     100%     3 s  errors 0/0",
                                     "[COM4] ERROR: PLC type is WRONG"));
      EXPECT_THAT(Lines(err.str()),
                  ElementsAre("[COM4] Why: code 0x3000 is a GL30", "[COM4] What to do: use GL30"));
      continue;
    }
    // start; phase, progress, errors; prompt; phase, progress; result
    ASSERT_EQ(lines.size(), 8u) << out.str();
    for (const std::string& line : lines) {
      const auto event = json_line::ParseObjectLine(line);
      ASSERT_TRUE(event) << line;
      EXPECT_EQ(event->at("unit"), "COM4") << line;
    }
    EXPECT_EQ(json_line::ParseObjectLine(lines.front())->at("event"), "start");
    EXPECT_EQ(json_line::ParseObjectLine(lines.back())->at("event"), "result");
  }
}

// --- The shared prompt ---------------------------------------------------------------

struct PromptRun {
  explicit PromptRun(const std::string& input, size_t units)
      : in(input),
        reporter(out, err, Settings()),
        prompt(reporter, in, Names(units), [this] { ++answered; }) {}
  static Reporter::Settings Settings() {
    Reporter::Settings settings;
    settings.mode = Reporter::Mode::kJson;
    return settings;
  }
  static std::vector<std::string> Names(size_t units) {
    std::vector<std::string> names;
    for (size_t i = 0; i < units; ++i) names.push_back("1-" + std::to_string(i + 1));
    return names;
  }
  std::future<PromptAnswer> Ask(size_t unit) {
    return std::async(std::launch::async, [this, unit] {
      return prompt.Gate(unit).Ask("Please REPLUG the USB Cable, and then press OK to continue",
                                   cancels[unit]);
    });
  }
  // The prompt events written so far, each as its members.
  std::vector<std::map<std::string, std::string>> Prompts() {
    std::vector<std::map<std::string, std::string>> prompts;
    for (const std::string& line : Lines(out.str()))
      prompts.push_back(*json_line::ParseObjectLine(line));
    return prompts;
  }

  std::istringstream in;
  std::ostringstream out;
  std::ostringstream err;
  Reporter reporter;
  std::atomic<int> answered{0};
  SharedPrompt prompt;
  CancelToken cancels[4];
};

constexpr auto kAWhile = std::chrono::milliseconds(200);

TEST(SharedPrompt, AsksOnceWhenEveryUnitStillRunningHasArrivedAndOneEnterAnswersAll) {
  PromptRun run("\n\n", 4);
  run.prompt.Gate(1).Pass();  // found in its loader: erasing already
  auto first = run.Ask(0);
  auto third = run.Ask(2);
  EXPECT_EQ(first.wait_for(kAWhile), std::future_status::timeout) << "1-4 has not arrived yet";
  auto fourth = run.Ask(3);
  EXPECT_EQ(first.get(), PromptAnswer::kAnswered);
  EXPECT_EQ(third.get(), PromptAnswer::kAnswered);
  EXPECT_EQ(fourth.get(), PromptAnswer::kAnswered);
  const auto prompts = run.Prompts();
  ASSERT_EQ(prompts.size(), 1u);
  EXPECT_EQ(prompts[0].at("text"), "Please REPLUG the USB Cable, and then press OK to continue");
  EXPECT_EQ(prompts[0].at("units"), "[\"1-1\",\"1-3\",\"1-4\"]");
  EXPECT_EQ(run.answered, 1);
  std::string left;
  EXPECT_TRUE(std::getline(run.in, left)) << "one Enter for all: the second is still there";
}

TEST(SharedPrompt, AUnitThatEndsMeanwhileNoLongerHoldsTheOthers) {
  PromptRun run("\n", 2);
  auto first = run.Ask(0);
  EXPECT_EQ(first.wait_for(kAWhile), std::future_status::timeout);
  run.prompt.Gate(1).Pass();  // its burn ended, with an error
  EXPECT_EQ(first.get(), PromptAnswer::kAnswered);
  ASSERT_EQ(run.Prompts().size(), 1u);
  EXPECT_EQ(run.Prompts()[0].at("units"), "[\"1-1\"]");
}

TEST(SharedPrompt, TheEndOfInputIsEveryWaitingUnitsAnswerAndAStopEndsTheWaitOfItsUnit) {
  PromptRun ended("", 2);
  auto first = ended.Ask(0);
  auto second = ended.Ask(1);
  EXPECT_EQ(first.get(), PromptAnswer::kEnded);
  EXPECT_EQ(second.get(), PromptAnswer::kEnded);
  EXPECT_EQ(ended.answered, 0);

  PromptRun stopped("\n", 2);
  auto waiting = stopped.Ask(0);
  EXPECT_EQ(waiting.wait_for(kAWhile), std::future_status::timeout);
  stopped.cancels[0].Request();
  EXPECT_EQ(waiting.get(), PromptAnswer::kStopped);
  EXPECT_TRUE(stopped.Prompts().empty()) << "nobody was asked";
}

// Phase 1 again (a PLC that stayed in its application): the same units
// meet at the prompt a second time.
TEST(SharedPrompt, EachRoundIsAskedAndAnsweredOnItsOwn) {
  PromptRun run("\n\n", 2);
  for (int round = 0; round < 2; ++round) {
    auto first = run.Ask(0);
    auto second = run.Ask(1);
    EXPECT_EQ(first.get(), PromptAnswer::kAnswered);
    EXPECT_EQ(second.get(), PromptAnswer::kAnswered);
  }
  EXPECT_EQ(run.Prompts().size(), 2u);
  EXPECT_EQ(run.answered, 2);
}

}  // namespace
