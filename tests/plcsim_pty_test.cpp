// morvix-plcsim on a pseudo-terminal, driven by the tool's own operations
// through the POSIX serial link, as the tool would drive a PLC on
// /dev/ttyUSB0: a whole update with a power cycle between the phases and the
// line-speed checks on, the speed check itself, the disconnect fault, and
// the program's own ending and refusals.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "burn/image.h"
#include "catalogue/model_table.h"
#include "link/app_protocol.h"
#include "link/exchange.h"
#include "link/loader_protocol.h"
#include "link/serial.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

Bytes TestImage(uint32_t size) {
  Bytes image(size);
  for (uint32_t i = 0; i < size; ++i) image[i] = static_cast<uint8_t>(i * 29 + (i >> 7) + 1);
  return image;
}

std::string ReadText(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

// One run of the program, ended by the test or by itself.
class Plcsim {
 public:
  Plcsim(const std::vector<std::string>& args) {
    int out[2];
    if (pipe(out) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    std::vector<std::string> all = {MORVIX_PLCSIM};
    all.insert(all.end(), args.begin(), args.end());
    all.push_back("--timeout");
    all.push_back("120");  // never outlives a test that went wrong
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, MORVIX_PLCSIM, &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    stdout_ = out[0];
  }
  ~Plcsim() {
    if (pid_ > 0 && !exited_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (stdout_ >= 0) close(stdout_);
  }

  // The program's first line, once its link exists.
  std::string FirstLine() {
    std::string line;
    pollfd pfd{stdout_, POLLIN, 0};
    char c = 0;
    while (poll(&pfd, 1, 5000) > 0 && read(stdout_, &c, 1) == 1 && c != '\n') line += c;
    return line;
  }

  // Exit status, or -1 when it did not end within `limit`.
  int Wait(std::chrono::milliseconds limit = 10s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        exited_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(20ms);
    }
    return -1;
  }
  int Stop() {
    kill(pid_, SIGTERM);
    return Wait();
  }
  bool started() const { return pid_ > 0; }

 private:
  pid_t pid_ = -1;
  int stdout_ = -1;
  bool exited_ = false;
};

class PlcsimPty : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/plcsim-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = pattern;
    link = (dir / "ttyPLC").string();
    errCounter = 0;
    totalErrCounter = 0;
  }
  void TearDown() override {
    hSerial.reset();
    CloseFile();
    fs::remove_all(dir);
  }

  std::unique_ptr<Plcsim> Run(std::vector<std::string> args) {
    args.insert(args.begin(), {"--link", link});
    auto sim = std::make_unique<Plcsim>(args);
    EXPECT_TRUE(sim->started());
    EXPECT_EQ(sim->FirstLine(), "ready " + link);
    return sim;
  }
  void Open() {
    hSerial = OpenSerialLink(link);
    ASSERT_NE(hSerial, nullptr);
  }
  Link& serial() { return *hSerial; }

  fs::path dir;
  std::string link;
};

// KR2-C-V2 on a serial line: phase 1 at 9600, the PLC restarts at the erase
// request without answering, the operator power-cycles it (the tool closes
// and reopens the port), and phase 2 switches to 115200 for the blocks.
TEST_F(PlcsimPty, WholeUpdateThroughThePosixSerialLinkWithAPowerCycleBetweenThePhases) {
  const int model = *FindModel("KR2-C-V2");
  SelectModel(model);
  const Bytes image = TestImage(3000);
  {
    std::ofstream file(dir / "image.bin", std::ios::binary);
    file.write(reinterpret_cast<const char*>(image.data()),
               static_cast<std::streamsize>(image.size()));
  }
  auto sim = Run({"--model", "KR2-C-V2", "--image", (dir / "image.bin").string(), "--report",
                  (dir / "report.json").string(), "--flash-out", (dir / "flash.bin").string(),
                  "--exit-when-complete"});
  UseImageFile(image);
  ASSERT_TRUE(OpenImage());

  ASSERT_NO_FATAL_FAILURE(Open());
  DummyComm(serial());
  ASSERT_EQ(ConfirmComm(serial()), kApplicationMode);
  ASSERT_EQ(CheckID_A(serial()), 0);
  EXPECT_EQ(READ_D1386(serial()), 0x4138);
  EXPECT_LT(READ_D1001(serial()) & 0xF0, 0x40);
  ASSERT_EQ(SendErase_A(serial()), 0);  // no reply: the PLC restarted
  hSerial.reset();
  // The operator power-cycles the PLC; the burn waits 2 s after the box.
  std::this_thread::sleep_for(200ms);
  ASSERT_NO_FATAL_FAILURE(Open());
  DummyComm(serial());
  ASSERT_EQ(ConfirmComm(serial()), kLoaderMode);
  ASSERT_EQ(CheckID_B(serial()), 0);
  ASSERT_EQ(SendErase_B(serial()), 0);
  ASSERT_EQ(SendUpdate(serial()), 0);
  ASSERT_EQ(SendFW(serial()), 0);
  hSerial.reset();

  EXPECT_EQ(sim->Wait(), 0) << "exit status 0: no violation";
  const std::string report = ReadText(dir / "report.json");
  EXPECT_NE(report.find("\"updateComplete\": true"), std::string::npos) << report;
  EXPECT_NE(report.find("\"violationCount\": 0,"), std::string::npos) << report;
  EXPECT_NE(report.find("\"flashMatchesImage\": true"), std::string::npos) << report;
  EXPECT_NE(report.find("\"connections\": 2,"), std::string::npos) << report;
  const std::string flash = ReadText(dir / "flash.bin");
  ASSERT_EQ(flash.size(), 24u * 128);
  EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin(),
                         [](uint8_t a, char b) { return a == static_cast<uint8_t>(b); }));
  EXPECT_FALSE(fs::exists(fs::symlink_status(link))) << "the link goes with the program";
}

