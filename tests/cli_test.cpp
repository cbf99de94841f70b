// SPDX-License-Identifier: MIT
// The command line's parts without a PLC: option parsing, the choice of the
// model, and the three displays of one burn.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "catalogue/model_table.h"
#include "cli/options.h"
#include "cli/reporter.h"
#include "cli/terminal_environment.h"
#include "image/image_source.h"
#include "link/loader_protocol.h"
#include "support/json_line.h"

namespace {

using ::testing::HasSubstr;

// --- Options ------------------------------------------------------------------

TEST(ParseOptions, ValuesComeAsSeparateWordsOrAfterAnEqualsSign) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--model", "KR2-E", "--image", "dir/x.bin", "--port",
                                 "/dev/ttyUSB0"},
        std::vector<std::string>{"--model=KR2-E", "--image=dir/x.bin", "--port=/dev/ttyUSB0"}}) {
    const ParsedOptions parsed = ParseOptions(args);
    ASSERT_TRUE(parsed.options) << parsed.error;
    EXPECT_EQ(parsed.options->model, "KR2-E");
    EXPECT_EQ(parsed.options->image, "dir/x.bin");
    EXPECT_EQ(parsed.options->ports, std::vector<std::string>{"/dev/ttyUSB0"});
    EXPECT_FALSE(parsed.options->yes || parsed.options->json || parsed.options->simulate);
  }
}

TEST(ParseOptions, AValueMayItselfContainAnEqualsSign) {
  const ParsedOptions parsed = ParseOptions({"--image=a=b_c.bin"});
  ASSERT_TRUE(parsed.options);
  EXPECT_EQ(parsed.options->image, "a=b_c.bin");
}

TEST(ParseOptions, EveryFlagIsRecognised) {
  const ParsedOptions parsed = ParseOptions(
      {"--yes", "--json", "--simulate", "--list-models", "--list-ports", "--version", "-h"});
  ASSERT_TRUE(parsed.options) << parsed.error;
  const CliOptions& o = *parsed.options;
  EXPECT_TRUE(o.yes && o.json && o.simulate && o.listModels && o.listPorts && o.version && o.help);
  EXPECT_TRUE(ParseOptions({"--help"}).options->help);
}

struct UsageError {
  std::vector<std::string> args;
  const char* message;
};

void PrintTo(const UsageError& c, std::ostream* os) {
  for (const std::string& arg : c.args) *os << "'" << arg << "' ";
}

constexpr char kDoctorAlone[] =
    "--doctor checks the whole bench and talks to no PLC: give it no port, image or other action";

class ParseOptionsUsageError : public ::testing::TestWithParam<UsageError> {};

