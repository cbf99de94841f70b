// SPDX-License-Identifier: MIT
// Burns on threads of their own. Run under ThreadSanitizer (the linux-tsan
// preset) these prove that a front end may read a burn's status while it
// runs, and that burns share no state: the command line runs one per PLC.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "burn/burn.h"
#include "catalogue/model_table.h"
#include "image/image_source.h"
#include "sim/plc_sim.h"
#include "sim/sim_link.h"
#include "support/test_data.h"

namespace {

// A front end as the window is one: the status in atomics its window thread
// reads, the port the operator may change at any moment.
class WindowLikeFrontEnd : public BurnEnvironment, public BurnObserver {
 public:
  explicit WindowLikeFrontEnd(PlcSimulator& plc) : plc_(plc) {}

  std::string ComPort() override {
    std::lock_guard<std::mutex> lock(portMutex_);
    return port_;
  }
  void ChoosePort(const std::string& port) {
    std::lock_guard<std::mutex> lock(portMutex_);
    port_ = port;
  }
  LinkOpening OpenSerialPort(const std::string&) override {
    return {OpenSimLink(plc_), OpenFailure::kNone, {}};
  }
  LinkOpening OpenMyDevPipe() override { return {OpenSimLink(plc_), OpenFailure::kNone, {}}; }
  void ShowBox(BoxKind, const std::string&, const std::string&) override {}
  void EnableStartButton(bool) override {}
  void StopElapsedTimer() override { timerRunning = false; }
  void ResetElapsedTime() override { elapsedTime = 0; }
  void SleepSeconds(int, const CancelToken&) override {}

  void OnStatus(const BurnStatus& status) override {
    flashStatus = status.flashStatus;
    progress = status.progress;
    errCounter = status.errCounter;
    totalErrCounter = status.totalErrCounter;
    std::lock_guard<std::mutex> lock(eventsMutex_);
    statuses.push_back(status);
  }

  std::atomic<int32_t> flashStatus{0}, progress{0}, errCounter{0}, totalErrCounter{0};
  std::atomic<int32_t> elapsedTime{0};
  std::atomic<bool> timerRunning{true};
  std::vector<BurnStatus> statuses;

 private:
  PlcSimulator& plc_;
  std::mutex portMutex_;
  std::string port_ = "COM3";
  std::mutex eventsMutex_;
};

PlcSettings SettingsWith(const char* model, uint32_t size, std::vector<PlcFault> faults) {
  PlcSettings settings = DefaultPlcSettings(*FindModel(model), size);
  settings.faults = std::move(faults);
  return settings;
}

struct Unit {
  Unit(const char* model, uint32_t size, std::vector<PlcFault> faults = {})
      : rules(ModelAt(*FindModel(model))),
        image(TestImage(size)),
        source("test.bin", image),
        plc(SettingsWith(model, size, std::move(faults))),
        frontEnd(plc) {}
  BurnResult Run() { return StartBurn({rules, source, frontEnd, frontEnd, cancel}); }

  const ModelRules& rules;
  std::vector<uint8_t> image;
  MemoryImageSource source;
  PlcSimulator plc;
  WindowLikeFrontEnd frontEnd;
  CancelToken cancel;
};

TEST(BurnConcurrency, WindowThreadReadsAndWritesWhileTheBurnRuns) {
  Unit unit("PW2-CAR", 300000);  // a COM model that reopens its port
  std::atomic<bool> done{false};
  BurnResult result;
  std::thread burn([&] {
    result = unit.Run();
    done = true;
  });
  std::set<int32_t> phasesSeen;
  int ticks = 0;
  while (!done) {
    phasesSeen.insert(unit.frontEnd.flashStatus);
    (void)unit.frontEnd.progress.load();
    (void)unit.frontEnd.errCounter.load();
    (void)unit.frontEnd.totalErrCounter.load();
    if (unit.frontEnd.timerRunning) ++unit.frontEnd.elapsedTime;
    unit.frontEnd.ChoosePort(++ticks % 2 == 0 ? "COM3" : "COM4");
    std::this_thread::yield();
  }
  burn.join();
  EXPECT_EQ(result.outcome, BurnOutcome::kSucceeded) << result.message;
  EXPECT_TRUE(unit.plc.record().updateComplete);
  EXPECT_EQ(unit.frontEnd.elapsedTime, 0);
  EXPECT_TRUE(phasesSeen.count(kProgramming) != 0 || ticks < 100);
}

// Two burns at once, each on its own simulated PLC with its own image: each
// flash is its own image, each front end sees only its own burn's events.
TEST(BurnConcurrency, TwoBurnsAtOnceShareNothing) {
  // Only the KR2-E's PLC refuses one block once: only its burn counts it.
  Unit com("KR2-E", 60000, {{FaultKind::kNak, PlcRequest::kBlock, 5, 1}});
  Unit usb("GL30", 30000);

  BurnResult comResult, usbResult;
  std::thread first([&] { comResult = com.Run(); });
  std::thread second([&] { usbResult = usb.Run(); });
  first.join();
  second.join();

  EXPECT_EQ(comResult.outcome, BurnOutcome::kSucceeded) << comResult.message;
  EXPECT_EQ(comResult.message, "Firmware update is SUCCESSFUL");
  EXPECT_EQ(usbResult.outcome, BurnOutcome::kSucceeded) << usbResult.message;
  EXPECT_EQ(usbResult.message, "Firmware update is SUCCESSFUL!, please REPLUG the USB cable");
  EXPECT_TRUE(std::equal(com.image.begin(), com.image.end(), com.plc.record().flash.begin()));
  const BlockPlan gl30 = BlockPlanOf("GL30", 30000);
  EXPECT_TRUE(std::equal(usb.image.begin(), usb.image.begin() + gl30.imageBytes,
                         usb.plc.record().flash.begin()));

  auto mostFailures = [](const std::vector<BurnStatus>& statuses) {
    int32_t most = 0;
    for (const BurnStatus& s : statuses) most = std::max(most, s.totalErrCounter);
    return most;
  };
  EXPECT_EQ(mostFailures(com.frontEnd.statuses), 1);
  EXPECT_EQ(mostFailures(usb.frontEnd.statuses), 0);
  // Each saw its own transfer run to its end, and its own status come back to rest.
  for (const auto* statuses : {&com.frontEnd.statuses, &usb.frontEnd.statuses}) {
    ASSERT_GE(statuses->size(), 3u);
    EXPECT_EQ(statuses->back(), BurnStatus{});
    const BurnStatus& end = (*statuses)[statuses->size() - 2];
    EXPECT_EQ(end.flashStatus, kProgramming);
    EXPECT_EQ(end.progress, 100);
  }
}

}  // namespace
