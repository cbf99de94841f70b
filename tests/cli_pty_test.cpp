// SPDX-License-Identifier: MIT
// morvix-fwupdate-cli as a user runs it: the built program against
// morvix-plcsim on a pseudo-terminal, its output, its exit status and the
// simulator's own record of what reached the PLC.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <sstream>
#include <thread>

#include "catalogue/model_table.h"
#include "cli/reporter.h"
#include "support/child_process.h"
#include "support/environment_variable.h"
#include "support/fake_sysfs.h"
#include "support/json_line.h"

namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using namespace std::chrono_literals;

constexpr char kReplugPrompt[] =
    "Information: Please REPLUG the USB Cable, and then press OK to continue";
constexpr char kPowerCyclePrompt[] =
    "Information: Please POWER OFF=>ON the PLC, and then press OK to continue";
constexpr char kUsbSuccess[] =
    "Information: Firmware update is SUCCESSFUL!, please REPLUG the USB cable";
constexpr char kComSuccess[] = "INFORMATION: Firmware update is SUCCESSFUL";

std::string ReadText(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// The digest as the system's own tool computes it.
std::string Sha256Sum(const std::string& path) {
  std::string out;
  if (FILE* pipe = popen(("sha256sum '" + path + "'").c_str(), "r")) {
    char buffer[128];
    while (fgets(buffer, sizeof buffer, pipe) != nullptr) out += buffer;
    pclose(pipe);
  }
  return out.substr(0, 64);
}

std::vector<std::string> Lines(const std::string& text);

// The last line of an output; empty when there is none.
std::string LastLine(const std::string& text) {
  const std::vector<std::string> lines = Lines(text);
  return lines.empty() ? std::string() : lines.back();
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

class CliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/cli-pty-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    link_ = (dir_ / "ttyPLC").string();
  }
  void TearDown() override { fs::remove_all(dir_); }

  // An image file named as the tool expects: the model, '_', the rest.
  std::string MakeImage(const std::string& name, uint32_t size) {
    std::vector<char> bytes(size);
    for (uint32_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 151) ^ (i >> 8));
    const fs::path path = dir_ / name;
    std::ofstream(path, std::ios::binary).write(bytes.data(), size);
    return path.string();
  }

  // morvix-plcsim playing `model` on link_, expecting `image`.
  std::unique_ptr<ChildProcess> StartPlc(const std::string& model, const std::string& image,
                                         std::vector<std::string> extra = {}) {
    return StartPlcOn(link_, "report.json", model, image, std::move(extra));
  }
  // The same on `link`, its report in dir_/`report`.
  std::unique_ptr<ChildProcess> StartPlcOn(const std::string& link, const std::string& report,
                                           const std::string& model, const std::string& image,
                                           std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"--link",    link,  "--model",  model,
                                     "--image",   image, "--report", (dir_ / report).string(),
                                     "--timeout", "60"};
    args.insert(args.end(), extra.begin(), extra.end());
    auto plc = std::make_unique<ChildProcess>(MORVIX_PLCSIM, args);
    EXPECT_EQ(plc->NextLine(), "ready " + link);
    return plc;
  }

  // The simulator's verdict once it has ended: no violation, the update
  // complete, its flash equal to the image.
  void ExpectCleanReport(ChildProcess& plc, const std::string& reportName = "report.json") {
    EXPECT_EQ(plc.Wait(20s), 0) << "exit status 0: no violation";
    const std::string report = ReadText(dir_ / reportName);
    EXPECT_THAT(report, HasSubstr("\"violationCount\": 0")) << report.substr(0, 1000);
    EXPECT_THAT(report, HasSubstr("\"updateComplete\": true"));
    EXPECT_THAT(report, HasSubstr("\"flashMatchesImage\": true"));
  }

  struct Run {
    int status;
    std::string output;
  };
  static Run RunCli(const std::vector<std::string>& args, const std::string& input = "",
                    ChildOutput output = ChildOutput::kPipe,
                    const std::string& program = MORVIX_CLI) {
    ChildProcess cli(program, args, input, output);
    std::string text = cli.ReadAll(60s);
    return {cli.Wait(5s), std::move(text)};
  }

  fs::path dir_;
  std::string link_;
};

// --- Whole updates --------------------------------------------------------------

struct UpdateCase {
  const char* name;
  const char* model;
  uint32_t size;
  std::vector<std::string> options;
  const char* input;   // standard input: the operator's Enter
  const char* prompt;  // nullptr: the model keeps its link
  bool json;
};

void PrintTo(const UpdateCase& c, std::ostream* os) { *os << c.name; }

class CliUpdate : public CliTest, public ::testing::WithParamInterface<UpdateCase> {};

TEST_P(CliUpdate, SucceedsWithTheImageInTheFlashAndACleanRecord) {
  const UpdateCase& c = GetParam();
  const std::string image = MakeImage(std::string(c.model) + "_test.bin", c.size);
  auto plc = StartPlc(c.model, image, {"--exit-when-complete"});
  std::vector<std::string> args = {"--image", image, "--port", link_};
  args.insert(args.end(), c.options.begin(), c.options.end());
  // An Enter to give is typed on a terminal, as only there may a prompt wait.
  const Run run =
      RunCli(args, c.input, *c.input != '\0' ? ChildOutput::kTerminal : ChildOutput::kPipe);

  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(run.output.find('\r'), std::string::npos);
  const std::vector<std::string> lines = Lines(run.output);
  ASSERT_FALSE(lines.empty());
  const std::string success = IsUsbModel(c.model) ? kUsbSuccess : kComSuccess;
  if (c.json) {
    std::vector<std::string> events;
    for (const std::string& line : lines) {
      const auto object = json_line::ParseObjectLine(line);
      ASSERT_TRUE(object) << "not one JSON object: " << line;
      events.push_back(object->at("event"));
      if (object->at("event") == "prompt") {
        EXPECT_EQ(object->at("caption") + ": " + object->at("text"), c.prompt);
      }
    }
    EXPECT_EQ(events.front(), "start");
    EXPECT_EQ(std::count(events.begin(), events.end(), "prompt"), c.prompt ? 1 : 0);
    // Both phases are announced and both progress runs reach 100, however
    // short the erase (one step for this image).
    std::vector<std::string> phases;
    std::vector<std::string> hundreds;
    for (const std::string& line : lines) {
      const auto object = json_line::ParseObjectLine(line);
      if (object->at("event") == "phase") phases.push_back(object->at("phase"));
      if (object->at("event") == "progress" && object->at("percent") == "100") {
        hundreds.push_back(object->at("phase"));
      }
    }
    EXPECT_EQ(phases, (std::vector<std::string>{"Connecting", "Erasing", "Programming"}));
    EXPECT_EQ(hundreds, (std::vector<std::string>{"Erasing", "Programming"}));
    const auto result = json_line::ParseObjectLine(lines.back());
    EXPECT_EQ(result->at("event"), "result");
    EXPECT_EQ(result->at("caption") + ": " + result->at("text"), success);
    EXPECT_EQ(result->at("exit"), "0");
  } else {
    EXPECT_EQ(lines.front().rfind("Model " + std::string(c.model) + ", image ", 0), 0u);
    EXPECT_EQ(lines.back(), success);
    const std::string prompt = c.prompt ? c.prompt : "";
    for (const char* each : {kReplugPrompt, kPowerCyclePrompt}) {
      EXPECT_EQ(std::count(lines.begin(), lines.end(), each), prompt == each ? 1 : 0) << run.output;
    }
    // The transfer's progress reaches its end before the final word.
    const auto ends = [&](const std::string& phase) {
      return std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
        return line.rfind(phase, 0) == 0 && line.find(" 100%") != std::string::npos;
      });
    };
    EXPECT_TRUE(ends("Erasing")) << run.output;
    EXPECT_TRUE(ends("Programming")) << run.output;
  }
  ExpectCleanReport(*plc);
}

INSTANTIATE_TEST_SUITE_P(
    Models, CliUpdate,
    ::testing::Values(
        UpdateCase{"GL30_Yes", "GL30", 40000, {"--yes"}, "", kReplugPrompt, false},
        UpdateCase{
            "GL30_EnterOnATerminalJson", "GL30", 40000, {"--json"}, "\n", kReplugPrompt, true},
        UpdateCase{"KR2_C_V2", "KR2-C-V2", 30000, {"--yes"}, "", kPowerCyclePrompt, false},
        UpdateCase{"KR2_E", "KR2-E", 30000, {}, "", nullptr, false},
        UpdateCase{"_36PW2_AIO_AtItsLimit",
                   "36PW2-AIO",
                   12288,
                   {"--model", "36PW2-AIO"},
                   "",
                   nullptr,
                   false}),
    [](const auto& info) { return std::string(info.param.name); });

// --- Failures -----------------------------------------------------------------

TEST_F(CliTest, RefusedIdentityIsTheWrongPlcTypeWithStatus1) {
  const std::string image = MakeImage("KR2-E_test.bin", 20000);
  auto plc = StartPlc("KR2-E", image, {"--refuse", "app-id:2:2"});
  const Run run = RunCli({"--image", image, "--port", link_});
  EXPECT_EQ(run.status, 1) << run.output;
  EXPECT_EQ(LastLine(run.output), "ERROR: PLC type is WRONG");
  EXPECT_EQ(plc->Stop(SIGTERM), 0) << "the refusal is no violation";
}

TEST_F(CliTest, ImageOverTheLimitIsRefusedBeforeAnyPortWithStatus3) {
  // The port does not exist: a status 3 shows that nothing tried to open it.
  const Run run =
      RunCli({"--image", MakeImage("36PW2-AIO_big.bin", 12289), "--port", "/dev/nonexistent"});
  EXPECT_EQ(run.status, 3) << run.output;
  EXPECT_EQ(LastLine(run.output).rfind("ERROR: The file size EXCEEDS the MAXIMUM size", 0), 0u)
      << run.output;
}

// --- Never a false success ------------------------------------------------------

constexpr char kFlashWriteError[] =
    "ERROR: Flash write error, maybe due to flash write protection. RE-POWER PLC and update FW "
    "again";