TEST_P(ParseOptionsUsageError, IsRefusedWithAMessage) {
  const ParsedOptions parsed = ParseOptions(GetParam().args);
  EXPECT_FALSE(parsed.options);
  EXPECT_EQ(parsed.error, GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ParseOptionsUsageError,
    ::testing::Values(UsageError{{"--model"}, "--model needs a value"},
                      UsageError{{"--yes", "--image"}, "--image needs a value"},
                      UsageError{{"--port"}, "--port needs a value"},
                      UsageError{{"--model="}, "--model needs a value"},
                      UsageError{{"--image", ""}, "--image needs a value"},
                      UsageError{{"--bogus"}, "unknown option: --bogus"},
                      UsageError{{"GL30_x.bin"}, "unknown option: GL30_x.bin"},
                      UsageError{{"--yes=1"}, "unknown option: --yes=1"},
                      UsageError{{"--models=GL30"}, "unknown option: --models=GL30"},
                      UsageError{{"-y"}, "unknown option: -y"},
                      UsageError{{"--doctor", "--port", "COM5"}, kDoctorAlone},
                      UsageError{{"--info", "--doctor"}, kDoctorAlone}));

CliOptions With(const std::string& model, const std::string& image) {
  CliOptions options;
  options.model = model;
  options.image = image;
  return options;
}

struct Choice {
  const char* model;  // --model
  const char* image;  // --image
  const char* chosen;
};

void PrintTo(const Choice& c, std::ostream* os) {
  *os << "--model '" << c.model << "' --image '" << c.image << "'";
}

class ChooseModelFrom : public ::testing::TestWithParam<Choice> {};

TEST_P(ChooseModelFrom, OptionOrImageName) {
  const ModelChoice choice = ChooseModel(With(GetParam().model, GetParam().image));
  EXPECT_EQ(choice.model, GetParam().chosen);
  EXPECT_EQ(choice.error, "");
}

INSTANTIATE_TEST_SUITE_P(Cases, ChooseModelFrom,
                         ::testing::Values(Choice{"KR2-E", "", "KR2-E"},
                                           // A file name that names the model given.
                                           Choice{"KR2-E", "KR2-E_v1.bin", "KR2-E"},
                                           // The text before the first '_', dashes and all.
                                           Choice{"", "KR2-C-V2_fw_1.2.bin", "KR2-C-V2"},
                                           Choice{"", "/images/v1_2/36PW2-AIO_x.bin", "36PW2-AIO"},
                                           Choice{"", "GL20-TO-GL30_.bin", "GL20-TO-GL30"},
                                           // A file name that names no model does not matter
                                           // when --model is given.
                                           Choice{"GL30", "firmware.bin", "GL30"}));

class ChooseModelRefuses : public ::testing::TestWithParam<Choice> {};

TEST_P(ChooseModelRefuses, WithAMessageNamingTheProblem) {
  const ModelChoice choice = ChooseModel(With(GetParam().model, GetParam().image));
  EXPECT_EQ(choice.model, "");
  EXPECT_THAT(choice.error, HasSubstr(GetParam().chosen));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ChooseModelRefuses,
    ::testing::Values(Choice{"GL31", "", "unknown model: GL31"},
                      Choice{"gl30", "", "unknown model: gl30"},
                      Choice{"GL31", "GL30_x.bin", "unknown model: GL31"},
                      // A file named for another model is the wrong firmware.
                      Choice{"KR2-E", "GL30_v1.bin",
                             "--model KR2-E, but the image file "
                             "GL30_v1.bin is for GL30"},
                      // The file names below name no model before a '_'.
                      Choice{"", "firmware.bin", "--model"}, Choice{"", "GL30.bin", "--model"},
                      Choice{"", "GL31_x.bin", "--model"}, Choice{"", "gl30_x.bin", "--model"},
                      Choice{"", "_GL30.bin", "--model"},
                      // A '_' in a folder name is not the file's.
                      Choice{"", "/images/GL30_new/firmware.bin", "firmware.bin"}));

TEST(ChooseModel, WithoutModelOrImageTheBuiltInImagesModel) {
  const ModelChoice choice = ChooseModel(CliOptions{});
  EXPECT_EQ(choice.model, DefaultModelName());
  EXPECT_TRUE(FindModel(choice.model));
}

// --- Reporter -------------------------------------------------------------------

StatusSnapshot At(int32_t status, int32_t percent, int32_t elapsed, int32_t errors = 0,
                  int32_t total = 0) {
  return {status, percent, elapsed, errors, total, 0, 0};
}

// A display writing into strings, on a clock the test moves.
struct Display {
  explicit Display(Reporter::Mode mode, int columns = 80, bool quiet = false)
      : reporter(out, err, {mode, quiet, false, columns, [this] { return now; }}) {}
  void Advance(std::chrono::milliseconds by) { now += by; }

  Reporter::Clock::time_point now{};
  std::ostringstream out;
  std::ostringstream err;
  Reporter reporter;
};

constexpr char kReplug[] = "Please REPLUG the USB Cable, and then press OK to continue";

// One GL30 update as the display loop samples it: phase 1, the replug
// prompt, the erase and the transfer one per cent at a time (a retry at
// 50 %), and the final box.
void PlayBurn(Reporter& reporter) {
  reporter.Start("GL30", "GL30_x.bin", 40000, std::string(64, 'a'), "/dev/ttyACM0");
  reporter.Update(At(kIdle, 0, 0));
  reporter.Update(At(kIdle, 0, 0));  // nothing new
  reporter.Prompt("Information", kReplug, false);
  for (int32_t p = 0; p <= 100; ++p) reporter.Update(At(kErasing, p, 5));
  for (int32_t p = 0; p <= 100; ++p) {
    const int32_t errors = p == 50 ? 1 : 0;
    const int32_t total = p >= 50 ? 1 : 0;
    reporter.Update(At(kProgramming, p, 6 + p / 10, errors, total));
  }
  reporter.Result("Information", "Firmware update is SUCCESSFUL!, please REPLUG the USB cable", 0);
  // Anything after the last word is not shown.
  reporter.Update(At(kIdle, 0, 0));
  reporter.Prompt("Information", kReplug, false);
  reporter.Result("ERROR", "late", 1);
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

size_t CountStartingWith(const std::vector<std::string>& lines, const std::string& prefix) {
  return static_cast<size_t>(std::count_if(
      lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; }));
}

TEST(PlainReporter, ALinePerTenthOfProgressAndNoCarriageReturn) {
  Display display(Reporter::Mode::kPlain);
  PlayBurn(display.reporter);
  const std::string text = display.out.str();
  EXPECT_EQ(text.find('\r'), std::string::npos);
  EXPECT_EQ(text.find('\x1b'), std::string::npos);
  const std::vector<std::string> lines = Lines(text);
  EXPECT_EQ(lines.front(), "Model GL30, image GL30_x.bin (40000 bytes, SHA-256 " +
                               std::string(64, 'a') + "), port /dev/ttyACM0");
  EXPECT_EQ(CountStartingWith(lines, "Connecting "), 1u);
  EXPECT_EQ(CountStartingWith(lines, "Erasing "), 11u);  // 0, 10, ... 100
  // 0, 10, ... 100, and the retry counters' change back after 50 %.
  EXPECT_EQ(CountStartingWith(lines, "Programming "), 12u);
  EXPECT_EQ(CountStartingWith(lines, "Information: " + std::string(kReplug)), 1u);
  EXPECT_THAT(lines, ::testing::Contains("Erasing     100%     5 s  errors 0/0"));
  EXPECT_THAT(lines, ::testing::Contains("Programming  50%    11 s  errors 1/1"));
  EXPECT_THAT(lines, ::testing::Contains("Programming  51%    11 s  errors 0/1"));
  EXPECT_EQ(lines.end()[-2], "Programming 100%    16 s  errors 0/1");
  EXPECT_EQ(lines.back(),
            "Information: Firmware update is SUCCESSFUL!, please REPLUG the USB cable");
}

// The drawings of one terminal line: each goes back to the start of the
// line and clears what an earlier, longer drawing left.
std::vector<std::string> Drawings(const std::string& line) {
  std::vector<std::string> drawings;
  EXPECT_EQ(line.front(), '\r');
  for (size_t at = 0; at != std::string::npos;) {
    const size_t next = line.find('\r', at + 1);
    drawings.push_back(line.substr(at + 1, next == std::string::npos ? next : next - at - 1));
    EXPECT_EQ(drawings.back().substr(drawings.back().size() - 3), "\x1b[K") << drawings.back();
    at = next;
  }
  return drawings;
}

TEST(TerminalReporter, RedrawsOneStatusLineInPlaceAndKeepsTheErasesLine) {
  Display display(Reporter::Mode::kTerminal);
  PlayBurn(display.reporter);
  const std::string& text = display.out.str();
  const std::vector<std::string> lines = Lines(text);
  // The start line, phase 1's status line, the prompt, the erase's status
  // line, the transfer's, and the final box.
  ASSERT_EQ(lines.size(), 6u) << text;
  EXPECT_EQ(lines[2], "Information: " + std::string(kReplug));
  EXPECT_EQ(lines[5], "Information: Firmware update is SUCCESSFUL!, please REPLUG the USB cable");

  const std::vector<std::string> idle = Drawings(lines[1]);
  EXPECT_EQ(idle.size(), 1u);  // an unchanged status is not drawn again
  EXPECT_THAT(idle[0], HasSubstr("Connecting "));

  const std::vector<std::string> erase = Drawings(lines[3]);
  EXPECT_EQ(erase.size(), 101u);  // every per cent
  EXPECT_EQ(erase[50],
            "Erasing     [###############...............]  50%     5 s  errors 0/0\x1b[K");
  EXPECT_THAT(erase.back(), HasSubstr("[##############################] 100%"));

  const std::vector<std::string> transfer = Drawings(lines[4]);
  EXPECT_EQ(transfer.size(), 101u);
  EXPECT_EQ(transfer.back(),
            "Programming [##############################] 100%    16 s  errors 0/1\x1b[K");
}

// The display shows what the burn reported, nothing it made up: an erase
// that failed at 90 % is not shown ending.
TEST(Reporter, AFailedEraseIsNotShownCompleted) {
  Display display(Reporter::Mode::kPlain);
  display.reporter.Update(At(kErasing, 90, 5));
  display.reporter.Update(At(kIdle, 0, 0));
  EXPECT_EQ(display.out.str().find("100%"), std::string::npos) << display.out.str();
}

TEST(JsonReporter, EveryLineIsOneObjectAndTheLastIsTheResult) {
  Display display(Reporter::Mode::kJson);
  PlayBurn(display.reporter);
  const std::vector<std::string> lines = Lines(display.out.str());
  std::map<std::string, int> events;
  std::vector<std::string> phases;
  for (const std::string& line : lines) {
    const auto object = json_line::ParseObjectLine(line);
    ASSERT_TRUE(object) << line;
    ++events[object->at("event")];
    if (object->at("event") == "phase") phases.push_back(object->at("phase"));
  }
  EXPECT_EQ(events["start"], 1);
  EXPECT_EQ(events["prompt"], 1);
  EXPECT_EQ(events["result"], 1);
  EXPECT_EQ(events["progress"], 1 + 101 + 101);
  EXPECT_EQ(events["errors"], 3);  // 0/0 at the start, 1/1 at 50 %, 0/1 after
  EXPECT_THAT(phases, ::testing::ElementsAre("Connecting", "Erasing", "Programming"));

  const auto start = json_line::ParseObjectLine(lines.front());
  EXPECT_EQ(start->at("model"), "GL30");
  EXPECT_EQ(start->at("size"), "40000");
  const auto result = json_line::ParseObjectLine(lines.back());
  EXPECT_EQ(result->at("event"), "result");
  EXPECT_EQ(result->at("caption"), "Information");
  EXPECT_EQ(result->at("text"), "Firmware update is SUCCESSFUL!, please REPLUG the USB cable");
  EXPECT_EQ(result->at("exit"), "0");
}

// A file or port name is the operator's: JSON gives it back byte for byte,
// é and all, and even bytes that are no UTF-8 survive.
TEST(JsonReporter, NamesComeBackByteForByteAndEachLineStaysOneObject) {
  const std::string awkward =
      "C:\\images\\\"new\" GL30_x\xC3\xA9.bin\nline two\ttab\x01\x1f\x7f\xE9\xFF end";
  Display display(Reporter::Mode::kJson);
  display.reporter.Start("GL30", awkward, 1, "", awkward);
  display.reporter.Result("ERROR", awkward, 2);
  const std::string& out = display.out.str();
  const std::vector<std::string> lines = Lines(out);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find("GL30_x\xC3\xA9.bin"), std::string::npos) << "valid UTF-8 unchanged";
  const auto start = json_line::ParseObjectLine(lines[0]);
  const auto result = json_line::ParseObjectLine(lines[1]);
  ASSERT_TRUE(start && result) << out;
  EXPECT_EQ(start->at("image"), awkward);
  EXPECT_EQ(start->at("port"), awkward);
  EXPECT_EQ(result->at("text"), awkward);
  EXPECT_EQ(start->count("sha256"), 0u) << "an image that was not read has no digest";
}

