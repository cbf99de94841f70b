// A burn on its own thread while another thread does what the window does:
// polls every shown value, counts seconds, picks ports and asks whether a
// burn runs. Run under ThreadSanitizer (the linux-tsan preset) this proves the
// shared values and the port text are free of data races.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>

#include "burn/burn.h"
#include "burn/image.h"
#include "catalogue/model_table.h"
#include "link/exchange.h"
#include "link/loader_protocol.h"
#include "sim/plc_sim.h"
#include "sim/sim_link.h"

namespace {

class QuietEnvironment : public BurnEnvironment {
 public:
  explicit QuietEnvironment(PlcSimulator& plc) : plc_(plc) {}
  std::unique_ptr<Link> OpenSerialPort(const std::string& port) override {
    lastPort = port;
    return OpenSimLink(plc_);
  }
  std::unique_ptr<Link> OpenMyDevPipe() override { return OpenSimLink(plc_); }
  void ShowError(const std::string& text) override { result = "ERROR: " + text; }
  void ShowInformation(const std::string& text, const std::string& caption) override {
    result = caption + ": " + text;
  }
  void ShowPrompt(const std::string&) override {}
  void EnableStartButton(bool) override {}
  void StopElapsedTimer() override { timerRunning = false; }
  void SleepSeconds(int) override {}

  std::atomic<bool> timerRunning{true};
  std::string result;
  std::string lastPort;

 private:
  PlcSimulator& plc_;
};

TEST(BurnConcurrency, WindowThreadReadsAndWritesWhileTheBurnRuns) {
  SelectModel(*FindModel("PW2-CAR"));  // a COM model that reopens its port
  SetSelectedComPort("COM3");
  const uint32_t size = 300000;
  std::vector<uint8_t> image(size);
  for (uint32_t i = 0; i < size; ++i) image[i] = static_cast<uint8_t>(i * 7 + (i >> 8));
  UseImageFile(image);
  PlcSimulator plc(DefaultPlcSettings(*FindModel("PW2-CAR"), size));
  QuietEnvironment env(plc);

  ASSERT_TRUE(ClaimBurn());
  paramStruct.environment = &env;
  std::atomic<bool> done{false};
  std::thread burn([&done] {
    StartBurn(&paramStruct);
    done = true;
  });

  std::set<int32_t> phases;
  int32_t highestProgress = 0;
  int polls = 0;
  while (!done) {
    phases.insert(flashStatus);
    const int32_t p = progress;
    EXPECT_GE(p, 0);
    EXPECT_LE(p, 100);
    highestProgress = std::max(highestProgress, p);
    (void)errCounter.load();
    (void)totalErrCounter.load();
    if (env.timerRunning) ++elapsedTime;
    SetSelectedComPort(polls % 2 == 0 ? "COM3" : "COM4");
    (void)BurnRunning();
    ++polls;
    std::this_thread::yield();
  }
  burn.join();

  EXPECT_EQ(env.result, "INFORMATION: Firmware update is SUCCESSFUL");
  EXPECT_TRUE(plc.record().updateComplete);
  EXPECT_GT(polls, 0);
  EXPECT_EQ(elapsedTime, 0);
  EXPECT_EQ(flashStatus, 0);
  EXPECT_EQ(progress, 0);
  EXPECT_EQ(totalErrCounter, 0);
  EXPECT_FALSE(BurnRunning());
}

}  // namespace