// A block's reply comes twice the read time-out late: after the tool's first
// attempt has given up on it, at the end of the second attempt's read.
// The tool sends the block again, and the loader acknowledges or refuses the
// repeat. Whatever the timing, the update ends with the truth: success with
// the image in the flash, or the flash-write error the loader reported; and
// the closing 0x04 reaches the loader only after every block. Paced, as a
// real line is: the repeat's reply follows the late one a byte time later,
// after the tool has taken the late one.
struct LateCase {
  const char* name;
  bool lastBlock;     // the late reply is the last block's, else block 2's
  bool refuseRepeat;  // the loader refuses a block it has written
  bool flashError;    // the loader cannot write the last block (or close the transfer)
};

void PrintTo(const LateCase& c, std::ostream* os) { *os << c.name; }

class CliLateReply : public CliTest, public ::testing::WithParamInterface<LateCase> {};

TEST_P(CliLateReply, EndsWithTheTruthAndClosesOnlyAfterEveryBlock) {
  const LateCase& c = GetParam();
  const uint32_t size = 600;  // five KR2-E blocks, the last one partly filled
  const uint32_t blocks = BlockPlanOf("KR2-E", size).blocks;
  const std::string image = MakeImage("KR2-E_test.bin", size);
  const std::string last = "block@" + std::to_string(blocks);
  std::vector<std::string> faults = {"--late",
                                     c.lastBlock ? last : "block@2",
                                     "--late-by",
                                     "6000",
                                     "--repeated-block",
                                     c.refuseRepeat ? "refuse" : "ack",
                                     "--exit-when-complete",
                                     "--pacing"};
  // A late last block is written: its loader fails the close instead.
  if (c.flashError) {
    faults.insert(faults.end(), {"--flash-error", c.lastBlock ? "final-eot" : last});
  }
  auto plc = StartPlc("KR2-E", image, faults);
  const Run run = RunCli({"--image", image, "--port", link_});
  ASSERT_FALSE(Lines(run.output).empty());
  if (c.flashError) {
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_EQ(LastLine(run.output), kFlashWriteError) << run.output;
    EXPECT_EQ(plc->Stop(SIGTERM), 0) << "no violation";
  } else {
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(LastLine(run.output), kComSuccess) << run.output;
    ExpectCleanReport(*plc);
  }
  const std::string report = ReadText(dir_ / "report.json");
  const size_t close = report.find("\"request\": \"final-eot\"");
  if (close != std::string::npos) {
    EXPECT_LT(report.find("\"block\": " + std::to_string(blocks) + ","), close)
        << "the closing 0x04 came before the last block";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Blocks, CliLateReply,
    ::testing::Values(LateCase{"MiddleRepeatAcked", false, false, false},
                      LateCase{"MiddleRepeatRefused", false, true, false},
                      LateCase{"MiddleRepeatAckedLastFails", false, false, true},
                      LateCase{"MiddleRepeatRefusedLastFails", false, true, true},
                      LateCase{"LastRepeatAcked", true, false, false},
                      LateCase{"LastRepeatRefused", true, true, false},
                      LateCase{"LastRepeatAckedCloseFails", true, false, true},
                      LateCase{"LastRepeatRefusedCloseFails", true, true, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(CliTest, PlcThatNeverStartsItsLoaderIsToldAfterThreeRounds) {
  // One that keeps the link, one asking for a power cycle (which answers the
  // erase request here, so that no round waits out a read time-out).
  for (const char* model : {"KR2-E", "KR2-C-V2"}) {
    const std::string image = MakeImage(std::string(model) + "_test.bin", 20000);
    auto plc = StartPlc(model, image, {"--stays-in-application", "--erase-reply"});
    const Run run = RunCli({"--model", model, "--image", image, "--port", link_, "--yes"});
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_EQ(LastLine(run.output),
              "ERROR: PLC DOES NOT restart into its loader (asked 3 times). RE-POWER PLC and "
              "update FW again");
    EXPECT_EQ(plc->Stop(SIGTERM), 0) << "no violation";
    EXPECT_THAT(ReadText(dir_ / "report.json"), HasSubstr("\"app-erase\""));
  }
}

// Refused images never reach a port: the port named does not exist, and a
// status of 3 rather than 4 shows that nothing tried to open it.
TEST_F(CliTest, ImageThatWouldWriteNothingIsRefusedWithStatus3) {
  for (const auto& [name, size] : {std::pair{"KR2-E_empty.bin", 0u}, {"GL30_sector.bin", 4096u}}) {
    const Run run =
        RunCli({"--image", MakeImage(name, size), "--port", "/dev/nonexistent", "--yes"});
    EXPECT_EQ(run.status, 3) << run.output;
    EXPECT_EQ(LastLine(run.output),
              "ERROR: The image has NOTHING to write: 0 bytes would be sent to the PLC");
  }
}

// A file of 4 GiB and 40,000 bytes is refused by its whole size, at once and
// without reading it, never taken for its last 40,000 bytes.
TEST_F(CliTest, ImageOf4GiBAndMoreIsRefusedUnreadWithTheModelsLimit) {
  const fs::path huge = dir_ / "KR2-E_huge.bin";
  std::ofstream(huge, std::ios::binary).put('x');
  fs::resize_file(huge, (uintmax_t{1} << 32) + 40000);  // sparse: no disk space taken
  const auto start = std::chrono::steady_clock::now();
  const Run run = RunCli({"--image", huge.string(), "--port", "/dev/nonexistent"});
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
  EXPECT_EQ(run.status, 3) << run.output;
  EXPECT_EQ(LastLine(run.output), "ERROR: The file size EXCEEDS the MAXIMUM size (128 * 1024 * 7)");
}

// The built-in demo image is not firmware: only a simulated PLC gets it,
// unless a test says otherwise.
TEST_F(CliTest, DemoImageGoesToASimulatedPlcOnly) {
  const Run refused = RunCli({"--port", "/dev/nonexistent", "--yes"});
  EXPECT_EQ(refused.status, 3) << refused.output;
  EXPECT_THAT(LastLine(refused.output),
              ::testing::StartsWith("ERROR: The image is the DEMO image, not firmware"));
  const Run allowed =
      RunCli({"MORVIX_ALLOW_DEMO_IMAGE=1", MORVIX_CLI, "--port", "/dev/nonexistent", "--yes"}, "",
             ChildOutput::kPipe, "/usr/bin/env");
  EXPECT_EQ(allowed.status, 4) << "the link was tried: " << allowed.output;
}

TEST_F(CliTest, PortThatDoesNotExistIsStatus4) {
  const Run run =
      RunCli({"--image", MakeImage("KR2-E_test.bin", 20000), "--port", "/dev/nonexistent"});
  EXPECT_EQ(run.status, 4) << run.output;
  EXPECT_EQ(LastLine(run.output), "ERROR: CANNOT open /dev/nonexistent Port!!!");
}

struct UsageCase {
  const char* name;
  std::vector<std::string> args;
};

void PrintTo(const UsageCase& c, std::ostream* os) { *os << c.name; }

class CliUsageError : public CliTest, public ::testing::WithParamInterface<UsageCase> {};

TEST_P(CliUsageError, IsStatus2WithNothingOnStandardOutput) {
  std::vector<std::string> args = GetParam().args;
  for (std::string& arg : args) {
    if (arg == "IMAGE") arg = MakeImage("KR2-E_test.bin", 20000);
    if (arg == "DIR") fs::create_directory(arg = (dir_ / "GL30_folder").string());
    if (arg == "FIFO") {
      arg = (dir_ / "KR2-E_fifo.bin").string();
      ASSERT_EQ(mkfifo(arg.c_str(), 0600), 0);
    }
  }
  const Run run = RunCli(args);
  EXPECT_EQ(run.status, 2) << run.output;
  EXPECT_EQ(run.output, "");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CliUsageError,
    ::testing::Values(
        UsageCase{"UnknownModel", {"--model", "GL31", "--simulate"}},
        UsageCase{"UnknownOption", {"--simulate", "--fast"}},
        UsageCase{"MissingValue", {"--simulate", "--image"}},
        UsageCase{"ImageNameWithoutModel", {"--simulate", "--image", "firmware.bin"}},
        UsageCase{"ImageThatDoesNotExist", {"--simulate", "--image", "/nonexistent/GL30_x.bin"}},
        UsageCase{"ImageThatIsAFolder", {"--simulate", "--image", "DIR"}},
        // Read blindly, a FIFO without a writer hangs and /dev/zero never ends.
        UsageCase{"ImageThatIsAFifo", {"--simulate", "--image", "FIFO"}},
        UsageCase{"ImageThatIsADevice", {"--simulate", "--model", "KR2-E", "--image", "/dev/zero"}},
        UsageCase{"ComModelWithoutPort", {"--image", "IMAGE"}},
        UsageCase{"VerifyTimeoutOfZero", {"--simulate", "--verify", "--verify-timeout", "0"}},
        UsageCase{"VerifyTimeoutNotANumber", {"--simulate", "--verify", "--verify-timeout=1m"}},
        UsageCase{"VerifyTimeoutWithoutVerify", {"--simulate", "--verify-timeout", "5"}},
        UsageCase{"VerifyOfInfo", {"--info", "--verify", "--port", "COM3", "--model", "KR2-E"}}),
    [](const auto& info) { return std::string(info.param.name); });

// A prompt nobody can answer is found out before anything is opened, not
// after phase 1 with the PLC already in its loader.
TEST_F(CliTest, PromptWithoutATerminalOrYesIsAUsageErrorBeforeAnyLink) {
  const std::string image = MakeImage("GL30_test.bin", 40000);
  auto plc = StartPlc("GL30", image);
  ChildProcess cli(MORVIX_CLI, {"--image", image, "--port", link_});  // standard input: /dev/null
  EXPECT_EQ(cli.ReadAll(5s), "");
  EXPECT_EQ(cli.Wait(), 2);
  EXPECT_EQ(plc->Stop(SIGTERM), 0);
  EXPECT_THAT(ReadText(dir_ / "report.json"), HasSubstr("\"connections\": 0"));
}

// --- Signals ---------------------------------------------------------------------

// What ends an update in its transfer, and what must not.
struct SignalCase {
  const char* name;
  int signal;             // 0: the reader of its output goes away instead
  int status;             // the exit status
  const char* lastWords;  // nullptr: the update runs to its end
};

void PrintTo(const SignalCase& c, std::ostream* os) { *os << c.name; }

class CliSignal : public CliTest, public ::testing::WithParamInterface<SignalCase> {};

// Whether an unprivileged user may open `path` now: a port left exclusive
// (TIOCEXCL) refuses everyone but root. Empty when no such user can be made.
std::optional<bool> OpensAsNobody(const std::string& path) {
  if (geteuid() != 0) return std::nullopt;
  ChildProcess open("/usr/bin/setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups",
                                         "/bin/sh", "-c", "exec 3<>\"$0\"", path});
  return open.Wait() == 0;
}

TEST_P(CliSignal, StopsOnlyWhenToldAndAlwaysReleasesThePort) {
  const SignalCase& c = GetParam();
  const std::string image = MakeImage("KR2-E_test.bin", 16000);
  // At the real line speed the transfer takes over a second.
  auto plc = StartPlc("KR2-E", image, {"--pacing", "--exit-when-complete"});
  const std::string port = fs::canonical(link_).string();
  fs::permissions(port, fs::perms::all & ~(fs::perms::owner_exec | fs::perms::group_exec |
                                           fs::perms::others_exec));
  {
    ChildProcess cli(MORVIX_CLI, {"--image", image, "--port", link_});
    std::string line;
    do {
      line = cli.NextLine(10s);
    } while (!line.empty() && line.rfind("Programming", 0) != 0);
    ASSERT_FALSE(line.empty()) << "the transfer never started";
    if (c.signal != 0) {
      cli.Signal(c.signal);
    } else {
      cli.CloseOutput();
    }
    EXPECT_EQ(cli.Wait(20s), c.status);
    if (c.lastWords != nullptr) {
      const std::vector<std::string> rest = Lines(cli.ReadAll(1s));
      ASSERT_FALSE(rest.empty());
      EXPECT_THAT(rest.back(), HasSubstr(c.lastWords));
      EXPECT_THAT(rest.back(), HasSubstr("the link is closed; the PLC may now be in its loader"));
    }
  }
  if (c.lastWords != nullptr) {
    // Given back as after a normal end: another user's program may open it.
    if (const auto opens = OpensAsNobody(port)) {
      EXPECT_TRUE(*opens) << "the port stayed locked";
    }
    // The PLC waits in its loader; the same command finishes the update.
    const Run again = RunCli({"--image", image, "--port", link_});
    EXPECT_EQ(again.status, 0) << again.output;
    EXPECT_EQ(LastLine(again.output), kComSuccess);
  }
  ExpectCleanReport(*plc);
}

INSTANTIATE_TEST_SUITE_P(
    InTheTransfer, CliSignal,
    ::testing::Values(
        SignalCase{"CtrlC", SIGINT, 130, "ERROR: Interrupted in phase 2, writing the image"},
        SignalCase{"Sigterm", SIGTERM, 143, "ERROR: Interrupted in phase 2, writing the image"},
        SignalCase{"HangUp", SIGHUP, 0, nullptr}, SignalCase{"OutputClosed", 0, 0, nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

// --- The display on a terminal ---------------------------------------------------

TEST_F(CliTest, OnATerminalTheStatusLineIsRedrawnInPlace) {
  const Run run = RunCli({"--simulate", "--image", MakeImage("36PW2-AIO_test.bin", 12000)}, "",
                         ChildOutput::kTerminal);
  EXPECT_EQ(run.status, 0) << run.output;
  const std::vector<std::string> lines = Lines(run.output);
  // The start line, the status line redrawn from phase 1 to the end of the
  // erase, the transfer's, and the final word.
  ASSERT_EQ(lines.size(), 4u) << run.output;
  const std::string image = (dir_ / "36PW2-AIO_test.bin").string();
  EXPECT_EQ(lines[0], "Model 36PW2-AIO, image " + image + " (12000 bytes, SHA-256 " +
                          Sha256Sum(image) + "), port simulated PLC");
  EXPECT_THAT(lines[1], ::testing::StartsWith("\rConnecting "));
  EXPECT_THAT(lines[1].substr(lines[1].rfind('\r')),
              ::testing::StartsWith("\rErasing     [##############################] 100%"));
  EXPECT_GT(std::count(lines[2].begin(), lines[2].end(), '\r'), 3);
  EXPECT_THAT(lines[2], ::testing::StartsWith("\rProgramming ["));
  EXPECT_THAT(lines[2], HasSubstr("\rProgramming [##############################] 100%"));
  EXPECT_EQ(lines[3], kComSuccess);
}

// --- Listings -------------------------------------------------------------------

TEST(CliListings, ListModelsHasALineForEachOfThe32ModelsAndExplainsEveryRuleCode) {
  ChildProcess cli(MORVIX_CLI, {"--list-models"});
  const std::vector<std::string> lines = Lines(cli.ReadAll(5s));
  EXPECT_EQ(cli.Wait(), 0);
  ASSERT_GT(lines.size(), 1u + kModelCount);
  for (int i = 0; i < kModelCount; ++i) {
    EXPECT_EQ(lines[1 + i].rfind(std::string(ModelName(i)) + " ", 0), 0u) << lines[1 + i];
    EXPECT_THAT(lines[1 + i], HasSubstr(IsUsbModel(ModelName(i)) ? " USB " : " COM "));
  }
  const std::vector<std::string> legend(lines.begin() + 1 + kModelCount, lines.end());
  for (int i = 0; i < kModelCount; ++i) {
    const std::string_view name = ModelName(i);
    for (const char* label :
         {RuleLabel(EraseRuleOf(name)), RuleLabel(BlockRuleOf(name)),
          RuleLabel(ReconnectRuleOf(name)), RuleLabel(LoaderIdRuleOf(name, ModelCode(i)))}) {
      EXPECT_EQ(CountStartingWith(legend, std::string(label) + "  "), 1u) << label;
    }
  }
}

// A script reads the lists as one JSON object each, with every model and
// its rules, and every port.
TEST(CliListings, ListsInJsonAreOneObjectEach) {
  ChildProcess models(MORVIX_CLI, {"--list-models", "--json"});
  const std::vector<std::string> modelLines = Lines(models.ReadAll(5s));
  EXPECT_EQ(models.Wait(), 0);
  ASSERT_EQ(modelLines.size(), 1u);
  const auto list = json_line::ParseObjectLine(modelLines[0]);
  ASSERT_TRUE(list) << modelLines[0];
  EXPECT_EQ(list->at("schema"), std::to_string(kJsonSchema));
  const auto entries = json_line::ParseArray(list->at("models"));
  ASSERT_TRUE(entries);
  ASSERT_EQ(entries->size(), static_cast<size_t>(kModelCount));
  const auto legend = json_line::ParseObjectLine(list->at("legend"));
  ASSERT_TRUE(legend);
  for (int i = 0; i < kModelCount; ++i) {
    const auto model = json_line::ParseObjectLine((*entries)[i]);
    ASSERT_TRUE(model) << (*entries)[i];
    const std::string_view name = ModelName(i);
    EXPECT_EQ(model->at("model"), name);
    EXPECT_EQ(model->at("link"), IsUsbModel(name) ? "USB" : "COM");
    EXPECT_EQ(model->at("limit"), std::to_string(SizeLimitOf(name).bytes));
    EXPECT_EQ(std::stoi(model->at("code"), nullptr, 16), ModelCode(i));
    for (const char* member : {"erase", "blocks", "reconnect", "loaderId"}) {
      EXPECT_EQ(legend->count(model->at(member)), 1u) << member << " of " << name;
    }
  }
}

TEST(CliListings, VersionInJsonIsOneObject) {
  ChildProcess version(MORVIX_CLI, {"--version", "--json"});
  const std::vector<std::string> lines = Lines(version.ReadAll(5s));
  EXPECT_EQ(version.Wait(), 0);
  ASSERT_EQ(lines.size(), 1u);
  const auto object = json_line::ParseObjectLine(lines[0]);
  ASSERT_TRUE(object) << lines[0];
  EXPECT_EQ(object->at("schema"), std::to_string(kJsonSchema));
  const auto image = json_line::ParseObjectLine(object->at("builtInImage"));
  ASSERT_TRUE(image) << lines[0];
  EXPECT_THAT(image->at("name"), ::testing::EndsWith(".bin"));
  EXPECT_GT(std::stoul(image->at("size")), 0u);
}

TEST_F(CliTest, ListPortsInJsonIsOneObject) {
  const fs::path sys = dir_ / "sys";
  fs::create_directories(sys / "class" / "tty");
  const EnvironmentVariable root("MORVIX_SYSFS_ROOT", sys.c_str());
  ChildProcess ports(MORVIX_CLI, {"--list-ports", "--json"});
  const std::vector<std::string> portLines = Lines(ports.ReadAll(5s));
  EXPECT_EQ(ports.Wait(), 0);
  ASSERT_EQ(portLines.size(), 1u);
  const auto survey = json_line::ParseObjectLine(portLines[0]);
  ASSERT_TRUE(survey) << portLines[0];
  EXPECT_EQ(survey->at("ports"), "[]");
}

TEST(CliListings, VersionNamesTheBuiltInImageAndItsSize) {
  ChildProcess cli(MORVIX_CLI, {"--version"});
  const std::vector<std::string> lines = Lines(cli.ReadAll(5s));
  EXPECT_EQ(cli.Wait(), 0);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].rfind("morvix-fwupdate-cli ", 0), 0u);
  // The default build carries the demo image and says so.
  EXPECT_THAT(lines[1], ::testing::MatchesRegex(
                            "built-in image: [^ ]+_[^ ]*\\.bin \\([0-9]+ bytes, (firmware|the "
                            "DEMO image: it only updates a simulated PLC)\\)"));
}

// --- Several units at once -------------------------------------------------------

using Members = std::map<std::string, std::string>;

// The records --log wrote, one object per line.
std::vector<Members> Records(const fs::path& log) {
  std::vector<Members> records;
  for (const std::string& line : Lines(ReadText(log))) {
    const auto record = json_line::ParseObjectLine(line);
    EXPECT_TRUE(record) << line;
    if (record) records.push_back(*record);
  }
  return records;
}

// The summary's row of `unit`: its outcome, its seconds and its final line.
// The summary is last; on a terminal the unit's line of the block came before.
std::string SummaryRow(const std::vector<std::string>& lines, const std::string& unit) {
  for (auto line = lines.rbegin(); line != lines.rend(); ++line) {
    if (line->rfind(unit + "  ", 0) == 0) return *line;
  }
  return "";
}

// The flash a simulator wrote holds what the model sends of the image, then
// the fill of the last block.
void ExpectFlashHoldsImage(const fs::path& flash, const fs::path& image, const char* model) {
  const std::string written = ReadText(flash);
  std::string expected = ReadText(image);
  expected.resize(BlockPlanOf(model, static_cast<uint32_t>(expected.size())).imageBytes);
  ASSERT_GE(written.size(), expected.size()) << flash;
  EXPECT_EQ(written.compare(0, expected.size(), expected), 0) << flash;
  EXPECT_EQ(written.find_first_not_of('\x1A', expected.size()), std::string::npos) << flash;
}

// Four PLCs on four ports at the same time; the third fails to write its
// flash. The others are updated all the same, and the run says which failed.
TEST_F(CliTest, FourUnitsAtOnceEndEachOnItsOwnAndTheSummarySaysWhichFailed) {
  const std::string image = MakeImage("KR2-E_test.bin", 30000);
  const fs::path log = dir_ / "units.jsonl";
  std::vector<std::string> links;
  std::vector<std::unique_ptr<ChildProcess>> plcs;
  std::vector<std::string> args = {"--image", image, "--log", log.string()};
  for (int i = 0; i < 4; ++i) {
    links.push_back((dir_ / ("ttyPLC" + std::to_string(i))).string());
    std::vector<std::string> extra = {"--exit-when-complete", "--flash-out",
                                      (dir_ / ("flash" + std::to_string(i))).string()};
    if (i == 2) extra = {"--flash-error", "block@3"};
    plcs.push_back(
        StartPlcOn(links[i], "report" + std::to_string(i) + ".json", "KR2-E", image, extra));
    args.insert(args.end(), {"--port", links[i]});
  }
  const Run run = RunCli(args);

  EXPECT_EQ(run.status, 1) << run.output;
  const std::vector<std::string> lines = Lines(run.output);
  ASSERT_FALSE(lines.empty());
  EXPECT_THAT(lines.front(),
              ::testing::StartsWith("Model KR2-E, image " + image + " (30000 bytes, SHA-256 " +
                                    Sha256Sum(image) + "), 4 units: " + links[0] + ", "));
  for (int i = 0; i < 4; ++i) {
    const std::string last = i == 2 ? kFlashWriteError : kComSuccess;
    // Each unit's own lines, its last word among them.
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "[" + links[i] + "] " + last), 1)
        << run.output;
    EXPECT_GT(CountStartingWith(lines, "[" + links[i] + "] Programming "), 0u);
    const std::string row = SummaryRow(lines, links[i]);
    EXPECT_THAT(row, ::testing::MatchesRegex(".*  " + std::string(i == 2 ? "failure" : "success") +
                                             " +[0-9]+\\.[0-9]  .*"))
        << row;
    EXPECT_THAT(row, ::testing::EndsWith("  " + last));
  }
  EXPECT_EQ(lines.back(), "3 of 4 units updated, 1 failed.");

  for (int i = 0; i < 4; ++i) {
    if (i == 2) {
      EXPECT_EQ(plcs[i]->Stop(SIGTERM), 0) << "the fault is no violation";
      EXPECT_THAT(ReadText(dir_ / "report2.json"), HasSubstr("\"updateComplete\": false"));
      continue;
    }
    ExpectCleanReport(*plcs[i], "report" + std::to_string(i) + ".json");
    ExpectFlashHoldsImage(dir_ / ("flash" + std::to_string(i)), image, "KR2-E");
  }

  const std::vector<Members> records = Records(log);
  ASSERT_EQ(records.size(), 4u);
  std::map<std::string, Members> byUnit;
  for (const Members& record : records) byUnit[record.at("unit")] = record;
  for (int i = 0; i < 4; ++i) {
    const Members& record = byUnit[links[i]];
    EXPECT_EQ(record.at("model"), "KR2-E");
    EXPECT_EQ(record.at("image"), image);
    EXPECT_EQ(record.at("size"), "30000");
    EXPECT_EQ(record.at("sha256"), Sha256Sum(image));
    EXPECT_THAT(record.at("time"),
                ::testing::MatchesRegex(
                    "20[0-9][0-9]-[01][0-9]-[0-3][0-9]T[0-2][0-9]:[0-5][0-9]:[0-6][0-9]Z"));
    EXPECT_EQ(record.at("outcome"), i == 2 ? "failure" : "success");
    EXPECT_EQ(record.at("caption") + ": " + record.at("message"),
              i == 2 ? kFlashWriteError : kComSuccess);
    EXPECT_EQ(record.at("exit"), i == 2 ? "1" : "0");
    EXPECT_EQ(record.at("totalErrCounter"), "0");
    EXPECT_EQ(record.count("reason"), i == 2 ? 1u : 0u);
  }
}

// A script reads several units as it reads one: every event names its unit,
// and the last line sums them up.
TEST_F(CliTest, SeveralUnitsInJsonNameTheirUnitInEveryEventAndEndWithTheSummary) {
  const Run run = RunCli({"--simulate", "--image", MakeImage("KR2-E_test.bin", 3000), "--port",
                          "COM3", "--port", "COM12", "--json"});
  EXPECT_EQ(run.status, 0) << run.output;
  const std::vector<std::string> lines = Lines(run.output);
  ASSERT_GT(lines.size(), 2u);
  std::map<std::string, std::vector<std::string>> events;
  for (size_t i = 0; i + 1 < lines.size(); ++i) {
    const auto event = json_line::ParseObjectLine(lines[i]);
    ASSERT_TRUE(event) << lines[i];
    events[event->at("unit")].push_back(event->at("event"));
  }
  ASSERT_EQ(events.size(), 2u);
  for (const auto& [unit, names] : events) {
    EXPECT_EQ(names.front(), "start") << unit;
    EXPECT_EQ(names.back(), "result") << unit;
  }
  const auto summary = json_line::ParseObjectLine(lines.back());
  ASSERT_TRUE(summary) << lines.back();
  EXPECT_EQ(summary->at("event"), "summary");
  EXPECT_EQ(summary->at("succeeded"), "2");
  EXPECT_EQ(summary->at("failed"), "0");
  EXPECT_EQ(summary->at("exit"), "0");
  const auto units = json_line::ParseArray(summary->at("units"));
  ASSERT_TRUE(units);
  ASSERT_EQ(units->size(), 2u);
  const auto first = json_line::ParseObjectLine((*units)[0]);
  EXPECT_EQ(first->at("unit"), "COM3");
  EXPECT_EQ(first->at("outcome"), "success");
  EXPECT_EQ(first->at("message"), "Firmware update is SUCCESSFUL");
}

// Ctrl-C stops every unit, each where it stood.
TEST_F(CliTest, CtrlCStopsEveryUnitAndTheSummaryTellsThemInterrupted) {
  ChildProcess cli(MORVIX_CLI, {"--simulate", "--image", MakeImage("KR2-E_big.bin", 300000),
                                "--port", "a", "--port", "b"});
  // Both transfers under way: on a loaded machine one unit may still erase
  // when the other already writes.
  bool writing[2] = {false, false};
  for (std::string line; !(writing[0] && writing[1]);) {
    line = cli.NextLine(10s);
    ASSERT_FALSE(line.empty()) << "no transfer started";
    for (int unit = 0; unit < 2; ++unit) {
      const std::string tag = std::string("[") + "ab"[unit] + "] Programming";
      writing[unit] = writing[unit] || line.rfind(tag, 0) == 0;
    }
  }
  cli.Signal(SIGINT);
  EXPECT_EQ(cli.Wait(20s), 130);
  const std::vector<std::string> lines = Lines(cli.ReadAll(1s));
  for (const char* unit : {"a", "b"}) {
    EXPECT_EQ(CountStartingWith(lines, std::string("[") + unit +
                                           "] ERROR: Interrupted in phase 2, writing the image"),
              1u);
    EXPECT_THAT(SummaryRow(lines, unit), HasSubstr("  interrupted "));
  }
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "0 of 2 units updated, 2 interrupted.");
}

// Two MU on USB (a model that asks for the replug and waits 2 s after it): after the replug the
// system hands their tty names out the other way round. Each unit reopens the PLC at its own
// location: the PLC at 1-2, which fails to write its flash, is reported at 1-2.
TEST_F(CliTest, UsbUnitsAreReopenedAtTheirLocationsWhenTheTtyNamesSwap) {
  FakeSysfs sysfs;
  const EnvironmentVariable root("MORVIX_SYSFS_ROOT", sysfs.Sys().c_str());
  const std::string image = MakeImage("MU_test.bin", 20000);
  const std::string linkA = (dir_ / "plcA").string();
  const std::string linkB = (dir_ / "plcB").string();
  auto plcA = StartPlcOn(linkA, "reportA.json", "MU", image,
                         {"--exit-when-complete", "--flash-out", (dir_ / "flashA").string()});
  auto plcB = StartPlcOn(linkB, "reportB.json", "MU", image, {"--flash-error", "block@2"});
  const auto attach = [&](const char* location, const char* tty, const std::string& link) {
    const fs::path device = sysfs.UsbDevice(location, "3e9a", "0001");
    sysfs.AcmTty(device, tty);
    fs::create_symlink(link, sysfs.Dev() / tty);
    return device;
  };
  const fs::path atOne = attach("1-1", "ttyACM0", linkA);
  const fs::path atTwo = attach("1-2", "ttyACM1", linkB);
  const fs::path log = dir_ / "units.jsonl";

  ChildProcess cli(MORVIX_CLI, {"--usb", "all", "--image", image, "--log", log.string()}, "",
                   ChildOutput::kTerminal);
  std::string output;
  for (std::string line; output.find("Press Enter to continue.") == std::string::npos;) {
    line = cli.NextLine(15s);
    ASSERT_FALSE(line.empty()) << "no prompt: " << output;
    output += line + "\n";
  }
  // Both replugged: 1-2 comes back first and is given ttyACM0.
  for (const fs::path& device : {atOne, atTwo}) sysfs.Unplug(device);
  fs::remove(sysfs.Dev() / "ttyACM0");
  fs::remove(sysfs.Dev() / "ttyACM1");
  attach("1-2", "ttyACM0", linkB);
  attach("1-1", "ttyACM1", linkA);
  cli.Type("\n");
  output += cli.ReadAll(30s);
  EXPECT_EQ(cli.Wait(5s), 1) << output;

  const std::string prompt = std::string(kReplugPrompt) + " (2 PLCs: 1-1, 1-2)";
  size_t prompts = 0;
  for (size_t at = output.find("Please REPLUG"); at != std::string::npos;
       at = output.find("Please REPLUG", at + 1)) {
    ++prompts;
  }
  EXPECT_EQ(prompts, 1u) << "one prompt for both";
  EXPECT_NE(output.find(prompt), std::string::npos) << output;
  const std::vector<std::string> lines = Lines(output);
  EXPECT_THAT(SummaryRow(lines, "1-1"), ::testing::EndsWith(kUsbSuccess));
  EXPECT_THAT(SummaryRow(lines, "1-2"), ::testing::EndsWith(kFlashWriteError));
  ExpectCleanReport(*plcA, "reportA.json");
  ExpectFlashHoldsImage(dir_ / "flashA", image, "MU");
  EXPECT_EQ(plcB->Stop(SIGTERM), 0);
  const std::vector<Members> records = Records(log);
  ASSERT_EQ(records.size(), 2u);
  for (const Members& record : records) {
    EXPECT_EQ(record.at("outcome"), record.at("unit") == "1-1" ? "success" : "failure");
    // These devices report no serial number, after the replug either.
    EXPECT_EQ(record.at("serialAfterReplug"), "null");
  }
}

TEST_F(CliTest, ListPortsShowsEachUsbPlcsLocationIdsAndSerial) {
  FakeSysfs sysfs;
  const EnvironmentVariable root("MORVIX_SYSFS_ROOT", sysfs.Sys().c_str());
  const fs::path hub = sysfs.UsbDevice("1-1", "05e3", "0608");
  const fs::path plc = sysfs.UsbDevice("1-1.10", "3e9a", "0001", hub);
  sysfs.Attribute(plc, "serial", "MX0042");
  sysfs.Attribute(plc, "manufacturer", "Morvix");
  sysfs.AcmTty(plc, "ttyACM1");
  sysfs.AcmTty(sysfs.UsbDevice("1-1.2", "3e9a", "0001", hub), "ttyACM0");
  sysfs.UsbSerialTty(sysfs.UsbDevice("1-2", "0403", "6001"), "ttyUSB0");

  const Run human = RunCli({"--list-ports"});
  EXPECT_EQ(human.status, 0);
  EXPECT_THAT(
      Lines(human.output),
      ::testing::ElementsAre(
          "Serial ports:", "  " + sysfs.DevPath("ttyACM0"), "  " + sysfs.DevPath("ttyACM1"),
          "  " + sysfs.DevPath("ttyUSB0"), "USB PLCs (--usb LOCATION):",
          "  1-1.2   3e9a:0001  no serial  " + sysfs.DevPath("ttyACM0"),
          "  1-1.10  3e9a:0001  serial MX0042  " + sysfs.DevPath("ttyACM1") + "  (Morvix)"));

  const Run json = RunCli({"--list-ports", "--json"});
  EXPECT_EQ(json.status, 0);
  const auto survey = json_line::ParseObjectLine(json.output);
  ASSERT_TRUE(survey) << json.output;
  const auto plcs = json_line::ParseArray(survey->at("usbPlcs"));
  ASSERT_TRUE(plcs);
  ASSERT_EQ(plcs->size(), 2u);
  const auto second = json_line::ParseObjectLine((*plcs)[1]);
  EXPECT_EQ(*second, (Members{{"location", "1-1.10"},
                              {"device", sysfs.DevPath("ttyACM1")},
                              {"vendorId", "3e9a"},
                              {"productId", "0001"},
                              {"serial", "MX0042"},
                              {"manufacturer", "Morvix"},
                              {"product", ""}}));
}

// --- Files and ports the operator names ----------------------------------------------

struct FileCase {
  const char* name;
  std::vector<std::string> args;  // IMAGE, LINK_TO_IMAGE, TRACE, FIFO, DIR: made by the test
};

void PrintTo(const FileCase& c, std::ostream* os) { *os << c.name; }

class CliFiles : public CliTest, public ::testing::WithParamInterface<FileCase> {};

// One file under two names, or a trace or log that is no regular file: a
// usage error before anything is opened; the image keeps its bytes, and a
// trace from before keeps its own.
TEST_P(CliFiles, AreRefusedBeforeAnythingIsOpenedAndTheImageStaysWhole) {
  const std::string image = MakeImage("KR2-E_test.bin", 5000);
  const std::string before = Sha256Sum(image);
  const fs::path trace = dir_ / "old.trace";
  std::ofstream(trace) << "yesterday's trace\n";
  std::vector<std::string> args = {"--port", link_, "--yes"};
  for (std::string arg : GetParam().args) {
    if (arg == "IMAGE") arg = image;
    if (arg == "LINK_TO_IMAGE") fs::create_symlink(image, arg = (dir_ / "log.jsonl").string());
    if (arg == "TRACE") arg = trace.string();
    if (arg == "DIR") arg = dir_.string();
    if (arg == "FIFO") {
      arg = (dir_ / "fifo").string();
      ASSERT_EQ(mkfifo(arg.c_str(), 0600), 0);
    }
    args.push_back(arg);
  }
  auto plc = StartPlc("KR2-E", image);
  ChildProcess cli(MORVIX_CLI, args, "", ChildOutput::kPipe);
  const std::string output = cli.ReadAll(10s);
  EXPECT_EQ(cli.Wait(5s), 2) << "no hang, a usage error";
  EXPECT_EQ(output, "");
  EXPECT_EQ(Sha256Sum(image), before);
  EXPECT_EQ(ReadText(trace), "yesterday's trace\n");
  EXPECT_EQ(plc->Stop(SIGTERM), 0);
  EXPECT_THAT(ReadText(dir_ / "report.json"), HasSubstr("\"connections\": 0,"));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CliFiles,
    ::testing::Values(FileCase{"TraceOverTheImage", {"--image", "IMAGE", "--trace", "IMAGE"}},
                      FileCase{"LogOverTheImage", {"--image", "IMAGE", "--log", "LINK_TO_IMAGE"}},
                      FileCase{"LogOverTheTrace",
                               {"--image", "IMAGE", "--trace", "TRACE", "--log", "TRACE"}},
                      FileCase{"LogThatIsAFifo", {"--image", "IMAGE", "--log", "FIFO"}},
                      FileCase{"TraceThatIsAFifo", {"--image", "IMAGE", "--trace", "FIFO"}},
                      FileCase{"LogThatIsADevice", {"--image", "IMAGE", "--log", "/dev/full"}},
                      // The trace is replaced only once every check has passed.
                      FileCase{"TraceWithALogThatIsAFolder",
                               {"--image", "IMAGE", "--trace", "TRACE", "--log", "DIR"}}),
    [](const auto& info) { return std::string(info.param.name); });

// A port and a symbolic link to it, as /dev/ttyUSB0 and its /dev/serial/by-id
// name: one unit, refused before either opens, naming both.
TEST_F(CliTest, OnePortUnderTwoNamesIsAUsageErrorBeforeAnyPortOpens) {
  const std::string image = MakeImage("KR2-E_test.bin", 5000);
  const std::string byId = (dir_ / "usb-Morvix_PLC-if00").string();
  fs::create_symlink(link_, byId);
  auto plc = StartPlc("KR2-E", image);
  ChildProcess cli(MORVIX_CLI, {"--image", image, "--port", link_, "--port", byId, "--yes"}, "",
                   ChildOutput::kTerminal);
  const std::string output = cli.ReadAll(10s);
  EXPECT_EQ(cli.Wait(5s), 2);
  EXPECT_THAT(output, HasSubstr(link_ + " and " + byId + " are the same port"));
  EXPECT_EQ(plc->Stop(SIGTERM), 0);
  EXPECT_THAT(ReadText(dir_ / "report.json"), HasSubstr("\"connections\": 0,"));
}

// A log the system refuses to grow (the file size limit): the PLC is
// updated, and the run says the record is lost and ends with 6.
TEST_F(CliTest, ARecordThatCannotBeWrittenEndsTheRunWith6) {
  const std::string image = MakeImage("KR2-E_test.bin", 5000);
  const fs::path log = dir_ / "units.jsonl";
  auto plc = StartPlc("KR2-E", image, {"--exit-when-complete"});
  ChildProcess cli("/bin/sh",
                   {"-c", "ulimit -f 0; exec \"$0\" \"$@\"", MORVIX_CLI, "--image", image, "--port",
                    link_, "--yes", "--json", "--log", log.string(), "--label",
                    "(21)A7\x1D"
                    "42"});
  const std::vector<std::string> lines = Lines(cli.ReadAll(30s));
  EXPECT_EQ(cli.Wait(5s), 6);
  ExpectCleanReport(*plc);
  std::vector<Members> events;
  for (const std::string& line : lines) {
    const auto event = json_line::ParseObjectLine(line);
    ASSERT_TRUE(event) << line;
    events.push_back(*event);
  }
  ASSERT_GE(events.size(), 2u);
  EXPECT_EQ(events.front().at("schema"), std::to_string(kJsonSchema));
  const Members& result = events[events.size() - 2];
  EXPECT_EQ(result.at("event"), "result");
  EXPECT_EQ(result.at("exit"), "0");
  const Members& logError = events.back();
  EXPECT_EQ(logError.at("event"), "logError");
  EXPECT_EQ(logError.at("exit"), "6");
  EXPECT_EQ(logError.at("log"), log.string());
  EXPECT_THAT(logError.at("reason"), HasSubstr("could not be written"));
  for (const Members& event : events)
    EXPECT_EQ(event.at("label"),
              "(21)A7\x1D"
              "42");
  EXPECT_EQ(ReadText(log), "");
}

// --usb all with no PLC attached ends as any failure does: a result with
// its reason and hint, the summary, and a record.
TEST_F(CliTest, UsbAllWithNothingAttachedEndsWithAReasonASummaryAndARecord) {
  FakeSysfs sysfs;
  const EnvironmentVariable root("MORVIX_SYSFS_ROOT", sysfs.Sys().c_str());
  const fs::path log = dir_ / "units.jsonl";
  const Run run = RunCli({"--usb", "all", "--image", MakeImage("MU_test.bin", 20000), "--yes",
                          "--json", "--log", log.string(), "--host-name", "line-7"});
  EXPECT_EQ(run.status, 4) << run.output;
  const std::vector<std::string> lines = Lines(run.output);
  ASSERT_EQ(lines.size(), 2u) << run.output;
  const auto result = json_line::ParseObjectLine(lines[0]);
  const auto summary = json_line::ParseObjectLine(lines[1]);
  ASSERT_TRUE(result && summary) << run.output;
  EXPECT_EQ(result->at("event"), "result");
  EXPECT_EQ(result->at("schema"), std::to_string(kJsonSchema));
  EXPECT_THAT(result->at("reason"), HasSubstr("No USB PLC"));
  EXPECT_THAT(result->at("hint"), HasSubstr("--list-ports"));
  EXPECT_EQ(summary->at("event"), "summary");
  EXPECT_EQ(summary->at("exit"), "4");
  const std::vector<Members> records = Records(log);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].at("outcome"), "failure");
  EXPECT_EQ(records[0].at("exit"), "4");
  EXPECT_EQ(records[0].at("host"), "line-7");
  EXPECT_THAT(records[0].at("reason"), HasSubstr("No USB PLC"));
}