// In the plain display a name can never make a line of its own: a file name
// that holds "\nINFORMATION: Firmware update is SUCCESSFUL" stays in its line.
TEST(PlainReporter, ControlCharactersInNamesAreShownEscaped) {
  const std::string forged = "GL30_x.bin\nINFORMATION: Firmware update is SUCCESSFUL\r\x1b[2K";
  for (const Reporter::Mode mode : {Reporter::Mode::kPlain, Reporter::Mode::kTerminal}) {
    Display display(mode);
    display.reporter.Start("GL30", forged + "\xC3\xA9", 1, "", forged);
    display.reporter.Result("ERROR", "CANNOT open " + forged + " Port!!!", 4);
    const std::string& out = display.out.str();
    const std::vector<std::string> lines = Lines(out);
    ASSERT_EQ(lines.size(), 2u) << out;
    EXPECT_EQ(out.find('\r'), std::string::npos);
    EXPECT_EQ(out.find('\x1b'), std::string::npos);
    EXPECT_THAT(lines[0], HasSubstr("GL30_x.bin\\nINFORMATION: Firmware update is "
                                    "SUCCESSFUL\\r\\x1B[2K\xC3\xA9 (1 bytes)"));
    EXPECT_EQ(lines[1],
              "ERROR: CANNOT open GL30_x.bin\\nINFORMATION: Firmware update is "
              "SUCCESSFUL\\r\\x1B[2K Port!!!");
  }
}

