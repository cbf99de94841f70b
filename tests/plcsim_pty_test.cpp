// SPDX-License-Identifier: MIT
// morvix-plcsim on a pseudo-terminal, driven by the tool's own operations
// through the POSIX serial link, as the tool would drive a PLC on
// /dev/ttyUSB0: a whole update with a power cycle between the phases and the
// line-speed checks on, the speed check itself, the disconnect fault, the
// paced line's time as the tool measures it, and the program's own ending
// and refusals.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "catalogue/model_table.h"
#include "image/image_source.h"
#include "link/app_protocol.h"
#include "link/exchange.h"
#include "link/loader_protocol.h"
#include "link/serial.h"
#include "support/child_process.h"
#include "support/protocol_test.h"
#include "support/test_data.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

// One run of the program, ended by the test or by itself, and never
// outliving a test that went wrong.
class Plcsim : public ChildProcess {
 public:
  explicit Plcsim(std::vector<std::string> args)
      : ChildProcess(MORVIX_PLCSIM, WithTimeout(std::move(args))) {}
  std::string FirstLine() { return NextLine(); }
  int Stop() { return ChildProcess::Stop(SIGTERM); }

 private:
  static std::vector<std::string> WithTimeout(std::vector<std::string> args) {
    args.insert(args.end(), {"--timeout", "120"});
    return args;
  }
};

class PlcsimPty : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/plcsim-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = pattern;
    link = (dir / "ttyPLC").string();
  }
  void TearDown() override {
    port.reset();
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
    port = OpenSerialLink(link).link;
    ASSERT_NE(port, nullptr);
  }
  Link& serial() { return *port; }
  Dialogue d() { return {*port, status, cancel}; }
  // The image the burn sends; read from its first byte at every call.
  ImageReader& Image(const Bytes& bytes) {
    source = std::make_unique<MemoryImageSource>("test.bin", bytes);
    reader = source->OpenImage();
    return *reader;
  }

  fs::path dir;
  std::string link;
  std::unique_ptr<Link> port;
  StatusBoard status;
  CancelToken cancel;
  std::unique_ptr<MemoryImageSource> source;
  std::unique_ptr<ImageReader> reader;
};

// KR2-C-V2 on a serial line: phase 1 at 9600, the PLC restarts at the erase
// request without answering, the operator power-cycles it (the tool closes
// and reopens the port), and phase 2 switches to 115200 for the blocks.
TEST_F(PlcsimPty, WholeUpdateThroughThePosixSerialLinkWithAPowerCycleBetweenThePhases) {
  const ModelRules& model = ModelAt(*FindModel("KR2-C-V2"));
  const Bytes image = TestImage(3000);
  WriteFile(dir / "image.bin", image);
  auto sim = Run({"--model", "KR2-C-V2", "--image", (dir / "image.bin").string(), "--report",
                  (dir / "report.json").string(), "--flash-out", (dir / "flash.bin").string(),
                  "--exit-when-complete"});
  ASSERT_NO_FATAL_FAILURE(Open());
  DummyComm(d(), model);
  ASSERT_EQ(Code(ConfirmComm(d(), model)), kApplicationMode);
  ASSERT_EQ(Code(CheckID_A(d(), model)), 0);
  EXPECT_EQ(READ_D1386(d()), 0x4138);
  EXPECT_LT(READ_D1001(d()).value_or(0xFF) & 0xF0, 0x40);
  ASSERT_EQ(Code(SendErase_A(d(), model)), 0);  // no reply: the PLC restarted
  port.reset();
  // The operator power-cycles the PLC; the burn waits 2 s after the box.
  std::this_thread::sleep_for(200ms);
  ASSERT_NO_FATAL_FAILURE(Open());
  DummyComm(d(), model);
  ASSERT_EQ(Code(ConfirmComm(d(), model)), kLoaderMode);
  ASSERT_EQ(Code(CheckID_B(d(), model)), 0);
  ASSERT_EQ(Code(SendErase_B(d(), model, 3000)), 0);
  ASSERT_EQ(Code(SendUpdate(d())), 0);
  ASSERT_EQ(Code(SendFW(d(), model, Image(image))), 0);
  port.reset();

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
  EXPECT_EQ(Code(ConfirmComm(d(), ModelAt(*FindModel("KR2-E")))), kApplicationMode);
  port.reset();
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
  const ModelRules& model = ModelAt(*FindModel("KR2-E"));
  const Bytes image = TestImage(1000);
  auto sim =
      Run({"--model", "KR2-E", "--image-size", "1000", "--start-mode", "loader", "--disconnect",
           "block@3", "--report", (dir / "report.json").string(), "--exit-when-complete"});
  auto phase2 = [&] {
    DummyComm(d(), model);
    EXPECT_EQ(Code(ConfirmComm(d(), model)), kLoaderMode);
    EXPECT_EQ(Code(CheckID_B(d(), model)), 0);
    EXPECT_EQ(Code(SendErase_B(d(), model, 1000)), 0);
    EXPECT_EQ(Code(SendUpdate(d())), 0);
    return Code(SendFW(d(), model, Image(image)));
  };
  ASSERT_NO_FATAL_FAILURE(Open());
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(phase2(), kLoaderNoReply);
  // The wake-up burst takes a second; a read that waited out its 3 s on the
  // vanished device would show here.
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2500ms) << "a vanished device fails at once";
  port.reset();
  std::this_thread::sleep_for(200ms);  // a new burn, started by the operator
  ASSERT_NO_FATAL_FAILURE(Open());
  EXPECT_EQ(phase2(), 0);
  port.reset();
  EXPECT_EQ(sim->Wait(), 0);
  const std::string report = ReadText(dir / "report.json");
  EXPECT_NE(report.find("\"updateComplete\": true"), std::string::npos) << report;
  EXPECT_NE(report.find("\"fault\": \"disconnect\""), std::string::npos) << report;
}

