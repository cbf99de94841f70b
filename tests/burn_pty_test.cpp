// SPDX-License-Identifier: MIT
// Whole burns through the POSIX serial link against morvix-plcsim on a
// pseudo-terminal: the real line-speed changes, the real close and reopen
// of the replug and the power cycle, and the simulator's own record.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "burn/burn.h"
#include "catalogue/model_table.h"
#include "image/image_source.h"
#include "link/serial.h"
#include "support/child_process.h"
#include "support/test_data.h"

namespace {

namespace fs = std::filesystem;

// The burn's outside world on this machine, without a window: both kinds
// of link open the simulator's pseudo-terminal.
class PtyEnvironment : public BurnEnvironment, public BurnObserver {
 public:
  explicit PtyEnvironment(std::string link) : link_(std::move(link)) {}
  std::string ComPort() override { return link_; }
  LinkOpening OpenSerialPort(const std::string& port) override {
    events.push_back("open " + port);
    return OpenSerialLink(port);
  }
  LinkOpening OpenMyDevPipe() override {
    events.push_back("open USB");
    return OpenSerialLink(link_);
  }
  void ShowBox(BoxKind kind, const std::string& text, const std::string& caption) override {
    events.push_back((kind == BoxKind::kPrompt ? "prompt" : caption) + ": " + text);
  }
  void EnableStartButton(bool) override {}
  void StopElapsedTimer() override {}
  void ResetElapsedTime() override {}
  // The operator's pause, shortened: long enough for the simulator to see
  // the link closed before it is opened again.
  void SleepSeconds(int seconds, const CancelToken&) override {
    events.push_back("sleep " + std::to_string(seconds));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  }
  std::vector<std::string> events;

 private:
  std::string link_;
};

struct PtyCase {
  const char* model;
  uint32_t size;
  const char* prompt;  // nullptr: the model keeps its link
};

class BurnOverPty : public ::testing::TestWithParam<PtyCase> {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/burn-pty-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
};

TEST_P(BurnOverPty, CompletesWithACleanSimulatorReport) {
  const PtyCase& c = GetParam();
  const std::string link = (dir_ / "ttyPLC").string();
  const fs::path imageFile = dir_ / "image.bin";
  const std::vector<uint8_t> image = TestImage(c.size);
  WriteFile(imageFile, image);

  ChildProcess plcsim(
      MORVIX_PLCSIM, {"--link", link, "--model", c.model, "--image", imageFile.string(), "--report",
                      (dir_ / "report.json").string(), "--exit-when-complete", "--timeout", "120"});
  ASSERT_EQ(plcsim.NextLine(), "ready " + link);

  MemoryImageSource source("image.bin", image);
  PtyEnvironment env(link);
  CancelToken cancel;
  const BurnResult result = StartBurn({ModelAt(*FindModel(c.model)), source, env, env, cancel});
  EXPECT_EQ(result.outcome, BurnOutcome::kSucceeded) << result.message;

  const bool usb = IsUsbModel(c.model);
  const std::string open = usb ? "open USB" : "open " + link;
  std::vector<std::string> expected = {open};
  if (c.prompt != nullptr) {
    expected.insert(expected.end(),
                    {std::string("prompt: ") + c.prompt,
                     ReconnectRuleOf(c.model) == ReconnectRule::kR2 ? "sleep 5" : "sleep 2", open});
  } else {
    expected.push_back("sleep 1");
  }
  expected.push_back(
      usb ? "Information: Firmware update is SUCCESSFUL!, please REPLUG the USB cable"
          : "INFORMATION: Firmware update is SUCCESSFUL");
  EXPECT_THAT(env.events, ::testing::ElementsAreArray(expected));

  EXPECT_EQ(plcsim.Wait(std::chrono::seconds(20)), 0) << "exit status 0: no violation";
  const std::string report = ReadText(dir_ / "report.json");
  EXPECT_NE(report.find("\"updateComplete\": true"), std::string::npos) << report.substr(0, 800);
  EXPECT_NE(report.find("\"flashMatchesImage\": true"), std::string::npos);
  EXPECT_NE(report.find("\"violationCount\": 0"), std::string::npos);
}

constexpr char kReplug[] = "Please REPLUG the USB Cable, and then press OK to continue";
constexpr char kPowerCycle[] = "Please POWER OFF=>ON the PLC, and then press OK to continue";

INSTANTIATE_TEST_SUITE_P(Models, BurnOverPty,
                         ::testing::Values(PtyCase{"GL30", 40000, kReplug},
                                           PtyCase{"KR2-C-V2", 30000, kPowerCycle},
                                           PtyCase{"KR2-E", 30000, nullptr},
                                           PtyCase{"36PW2-AIO", 12288, nullptr}),
                         [](const auto& info) {
                           std::string name = info.param.model;
                           for (char& ch : name) ch = ch == '-' ? '_' : ch;
                           return name;
                         });

}  // namespace