TEST_F(PlcsimPty, RequestAtTheWrongSpeedIsAViolationAndGoesUnanswered) {
  auto sim =
      Run({"--model", "KR2-E", "--image-size", "1000", "--report", (dir / "report.json").string()});
  ASSERT_NO_FATAL_FAILURE(Open());
  serial().ApplyLineSettings(kLoaderLineSettings);
  serial().SetTimeouts({500, 500});
  const std::string check = ":006401590141\r\n";
  ASSERT_EQ(serial().Write(reinterpret_cast<const uint8_t*>(check.data()), check.size()),
            check.size());
  uint8_t reply[19];
  EXPECT_EQ(serial().Read(reply, sizeof reply), 0u);
  // At 9600 the same request is answered.
  serial().ApplyLineSettings(kApplicationLineSettings);
  EXPECT_EQ(ConfirmComm(serial()), kApplicationMode);
  hSerial.reset();
  EXPECT_EQ(sim->Stop(), 1) << "exit status 1: violations were recorded";
  const std::string report = ReadText(dir / "report.json");
  EXPECT_NE(report.find("check sent at 115200 baud while the PLC listens at 9600 baud"),
            std::string::npos)
      << report;
  EXPECT_NE(report.find("\"violationCount\": 1,"), std::string::npos) << report;
}

// The device vanishes under the tool at block 3 and comes back under the
// same name; the next burn meets the loader and completes.
TEST_F(PlcsimPty, DisconnectAtABlockDropsTheLinkAndTheReopenedOneCompletes) {
  SelectModel(*FindModel("KR2-E"));
  const Bytes image = TestImage(1000);
  UseImageFile(image);
  ASSERT_TRUE(OpenImage());
  auto sim =
      Run({"--model", "KR2-E", "--image-size", "1000", "--start-mode", "loader", "--disconnect",
           "block@3", "--report", (dir / "report.json").string(), "--exit-when-complete"});
  auto phase2 = [&] {
    DummyComm(serial());
    EXPECT_EQ(ConfirmComm(serial()), kLoaderMode);
    EXPECT_EQ(CheckID_B(serial()), 0);
    EXPECT_EQ(SendErase_B(serial()), 0);
    EXPECT_EQ(SendUpdate(serial()), 0);
    return SendFW(serial());
  };
  ASSERT_NO_FATAL_FAILURE(Open());
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(phase2(), kLoaderNoReply);
  // The wake-up burst takes a second; a read that waited out its 3 s on the
  // vanished device would show here.
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2500ms) << "a vanished device fails at once";
  hSerial.reset();
  CloseFile();
  ASSERT_TRUE(OpenImage());
  std::this_thread::sleep_for(200ms);  // a new burn, started by the operator
  ASSERT_NO_FATAL_FAILURE(Open());
  EXPECT_EQ(phase2(), 0);
  hSerial.reset();
  EXPECT_EQ(sim->Wait(), 0);
  const std::string report = ReadText(dir / "report.json");
  EXPECT_NE(report.find("\"updateComplete\": true"), std::string::npos) << report;
  EXPECT_NE(report.find("\"fault\": \"disconnect\""), std::string::npos) << report;
}

TEST_F(PlcsimPty, EndsOnSigtermAndWritesItsReport) {
  auto sim =
      Run({"--model", "GL30", "--image-size", "8192", "--report", (dir / "report.json").string()});
  EXPECT_EQ(sim->Stop(), 0);
  const std::string report = ReadText(dir / "report.json");
  EXPECT_NE(report.find("\"model\": \"GL30\""), std::string::npos) << report;
  EXPECT_NE(report.find("\"requests\": []"), std::string::npos) << report;
}

TEST_F(PlcsimPty, RefusesToReplaceAFileThatIsNotALink) {
  { std::ofstream(link) << "precious"; }
  Plcsim sim({"--link", link, "--model", "GL30", "--image-size", "8192"});
  EXPECT_EQ(sim.Wait(), 3);
  EXPECT_EQ(ReadText(link), "precious");
}

TEST_F(PlcsimPty, HelpAndCommandLineMistakes) {
  Plcsim help({"--help"});
  const std::string first = help.FirstLine();
  EXPECT_EQ(help.Wait(), 0);
  EXPECT_NE(first.find("morvix-plcsim"), std::string::npos) << first;
  Plcsim wrong({"--link", link, "--model", "GL31", "--image-size", "8192"});
  EXPECT_EQ(wrong.Wait(), 2);
  EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
}

}  // namespace