// --info names the port as every other output does: escaped.
TEST_F(CliTest, InfoPrintsThePortsNameEscaped) {
  const std::string image = MakeImage("KR2-E_test.bin", 5000);
  const std::string odd = (dir_ / "tty\n\x1b[31mred").string();
  fs::create_symlink(link_, odd);
  auto plc = StartPlc("KR2-E", image);
  const Run run = RunCli({"--info", "--model", "KR2-E", "--port", odd});
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(run.output.find('\x1b'), std::string::npos) << run.output;
  EXPECT_THAT(run.output, HasSubstr("PLC on " + (dir_ / "tty\\n\\x1B[31mred").string()));
  EXPECT_EQ(plc->Stop(SIGTERM), 0);
}

// --- Station mode --------------------------------------------------------------------

// The JSON events of a station as they come. On a terminal the bell rings
// there too (standard error, in the middle of the JSON): it is counted.
class StationEvents {
 public:
  explicit StationEvents(ChildProcess& station) : station_(station) {}
  // The next event named `name`, the others passed over.
  Members Next(const std::string& name, std::chrono::milliseconds limit = 30s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
      std::string line = station_.NextLine(1s);
      bells_ += std::erase(line, '\a');
      const auto event = json_line::ParseObjectLine(line);
      if (event && event->at("event") == name) return *event;
    }
    ADD_FAILURE() << "no " << name << " event";
    return {};
  }
  // Whether an event named `name` comes within `limit`.
  bool Sees(const std::string& name, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
      const auto event = json_line::ParseObjectLine(station_.NextLine(100ms));
      if (event && event->at("event") == name) return true;
    }
    return false;
  }
  size_t Bells() const { return bells_; }

 private:
  ChildProcess& station_;
  size_t bells_ = 0;
};

