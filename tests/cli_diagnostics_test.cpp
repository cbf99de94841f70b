// SPDX-License-Identifier: MIT
// The command line explaining itself, end to end on Linux: each reason a
// port does not open produced for real, --info against morvix-plcsim with
// its record showing nothing but queries, and the wire's trace read back
// against what the simulator heard.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>

#include "link/serial.h"
#include "support/child_process.h"
#include "support/json_line.h"

namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using namespace std::chrono_literals;

std::string ReadText(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

using Object = std::map<std::string, std::string>;

struct CliRun {
  int status;
  std::string out;
  std::string err;
};

class CliDiagnostics : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/cli-diag-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    link_ = (dir_ / "ttyPLC").string();
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string MakeImage(const std::string& name, uint32_t size) {
    std::string bytes(size, '\0');
    for (uint32_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 151) ^ (i >> 8));
    const fs::path path = dir_ / name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path.string();
  }

  std::unique_ptr<ChildProcess> StartPlc(const std::string& model, std::vector<std::string> extra) {
    std::vector<std::string> args = {"--link",   link_,    "--model",   model,
                                     "--report", Report(), "--timeout", "60"};
    args.insert(args.end(), extra.begin(), extra.end());
    auto plc = std::make_unique<ChildProcess>(MORVIX_PLCSIM, args);
    EXPECT_EQ(plc->NextLine(), "ready " + link_);
    return plc;
  }
  // A small KR2-E image, readable by every user.
  std::string Image() {
    const std::string path = MakeImage("KR2-E_x.bin", 5000);
    fs::permissions(dir_, fs::perms::all);
    return path;
  }
  std::string Report() const { return (dir_ / "report.json").string(); }
  // The simulator's requests, each as an object, once it has ended.
  std::vector<Object> HeardRequests(ChildProcess& plc) {
    plc.Stop(SIGTERM);
    const auto report = json_line::ParseObjectLine(ReadText(Report()));
    EXPECT_TRUE(report);
    if (!report) return {};
    EXPECT_EQ(report->at("requestsDropped"), "0");
    std::vector<Object> requests;
    const auto all = json_line::ParseArray(report->at("requests"));
    EXPECT_TRUE(all);
    if (!all) return {};
    for (const std::string& each : *all) {
      requests.push_back(*json_line::ParseObjectLine(each));
    }
    return requests;
  }

  CliRun RunCli(const std::vector<std::string>& args, const std::string& program = MORVIX_CLI,
                std::vector<std::string> before = {}) {
    const std::string errors = (dir_ / "stderr.txt").string();
    before.insert(before.end(), args.begin(), args.end());
    ChildProcess cli(program, before, "", ChildOutput::kPipe, errors);
    std::string out = cli.ReadAll(60s);
    const int status = cli.Wait(5s);
    return {status, std::move(out), ReadText(errors)};
  }

  fs::path dir_;
  std::string link_;
};

// --- Ports that do not open -------------------------------------------------------

// The box keeps its words; standard error says why, and what to do.
void ExpectRefused(const CliRun& run, const std::string& port, const std::string& why,
                   const std::string& whatToDo) {
  EXPECT_EQ(run.status, 4);
  const std::vector<std::string> lines = Lines(run.out);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "ERROR: CANNOT open " + port + " Port!!!");
  EXPECT_THAT(run.err, HasSubstr("Why: " + why)) << run.err;
  EXPECT_THAT(run.err, HasSubstr("What to do: ")) << run.err;
  EXPECT_THAT(run.err, HasSubstr(whatToDo)) << run.err;
}

TEST_F(CliDiagnostics, AMissingPortIsNamedAsMissing) {
  const std::string port = (dir_ / "ttyUSB9").string();
  ExpectRefused(RunCli({"--image", Image(), "--port", port}), port, port + " does not exist",
                "--list-ports");
}

// /etc/passwd, say: it may even open, but it is no serial port.
TEST_F(CliDiagnostics, AFileThatIsNoTerminalIsNoSerialPort) {
  const std::string port = MakeImage("passwd", 100);
  ExpectRefused(RunCli({"--image", Image(), "--port", port}), port, port + " is not a serial port",
                "--list-ports");
  // As a user who may not even open the file, still the same reason.
  if (geteuid() == 0) {
    chmod(port.c_str(), 0600);
    ExpectRefused(RunCli({"--image", Image(), "--port", port}, "/usr/bin/setpriv",
                         {"--reuid=65534", "--regid=65534", "--clear-groups", MORVIX_CLI}),
                  port, port + " is not a serial port", "--list-ports");
  }
}