// With --pacing a reply reaches the tool when a real line would bring it:
// the request's 15 characters cross, then the reply's 19 follow one by one,
// 10 bits each at 9600 baud. Whatever the machine does can only delay what
// the tool sees, never hasten it, so no exchange may be faster than the
// line, to the nanosecond. From above, the median of many exchanges, which
// such delays move little, stays within a millisecond of the line's time
// (on a loaded 2-core machine it was 0.13 ms over, the simulator's own part
// of that below a microsecond).
TEST_F(PlcsimPty, PacedRepliesTakeTheLineTimeMeasuredFromTheTool) {
  auto sim = Run({"--model", "KR2-E", "--image-size", "1000", "--pacing", "--report",
                  (dir / "report.json").string()});
  ASSERT_NO_FATAL_FAILURE(Open());
  serial().ApplyLineSettings(kApplicationLineSettings);
  serial().SetTimeouts(kExchangeTimeouts);
  const std::string check = ":006401590141\r\n";
  const std::chrono::nanoseconds line(34 * 10 * 1000000000LL / 9600);
  constexpr size_t kExchanges = 60;
  std::vector<std::chrono::nanoseconds> over;
  for (size_t i = 0; i < kExchanges; ++i) {
    uint8_t reply[19];
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(serial().Write(reinterpret_cast<const uint8_t*>(check.data()), check.size()),
              check.size());
    ASSERT_EQ(serial().Read(reply, sizeof reply), sizeof reply);
    over.push_back(std::chrono::steady_clock::now() - start - line);
  }
  port.reset();
  EXPECT_EQ(sim->Stop(), 0) << ReadText(dir / "report.json");
  std::sort(over.begin(), over.end());
  const auto us = [](std::chrono::nanoseconds t) { return std::to_string(t.count() / 1000); };
  const std::string measured = "over the line's " + us(line) + " us: fastest " + us(over.front()) +
                               " us, median " + us(over[kExchanges / 2]) + " us, slowest " +
                               us(over.back()) + " us";
  RecordProperty("paced", measured);
  EXPECT_GE(over.front(), 0ns) << "faster than the line: " << measured;
  EXPECT_LT(over[kExchanges / 2], 1ms) << measured;
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