// Three MU attached one after another. The second comes while the first
// is still plugged in: the first is not taken again. The third fails.
TEST_F(CliTest, StationUpdatesEachUsbPlcAttachedAndCountsTheDay) {
  FakeSysfs sysfs;
  const EnvironmentVariable root("MORVIX_SYSFS_ROOT", sysfs.Sys().c_str());
  const std::string image = MakeImage("MU_test.bin", 20000);
  const fs::path log = dir_ / "station.jsonl";
  const auto attach = [&](int n, const char* location, const char* tty, const char* serial,
                          std::vector<std::string> faults) {
    const std::string link = (dir_ / ("plc" + std::to_string(n))).string();
    faults.insert(faults.end(), {"--flash-out", (dir_ / ("flash" + std::to_string(n))).string()});
    auto plc = StartPlcOn(link, "report" + std::to_string(n) + ".json", "MU", image, faults);
    const fs::path device = sysfs.UsbDevice(location, "3e9a", "0001");
    if (*serial != '\0') sysfs.Attribute(device, "serial", serial);
    sysfs.AcmTty(device, tty);
    fs::create_symlink(link, sysfs.Dev() / tty);
    return std::pair{std::move(plc), device};
  };
  const auto unplug = [&](const fs::path& device, const char* tty) {
    sysfs.Unplug(device);
    fs::remove(sysfs.Dev() / tty);
  };

  ChildProcess station(MORVIX_CLI,
                       {"--station", "--image", image, "--yes", "--json", "--log", log.string()});
  StationEvents events(station);
  events.Next("waiting");
  auto [first, atOne] = attach(1, "1-1", "ttyACM0", "SER1", {"--exit-when-complete"});
  Members tally = events.Next("tally");
  EXPECT_EQ(tally["unit"], "1-1");
  EXPECT_EQ(tally["outcome"], "success");
  EXPECT_EQ(tally["succeeded"], "1");
  events.Next("remove");

  auto [second, atTwo] = attach(2, "1-2", "ttyACM1", "SER2", {"--exit-when-complete"});
  tally = events.Next("tally");
  EXPECT_EQ(tally["unit"], "1-2") << "the PLC at 1-1 was updated already";
  EXPECT_EQ(tally["outcome"], "success");
  EXPECT_EQ(tally["succeeded"], "2");
  events.Next("remove");
  unplug(atOne, "ttyACM0");
  unplug(atTwo, "ttyACM1");

  auto [third, atOneAgain] = attach(3, "1-1", "ttyACM0", "", {"--flash-error", "block@2"});
  tally = events.Next("tally");
  EXPECT_EQ(tally["unit"], "1-1");
  EXPECT_EQ(tally["outcome"], "failure");
  EXPECT_EQ(tally["succeeded"], "2");
  EXPECT_EQ(tally["failed"], "1");
  events.Next("remove");
  station.Signal(SIGINT);
  const Members day = events.Next("day");
  EXPECT_EQ(day.at("succeeded"), "2");
  EXPECT_EQ(day.at("failed"), "1");
  EXPECT_EQ(day.at("exit"), "1");
  EXPECT_EQ(station.Wait(10s), 1);

  ExpectCleanReport(*first, "report1.json");
  ExpectCleanReport(*second, "report2.json");
  ExpectFlashHoldsImage(dir_ / "flash1", image, "MU");
  ExpectFlashHoldsImage(dir_ / "flash2", image, "MU");
  EXPECT_EQ(third->Stop(SIGTERM), 0);
  const std::vector<Members> records = Records(log);
  ASSERT_EQ(records.size(), 3u);
  const std::vector<std::tuple<std::string, std::string, std::string>> expected = {
      {"1-1", "SER1", "success"}, {"1-2", "SER2", "success"}, {"1-1", "", "failure"}};
  for (size_t i = 0; i < records.size(); ++i) {
    const Members& record = records[i];
    EXPECT_EQ(std::tuple(record.at("unit"), record.count("serial") ? record.at("serial") : "",
                         record.at("outcome")),
              expected[i]);
  }
  EXPECT_EQ(records[2].at("caption") + ": " + records[2].at("message"), kFlashWriteError);
}