struct PseudoTerminal {
  PseudoTerminal() {
    int slave = -1;
    char name[256] = {};
    openpty(&master, &slave, name, nullptr, nullptr);
    close(slave);
    path = name;
  }
  ~PseudoTerminal() { close(master); }
  int master = -1;
  std::string path;
};

// Another program has the port: this test holds it, and is named.
TEST_F(CliDiagnostics, APortHeldByAnotherProgramNamesIt) {
  PseudoTerminal pty;
  auto held = OpenSerialLink(pty.path).link;
  ASSERT_NE(held, nullptr);
  const CliRun run = RunCli({"--image", Image(), "--port", pty.path, "--json"});
  EXPECT_EQ(run.status, 4);
  const auto result = json_line::ParseObjectLine(Lines(run.out).back());
  ASSERT_TRUE(result) << run.out;
  EXPECT_THAT(result->at("reason"),
              HasSubstr(pty.path + " is in use by another program: held by "));
  EXPECT_THAT(result->at("reason"), HasSubstr("(pid " + std::to_string(getpid()) + ")"));
  EXPECT_THAT(result->at("hint"), HasSubstr("Close the program"));
}

// The tty's mode shuts an ordinary user out: the remedy is the dialout group.
TEST_F(CliDiagnostics, APortTheUserMayNotOpenPointsAtTheDialoutGroup) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root, to run the tool as another user";
  PseudoTerminal pty;
  ASSERT_EQ(chmod(pty.path.c_str(), 0600), 0);
  const CliRun run = RunCli({"--image", Image(), "--port", pty.path}, "/usr/bin/setpriv",
                            {"--reuid=65534", "--regid=65534", "--clear-groups", MORVIX_CLI});
  ExpectRefused(run, pty.path, "You may not open " + pty.path, "usermod -aG dialout");
}

// --- A PLC of another model, and the display's extremes ----------------------------

TEST_F(CliDiagnostics, APlcOfAnotherModelIsNamedByTheCodeItReports) {
  auto plc = StartPlc("KR2-E", {"--image-size", "5000", "--app-id", "0x0013"});
  const std::string image = MakeImage("KR2-E_x.bin", 5000);
  const CliRun json = RunCli({"--port", link_, "--image", image, "--json"});
  EXPECT_EQ(json.status, 1);
  const auto result = json_line::ParseObjectLine(Lines(json.out).back());
  ASSERT_TRUE(result);
  EXPECT_EQ(result->at("text"), "NO RESPONSE @ State 2");
  EXPECT_EQ(result->at("reportedCode"), "19");
  EXPECT_THAT(result->at("reason"), HasSubstr("the code of FQ2 or FQ32; KR2-E has 0x0017"));

  // Quiet: one line on standard output, nothing on standard error.
  const CliRun quiet = RunCli({"--port", link_, "--image", image, "-q"});
  EXPECT_EQ(quiet.status, 1);
  EXPECT_EQ(quiet.out, "ERROR: NO RESPONSE @ State 2\n");
  EXPECT_EQ(quiet.err, "");
}

// --- --info -----------------------------------------------------------------------

struct InfoCase {
  const char* model;
  const char* mode;  // the simulator's --start-mode
  const char* running;
  const char* identity;
};

void PrintTo(const InfoCase& c, std::ostream* os) { *os << c.model << " " << c.mode; }

class CliInfo : public CliDiagnostics, public ::testing::WithParamInterface<InfoCase> {};