// --- The prompt ---------------------------------------------------------------

// Enter answers the prompt; a terminal whose input ends (Ctrl-D) can never
// answer it, and the burn is asked to stop instead of waiting for ever.
TEST(TerminalPrompt, EnterAnswersItAndTheEndOfInputStopsTheBurn) {
  for (const bool enter : {true, false}) {
    Display display(Reporter::Mode::kPlain);
    std::istringstream in(enter ? "\n" : "");
    CancelToken cancel;
    TerminalEnvironment environment(
        {display.reporter, in, false, {}, "", cancel, ModelAt(*FindModel("GL30")), "USB"});
    environment.ShowBox(BoxKind::kPrompt, kReplug, "Information");
    EXPECT_EQ(environment.PromptUnanswered(), !enter);
    EXPECT_EQ(cancel.Requested(), !enter);
  }
}

// A cancelled burn resets its status after its result: the display keeps
// the phase it stopped in, not "Connecting 0% 0 s".
TEST(TerminalStatus, ACancelledBurnsLastStatusIsThePhaseItStoppedIn) {
  Display display(Reporter::Mode::kPlain);
  std::istringstream in;
  CancelToken cancel;
  TerminalEnvironment environment(
      {display.reporter, in, true, {}, "COM3", cancel, ModelAt(*FindModel("KR2-E")), "COM3"});
  environment.OnStatus({kProgramming, 40, 0, 0, 400, 1000});
  environment.Tick();
  BurnResult cancelled;
  cancelled.outcome = BurnOutcome::kCancelled;
  environment.StopElapsedTimer();
  environment.OnResult(cancelled);
  environment.ResetElapsedTime();
  environment.OnStatus({});
  environment.Tick();
  const std::string out = display.out.str();
  const size_t from = out.rfind('\n', out.size() - 2);
  EXPECT_EQ(out.substr(from + 1, 11), "Programming") << out;
}

TEST(JsonLineReader, RefusesWhatIsNotExactlyOneObject) {
  for (const char* bad : {"", "{", "{\"a\":1", "{\"a\":1} x", "{\"a\":1}{\"b\":2}",
                          "{\"a\":\"x\ny\"}", "{\"a\":01x}", "[1]", "{\"a\" 1}", "{\"a\":1,}"}) {
    EXPECT_FALSE(json_line::ParseObjectLine(bad)) << bad;
  }
  EXPECT_TRUE(json_line::ParseObjectLine("{\"a\":-1.5e3,\"b\":{\"c\":true},\"d\":null}"));
}

}  // namespace