// On a serial port nothing tells that the PLC changed: the station asks the
// port until a PLC answers, and the operator's Enter says the next is there.
TEST_F(CliTest, StationOnASerialPortTakesThePlcThatAnswersAndTheNextAfterEnter) {
  const std::string image = MakeImage("KR2-E_test.bin", 20000);
  ChildProcess station(MORVIX_CLI, {"--station", "--image", image, "--port", link_, "--json"}, "",
                       ChildOutput::kTerminal);
  StationEvents events(station);
  events.Next("waiting");
  auto first = StartPlc("KR2-E", image, {"--exit-when-complete"});
  EXPECT_EQ(events.Next("tally")["outcome"], "success");
  events.Next("next");
  ExpectCleanReport(*first);
  // The station's look at the PLC, its first connection, only asked.
  const std::string report = ReadText(dir_ / "report.json");
  for (const std::string& request : Lines(report)) {
    if (request.find("\"connection\": 1,") == std::string::npos) continue;
    EXPECT_EQ(request.find("erase"), std::string::npos) << request;
    EXPECT_EQ(request.find("\"mode\": \"loader\""), std::string::npos) << request;
  }
  EXPECT_THAT(report, HasSubstr("\"connection\": 2,"));

  auto second = StartPlcOn(link_, "report2.json", "KR2-E", image, {"--exit-when-complete"});
  station.Type("\n");
  const Members tally = events.Next("tally");
  EXPECT_EQ(tally.at("outcome"), "success");
  EXPECT_EQ(tally.at("succeeded"), "2");
  events.Next("next");
  station.Signal(SIGINT);
  const Members day = events.Next("day");
  EXPECT_EQ(day.at("succeeded"), "2");
  EXPECT_EQ(day.at("exit"), "0");
  EXPECT_EQ(events.Bells(), 2u) << "one for each PLC";
  EXPECT_EQ(station.Wait(10s), 0);
  ExpectCleanReport(*second, "report2.json");
}