TEST_P(CliInfo, ReadsThePlcWithoutWritingAnything) {
  const InfoCase& c = GetParam();
  auto plc = StartPlc(c.model, {"--image-size", "9077", "--start-mode", c.mode});

  const CliRun human = RunCli({"--model", c.model, "--port", link_, "--info"});
  EXPECT_EQ(human.status, 0) << human.err;
  EXPECT_THAT(human.out, HasSubstr("  running:        " + std::string(c.running)));
  EXPECT_THAT(human.out, HasSubstr("  identity code:  " + std::string(c.identity)));
  EXPECT_THAT(human.out, HasSubstr("  it is:          "));

  const CliRun json = RunCli({"--model", c.model, "--port", link_, "--info", "--json"});
  EXPECT_EQ(json.status, 0);
  const std::vector<std::string> lines = Lines(json.out);
  ASSERT_EQ(lines.size(), 1u) << json.out;
  const auto info = json_line::ParseObjectLine(lines[0]);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->at("event"), "info");
  EXPECT_EQ(info->at("firmware"), std::string(c.mode));
  EXPECT_EQ(std::string(c.identity).rfind(info->at("identityCode"), 0), 0u);
  EXPECT_THAT(info->at("fitting"), HasSubstr(std::string("\"") + c.model + "\""));

  const std::set<std::string> queries = {"wake",  "check",       "app-id", "d1386",  "d1001",
                                         "d1148", "app-version", "id",     "version"};
  const std::vector<Object> heard = HeardRequests(*plc);
  ASSERT_FALSE(heard.empty());
  for (const Object& request : heard) {
    EXPECT_EQ(queries.count(request.at("request")), 1u) << request.at("request");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Plcs, CliInfo,
    ::testing::Values(InfoCase{"KR2-E", "application", "the application firmware",
                               "0x0017 (KR2-E)"},
                      InfoCase{"KR2-E", "loader", "its loader", "0x0017 (KR2-E)"},
                      InfoCase{"GL30", "application", "the application firmware", "0x3000 (GL30)"},
                      InfoCase{"GL30", "loader", "its loader", "0x3000 (GL30)"}));

// --- The wire's trace ----------------------------------------------------------------

struct TraceLine {
  std::string direction;
  std::string exchange;
  std::string operation;
  std::string bytes;
};

std::vector<TraceLine> ReadTrace(const std::string& text) {
  std::vector<TraceLine> trace;
  for (const std::string& line : Lines(text)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream in(line);
    long long micros = 0;
    TraceLine entry;
    in >> micros >> entry.direction >> entry.exchange >> entry.operation;
    if (entry.direction == "--") continue;  // a change of line settings
    for (std::string hex; in >> hex;) {
      entry.bytes += static_cast<char>(std::stoi(hex, nullptr, 16));
    }
    trace.push_back(entry);
  }
  return trace;
}

// Every request the simulator heard went out as one write, in order, under
// the operation that sends it; the bytes read after it are its reply.
TEST_F(CliDiagnostics, TheTraceOfAnUpdateIsWhatThePlcHeardAndSaid) {
  const std::string image = MakeImage("KR2-E_small.bin", 1000);
  auto plc = StartPlc("KR2-E", {"--image", image});
  const std::string tracePath = (dir_ / "trace.txt").string();
  const CliRun run = RunCli({"--port", link_, "--image", image, "--trace", tracePath, "-v"});
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_THAT(run.err, HasSubstr("ConfirmComm: the communication check\n"));
  EXPECT_THAT(run.err, HasSubstr("SendFW: the image blocks\n"));

  const std::vector<TraceLine> trace = ReadTrace(ReadText(tracePath));
  const std::vector<Object> heard = HeardRequests(*plc);
  const std::map<std::string, std::string> sentBy = {
      {"wake", "DummyComm"},        {"check", "ConfirmComm"},       {"app-id", "CheckID_A"},
      {"app-erase", "SendErase_A"}, {"app-confirm", "SendErase_A"}, {"id", "CheckID_B"},
      {"erase", "SendErase_B"},     {"erase-eot", "SendErase_B"},   {"update", "SendUpdate"},
      {"block", "SendFW"},          {"final-eot", "SendFW"}};
  size_t request = 0;
  int lastExchange = 0;
  for (size_t i = 0; i < trace.size(); ++i) {
    if (trace[i].direction != "TX") continue;
    ASSERT_LT(request, heard.size());
    const Object& expected = heard[request++];
    const TraceLine& sent = trace[i];
    EXPECT_EQ(sent.operation, sentBy.at(expected.at("request"))) << expected.at("request");
    EXPECT_EQ(std::to_string(sent.bytes.size()), expected.at("length"));
    if (expected.count("bytes") != 0) {
      EXPECT_EQ(sent.bytes, expected.at("bytes"));
    } else {
      EXPECT_EQ(static_cast<uint8_t>(sent.bytes[1]), std::stoi(expected.at("block")));
    }
    std::string reply;
    for (size_t j = i + 1; j < trace.size() && trace[j].direction == "RX"; ++j) {
      EXPECT_EQ(trace[j].exchange, sent.exchange);
      reply += trace[j].bytes;
    }
    EXPECT_EQ(reply, expected.at("reply")) << expected.at("request");
    const int exchange = std::stoi(sent.exchange.substr(1));
    EXPECT_GE(exchange, lastExchange);
    lastExchange = exchange;
  }
  EXPECT_EQ(request, heard.size());
}

}  // namespace