// Two MU attached, a station told one location: the PLC elsewhere is never
// opened. The station asks each unit's label (an empty one is refused, one
// given before is warned of); every event of the day counts from one clock,
// and the day's first says the schema.
TEST_F(CliTest, StationAtOneUsbLocationTakesOnlyThePlcsThereUnderTheirLabels) {
  FakeSysfs sysfs;
  const EnvironmentVariable root("MORVIX_SYSFS_ROOT", sysfs.Sys().c_str());
  const std::string image = MakeImage("MU_test.bin", 20000);
  const fs::path log = dir_ / "station.jsonl";
  std::vector<std::unique_ptr<ChildProcess>> plcs;
  for (const char* at : {"1-1", "1-2"}) {
    const std::string link = (dir_ / (std::string("plc") + at)).string();
    plcs.push_back(StartPlcOn(link, std::string("report") + at + ".json", "MU", image,
                              {"--flash-out", (dir_ / (std::string("flash") + at)).string()}));
    const fs::path device = sysfs.UsbDevice(at, "3e9a", "0001");
    sysfs.Attribute(device, "serial", std::string("SER") + at);
    const std::string tty = std::string("ttyACM") + (at[2] == '1' ? "0" : "1");
    sysfs.AcmTty(device, tty);
    fs::create_symlink(link, sysfs.Dev() / tty);
  }
  ChildProcess station(MORVIX_CLI,
                       {"--station", "--usb", "1-2", "--ask-label", "--image", image, "--yes",
                        "--json", "--log", log.string(), "--host-name", "line-7"},
                       "\n(21)A7\x1D"
                       "42\n(21)A7\x1D"
                       "42\n",
                       ChildOutput::kPipe, (dir_ / "stderr").string());
  // The same label again for the next PLC: a warning, and the wait for it.
  std::string output;
  for (size_t waits = 0; waits < 2;) {
    const std::string line = station.NextLine(30s);
    ASSERT_FALSE(line.empty()) << output;
    waits += line.find("\"event\":\"waiting\"") != std::string::npos ? 1 : 0;
    output += line + "\n";
  }
  station.Signal(SIGINT);
  output += station.ReadAll(10s);
  EXPECT_EQ(station.Wait(5s), 0) << output;
  std::vector<Members> events;
  for (const std::string& line : Lines(output)) {
    const auto event = json_line::ParseObjectLine(line);
    ASSERT_TRUE(event) << line;
    events.push_back(*event);
  }
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.front().at("schema"), std::to_string(kJsonSchema));
  long last = 0;
  size_t asked = 0;
  for (const Members& event : events) {
    EXPECT_GE(std::stol(event.at("t")), last) << event.at("event");
    last = std::stol(event.at("t"));
    asked += event.at("event") == "ask" ? 1 : 0;
    if (event.count("unit") != 0 && event.at("event") != "remove") {
      EXPECT_EQ(event.at("unit"), "1-2") << event.at("event");
    }
  }
  EXPECT_GE(last, 2000) << "the replug's wait, counted from the program's start";
  EXPECT_EQ(asked, 3u) << "again after the empty label, and for the next PLC";
  EXPECT_THAT(ReadText(dir_ / "stderr"), HasSubstr("a label cannot be empty"));
  EXPECT_THAT(ReadText(dir_ / "stderr"), HasSubstr("was given before"));
  EXPECT_EQ(events.back().at("event"), "day");
  EXPECT_EQ(events.back().at("succeeded"), "1");

  EXPECT_EQ(plcs[0]->Stop(SIGTERM), 0);
  EXPECT_THAT(ReadText(dir_ / "report1-1.json"), HasSubstr("\"connections\": 0,"));
  EXPECT_EQ(plcs[1]->Stop(SIGTERM), 0);
  ExpectFlashHoldsImage(dir_ / "flash1-2", image, "MU");
  const std::vector<Members> records = Records(log);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].at("unit"), "1-2");
  EXPECT_EQ(records[0].at("label"),
            "(21)A7\x1D"
            "42");
  EXPECT_EQ(records[0].at("serial"), "SER1-2");
  EXPECT_EQ(records[0].at("serialAfterReplug"), "SER1-2");
  EXPECT_EQ(records[0].at("host"), "line-7");
  EXPECT_EQ(records[0].at("outcome"), "success");
}

// Three MU with serial numbers. During the replug the operator puts the PLC
// from 1-2 (MXB) at 1-1 and a stranger (MXC) at 1-2. MXB passed phase 1
// itself: it is written at 1-1 and recorded as MXB. MXC is refused before
// any erase, with both serials in the reason.
TEST_F(CliTest, AfterTheReplugTheSerialDecidesWhichPlcIsWritten) {
  FakeSysfs sysfs;
  const EnvironmentVariable root("MORVIX_SYSFS_ROOT", sysfs.Sys().c_str());
  const std::string image = MakeImage("MU_test.bin", 20000);
  std::map<std::string, std::unique_ptr<ChildProcess>> plcs;
  for (const char* serial : {"MXA", "MXB", "MXC"}) {
    plcs[serial] = StartPlcOn((dir_ / serial).string(), std::string(serial) + ".json", "MU", image,
                              {"--flash-out", (dir_ / (std::string(serial) + ".flash")).string()});
  }
  const auto attach = [&](const char* location, const char* tty, const char* serial) {
    const fs::path device = sysfs.UsbDevice(location, "3e9a", "0001");
    sysfs.Attribute(device, "serial", serial);
    sysfs.AcmTty(device, tty);
    fs::create_symlink(dir_ / serial, sysfs.Dev() / tty);
    return device;
  };
  const fs::path atOne = attach("1-1", "ttyACM0", "MXA");
  const fs::path atTwo = attach("1-2", "ttyACM1", "MXB");
  const fs::path log = dir_ / "units.jsonl";
  ChildProcess cli(MORVIX_CLI, {"--usb", "all", "--image", image, "--log", log.string()}, "",
                   ChildOutput::kTerminal);
  std::string output;
  for (std::string line; output.find("Press Enter to continue.") == std::string::npos;) {
    line = cli.NextLine(15s);
    ASSERT_FALSE(line.empty()) << "no prompt: " << output;
    output += line + "\n";
  }
  for (const fs::path& device : {atOne, atTwo}) sysfs.Unplug(device);
  fs::remove(sysfs.Dev() / "ttyACM0");
  fs::remove(sysfs.Dev() / "ttyACM1");
  attach("1-1", "ttyACM0", "MXB");
  attach("1-2", "ttyACM1", "MXC");
  cli.Type("\n");
  output += cli.ReadAll(30s);
  EXPECT_EQ(cli.Wait(5s), 1) << output;
  EXPECT_THAT(output, HasSubstr("Why: After the replug the PLC at 1-2 reports the serial number "
                                "MXC, and the PLC that went through phase 1 there reported MXB"));
  EXPECT_THAT(output, HasSubstr("What to do: Put the PLCs back where they were"));
  EXPECT_THAT(SummaryRow(Lines(output), "1-2"),
              ::testing::AllOf(HasSubstr("  failure "),
                               ::testing::EndsWith("  ERROR: NO RESPONSE @ State 1")));

  for (auto& [serial, plc] : plcs) EXPECT_EQ(plc->Stop(SIGTERM), 0) << serial;
  ExpectFlashHoldsImage(dir_ / "MXB.flash", image, "MU");
  for (const char* untouched : {"MXA", "MXC"}) {
    EXPECT_THAT(ReadText(dir_ / (std::string(untouched) + ".json")),
                HasSubstr("\"eraseSteps\": 0,"))
        << untouched;
  }
  std::map<std::string, Members> byUnit;
  for (const Members& record : Records(log)) byUnit[record.at("unit")] = record;
  ASSERT_EQ(byUnit.size(), 2u);
  EXPECT_EQ(byUnit["1-1"].at("outcome"), "success");
  EXPECT_EQ(byUnit["1-1"].at("serial"), "MXB");
  EXPECT_EQ(byUnit["1-1"].at("serialAfterReplug"), "MXB");
  EXPECT_EQ(byUnit["1-2"].at("outcome"), "failure");
  EXPECT_EQ(byUnit["1-2"].at("serial"), "MXB");
  EXPECT_EQ(byUnit["1-2"].at("serialAfterReplug"), "MXC");
}

// --- --verify ---------------------------------------------------------------------

constexpr char kStillInLoader[] =
    "NOT verified: the PLC is still in its loader: the new firmware did not start";

// Every request the PLC heard after the update was closed: what --info asks
// in application mode, never a loader command or an erase.
void ExpectOnlyQueriesAfterTheUpdate(const fs::path& report) {
  const std::vector<std::string> lines = Lines(ReadText(report));
  const auto closed = std::find_if(lines.begin(), lines.end(), [](const std::string& line) {
    return line.find("\"request\": \"final-eot\"") != std::string::npos;
  });
  ASSERT_NE(closed, lines.end()) << "the update was not closed";
  size_t asked = 0;
  for (auto line = closed + 1; line != lines.end(); ++line) {
    const auto at = line->find("\"request\": \"");
    if (at == std::string::npos) continue;
    const std::string request = line->substr(at + 12, line->find('"', at + 12) - at - 12);
    EXPECT_THAT((std::vector<std::string>{"wake", "check", "app-id", "d1386", "d1001", "d1148"}),
                ::testing::Contains(request))
        << *line;
    ++asked;
  }
  EXPECT_GT(asked, 0u) << "the PLC was never asked";
}

struct VerifyCase {
  const char* name;
  const char* model;
  uint32_t size;
  std::vector<std::string> plcFaults;  // morvix-plcsim's
  bool replug;                         // a USB PLC, replugged by the test after the update
  bool verified;
  const char* lastLine;  // without --json; with it, what the verify event says
  const char* whatToDo;  // a piece of the "What to do:" line; nullptr: none
  const char* prompt;    // a line the verification shows first; nullptr: none
  bool json;
};

void PrintTo(const VerifyCase& c, std::ostream* os) { *os << c.name; }

class CliVerify : public CliTest, public ::testing::WithParamInterface<VerifyCase> {};

TEST_P(CliVerify, LastLineSaysWhetherThePlcRunsItsApplicationAgain) {
  const VerifyCase& c = GetParam();
  FakeSysfs sysfs;
  const EnvironmentVariable root("MORVIX_SYSFS_ROOT", sysfs.Sys().c_str());
  const std::string image = MakeImage(std::string(c.model) + "_test.bin", c.size);
  auto plc = StartPlc(c.model, image, c.plcFaults);
  const auto attach = [&] {
    const fs::path device = sysfs.UsbDevice("1-1", "3e9a", "0001");
    sysfs.Attribute(device, "serial", "MX0001");
    sysfs.AcmTty(device, "ttyACM0");
    fs::create_symlink(link_, sysfs.Dev() / "ttyACM0");
    return device;
  };
  std::vector<std::string> args = {"--image", image, "--yes", "--verify", "--verify-timeout", "4"};
  fs::path device;
  if (c.replug) {
    device = attach();
  } else {
    args.insert(args.end(), {"--port", link_});
  }
  if (c.json) args.push_back("--json");
  const fs::path errors = dir_ / "stderr.txt";
  ChildProcess cli(MORVIX_CLI, args, "", ChildOutput::kPipe, errors.string());
  std::string output;
  const std::string success = IsUsbModel(c.model) ? kUsbSuccess : kComSuccess;
  if (c.replug) {
    // The operator replugs the PLC once the update says so.
    for (std::string line; line.find(success) == std::string::npos;) {
      line = cli.NextLine(60s);
      ASSERT_FALSE(line.empty()) << output;
      output += line + "\n";
    }
    sysfs.Unplug(device);
    fs::remove(sysfs.Dev() / "ttyACM0");
    std::this_thread::sleep_for(700ms);
    attach();
  }
  output += cli.ReadAll(60s);
  const int status = cli.Wait(5s);
  EXPECT_EQ(status, c.verified ? 0 : 5) << output;
  const std::vector<std::string> lines = Lines(output);
  ASSERT_FALSE(lines.empty());
  if (c.json) {
    const auto verdict = json_line::ParseObjectLine(lines.back());
    ASSERT_TRUE(verdict) << lines.back();
    EXPECT_EQ(verdict->at("event"), "verify");
    EXPECT_EQ(verdict->at("verified"), c.verified ? "true" : "false");
    EXPECT_EQ(verdict->at("identity"), c.verified ? "0x0017" : "null");
    EXPECT_THAT(verdict->at("seconds"), ::testing::MatchesRegex("[0-9]+\\.[0-9]"));
    EXPECT_EQ(c.verified ? "" : "NOT verified: " + verdict->at("reason"),
              c.verified ? "" : c.lastLine);
    const auto result = json_line::ParseObjectLine(lines[lines.size() - 3]);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->at("event"), "result");
    EXPECT_EQ(result->at("exit"), "0");
  } else {
    EXPECT_EQ(lines.back(), c.lastLine);
    // The update's own last word comes before the verification.
    EXPECT_EQ(std::count(lines.begin(), lines.end(), success), 1) << output;
    EXPECT_EQ(std::count(lines.begin(), lines.end(), c.prompt ? c.prompt : ""), c.prompt ? 1 : 0);
  }
  const std::string said = ReadText(errors);
  if (c.whatToDo != nullptr) {
    EXPECT_THAT(said, HasSubstr("What to do: ")) << said;
    EXPECT_THAT(said, HasSubstr(c.whatToDo)) << said;
  } else {
    EXPECT_EQ(said.find("What to do:"), std::string::npos) << said;
  }
  EXPECT_EQ(plc->Stop(SIGTERM), 0) << "no violation";
  ExpectOnlyQueriesAfterTheUpdate(dir_ / "report.json");
}

constexpr char kVerifiedKr2E[] = "Verified: KR2-E runs its application again (identity 0x0017)";
constexpr char kSwitchOffAndOn[] = "Switch the PLC off and on, then run morvix-fwupdate-cli --info";
constexpr char kVerifyPowerCycle[] =
    "Information: Please POWER OFF=>ON the PLC to start the new firmware, and then press OK to "
    "continue";

INSTANTIATE_TEST_SUITE_P(
    Models, CliVerify,
    ::testing::Values(VerifyCase{"KR2_E_Verified",
                                 "KR2-E",
                                 20000,
                                 {},
                                 false,
                                 true,
                                 kVerifiedKr2E,
                                 nullptr,
                                 nullptr,
                                 false},
                      VerifyCase{"KR2_E_StillInItsLoaderJson",
                                 "KR2-E",
                                 20000,
                                 {"--restart-fails"},
                                 false,
                                 false,
                                 kStillInLoader,
                                 kSwitchOffAndOn,
                                 nullptr,
                                 true},
                      VerifyCase{"KR2_C_V2_VerifiedAfterThePowerCycle",
                                 "KR2-C-V2",
                                 20000,
                                 {},
                                 false,
                                 true,
                                 "Verified: KR2-C-V2 runs its application again (identity 0x000C)",
                                 nullptr,
                                 kVerifyPowerCycle,
                                 false},
                      VerifyCase{"KR2_C_V2_Silent",
                                 "KR2-C-V2",
                                 20000,
                                 {"--restart-fails", "silent"},
                                 false,
                                 false,
                                 "NOT verified: no answer from the PLC within 4 s of the update",
                                 kSwitchOffAndOn,
                                 kVerifyPowerCycle,
                                 false},
                      VerifyCase{"GL30_VerifiedAfterTheReplug",
                                 "GL30",
                                 40000,
                                 {},
                                 true,
                                 true,
                                 "Verified: GL30 runs its application again (identity 0x3000)",
                                 nullptr,
                                 nullptr,
                                 false},
                      VerifyCase{"GL30_StillInItsLoader",
                                 "GL30",
                                 40000,
                                 {"--restart-fails"},
                                 true,
                                 false,
                                 kStillInLoader,
                                 kSwitchOffAndOn,
                                 nullptr,
                                 false}),
    [](const auto& info) { return std::string(info.param.name); });

// Two PLCs at once: the one whose firmware does not start fails the run
// with status 5, and the summary and the records say which.
TEST_F(CliTest, OfTwoUnitsTheOneNotVerifiedFailsTheRunWithStatus5) {
  const std::string image = MakeImage("KR2-E_test.bin", 20000);
  const fs::path log = dir_ / "units.jsonl";
  const std::string good = (dir_ / "ttyGood").string();
  const std::string stuck = (dir_ / "ttyStuck").string();
  auto plcGood = StartPlcOn(good, "good.json", "KR2-E", image);
  auto plcStuck = StartPlcOn(stuck, "stuck.json", "KR2-E", image, {"--restart-fails"});
  const Run run = RunCli({"--image", image, "--port", good, "--port", stuck, "--verify",
                          "--verify-timeout", "4", "--log", log.string()});

  EXPECT_EQ(run.status, 5) << run.output;
  const std::vector<std::string> lines = Lines(run.output);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "[" + good + "] " + kVerifiedKr2E), 1)
      << run.output;
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "[" + stuck + "] " + kStillInLoader), 1)
      << run.output;
  EXPECT_THAT(SummaryRow(lines, good), HasSubstr("  success "));
  EXPECT_THAT(SummaryRow(lines, good), ::testing::EndsWith(kVerifiedKr2E));
  EXPECT_THAT(SummaryRow(lines, stuck), ::testing::StartsWith(stuck + "  failure "));
  EXPECT_THAT(SummaryRow(lines, stuck), ::testing::EndsWith(kStillInLoader));
  EXPECT_EQ(lines.back(), "1 of 2 units updated, 1 failed.");
  std::map<std::string, Members> byUnit;
  for (const Members& record : Records(log)) byUnit[record.at("unit")] = record;
  ASSERT_EQ(byUnit.size(), 2u);
  EXPECT_EQ(byUnit[good].at("verified"), "true");
  EXPECT_EQ(byUnit[good].at("exit"), "0");
  EXPECT_EQ(byUnit[stuck].at("verified"), "false");
  EXPECT_EQ(byUnit[stuck].at("exit"), "5");
  EXPECT_EQ(byUnit[stuck].at("outcome"), "failure");
  EXPECT_EQ(byUnit[stuck].at("reason"),
            "the PLC is still in its loader: the new firmware did not start");
  for (const auto& [plc, report] :
       {std::pair{plcGood.get(), "good.json"}, {plcStuck.get(), "stuck.json"}}) {
    EXPECT_EQ(plc->Stop(SIGTERM), 0) << ReadText(dir_ / report).substr(0, 2000);
  }
}

// A USB station with --verify: the PLC is replugged to be verified, and is
// still attached when its unit ends. It is not taken as the next unit; the
// next is the PLC attached once it has been removed.
TEST_F(CliTest, UsbStationWithVerifyTakesThePlcAttachedAfterTheVerifiedOneIsRemoved) {
  FakeSysfs sysfs;
  const EnvironmentVariable root("MORVIX_SYSFS_ROOT", sysfs.Sys().c_str());
  const std::string image = MakeImage("MU_test.bin", 20000);
  const fs::path log = dir_ / "station.jsonl";
  std::vector<std::unique_ptr<ChildProcess>> plcs;
  const auto attach = [&](int n, const char* serial) {
    const fs::path device = sysfs.UsbDevice("1-1", "3e9a", "0001");
    sysfs.Attribute(device, "serial", serial);
    sysfs.AcmTty(device, "ttyACM0");
    fs::create_symlink((dir_ / ("plc" + std::to_string(n))).string(), sysfs.Dev() / "ttyACM0");
    return device;
  };
  const auto unplug = [&](const fs::path& device) {
    sysfs.Unplug(device);
    fs::remove(sysfs.Dev() / "ttyACM0");
  };

  ChildProcess station(MORVIX_CLI, {"--station", "--image", image, "--yes", "--json", "--verify",
                                    "--verify-timeout", "20", "--log", log.string()});
  StationEvents events(station);
  events.Next("waiting");
  for (int n = 1; n <= 2; ++n) {
    const std::string serial = "SER" + std::to_string(n);
    plcs.push_back(StartPlcOn((dir_ / ("plc" + std::to_string(n))).string(),
                              "report" + std::to_string(n) + ".json", "MU", image));
    fs::path device = attach(n, serial.c_str());
    EXPECT_EQ(events.Next("start")["unit"], "1-1");
    events.Next("verifying");
    unplug(device);
    std::this_thread::sleep_for(700ms);
    device = attach(n, serial.c_str());
    const Members tally = events.Next("tally");
    EXPECT_EQ(tally.at("outcome"), "success");
    EXPECT_EQ(tally.at("succeeded"), std::to_string(n));
    events.Next("remove");
    events.Next("waiting");
    // Back from its replug and still attached: not the next unit.
    EXPECT_FALSE(events.Sees("start", 2s)) << serial << " was taken again";
    unplug(device);
  }
  station.Signal(SIGINT);
  const Members day = events.Next("day");
  EXPECT_EQ(day.at("succeeded"), "2");
  EXPECT_EQ(station.Wait(10s), 0);
  const std::vector<Members> records = Records(log);
  ASSERT_EQ(records.size(), 2u);
  for (size_t i = 0; i < records.size(); ++i) {
    EXPECT_EQ(records[i].at("serial"), "SER" + std::to_string(i + 1));
    EXPECT_EQ(records[i].at("verified"), "true");
  }
  for (size_t i = 0; i < plcs.size(); ++i) {
    EXPECT_EQ(plcs[i]->Stop(SIGTERM), 0);
    ExpectOnlyQueriesAfterTheUpdate(dir_ / ("report" + std::to_string(i + 1) + ".json"));
  }
}

}  // namespace
