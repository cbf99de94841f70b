// SPDX-License-Identifier: MIT
// Whole burns against the in-process simulated PLC, with a front end that
// records every box, button, timer, sleep, link call and event in order.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "burn/burn.h"
#include "catalogue/model_table.h"
#include "image/image_source.h"
#include "sim/plc_sim.h"
#include "sim/sim_link.h"
#include "support/test_data.h"

class RecordingEnvironment : public BurnEnvironment, public BurnObserver {
 public:
  explicit RecordingEnvironment(PlcSimulator* plc, std::string port = "COM3")
      : plc_(plc), port_(std::move(port)) {}

  std::string ComPort() override { return port_; }
  LinkOpening OpenSerialPort(const std::string& port) override { return Record("open " + port); }
  LinkOpening OpenMyDevPipe() override { return Record("open USB"); }
  void ShowBox(BoxKind kind, const std::string& text, const std::string& caption) override {
    if (kind == BoxKind::kPrompt) {
      events.push_back("prompt: " + text);
      if (onPrompt) onPrompt();
      return;
    }
    events.push_back(caption + ": " + text);
  }
  void EnableStartButton(bool enable) override {
    events.push_back(enable ? "button on" : "button off");
    buttonEnabled = enable;
  }
  void StopElapsedTimer() override { events.push_back("timer stop"); }
  void ResetElapsedTime() override { elapsedTime = 0; }
  void SleepSeconds(int seconds, const CancelToken&) override {
    events.push_back("sleep " + std::to_string(seconds));
    if (onSleep) onSleep();
  }

  void OnStatus(const BurnStatus& now) override {
    status = now;
    statusEvents.push_back(now);
    if (onStatus) onStatus(now);
  }
  void OnPrompt(const std::string& text) override { prompts.push_back(text); }
  void OnResult(const BurnResult& result) override { results.push_back(result); }

  // The next `count` opens fail, for `why`.
  void FailOpens(int count, OpenFailure why = OpenFailure::kBusy) {
    openFails_ = count;
    openFailure_ = why;
  }
  // The port the next open of a COM port takes (the operator chose another).
  void ChoosePort(const std::string& port) { port_ = port; }

  std::vector<std::string> events;
  bool buttonEnabled = true;
  int32_t elapsedTime = 7;  // as the front end's timer may have counted
  BurnStatus status;
  std::vector<BurnStatus> statusEvents;
  std::vector<std::string> prompts;
  std::vector<BurnResult> results;
  std::function<void()> onPrompt;
  std::function<void()> onSleep;
  std::function<void(const BurnStatus&)> onStatus;
  // Sees every request the burn writes, before the PLC does.
  std::function<void(std::span<const uint8_t>)> onWrite;

 private:
  LinkOpening Record(const std::string& what);
  PlcSimulator* plc_;
  std::string port_;
  int openFails_ = 0;
  OpenFailure openFailure_ = OpenFailure::kBusy;
};

// An image source that counts the images it opened and those released.
class CountingImageSource final : public ImageSource {
 public:
  CountingImageSource(std::vector<uint8_t> bytes, uint64_t size)
      : inner_("test.bin", std::move(bytes), size) {}
  std::string Name() const override { return inner_.Name(); }
  std::unique_ptr<ImageReader> OpenImage() override;

  int opened = 0;
  std::shared_ptr<std::atomic<int>> released = std::make_shared<std::atomic<int>>(0);

 private:
  MemoryImageSource inner_;
};

// A size that exercises a partly filled last block and fits every model.
inline uint32_t TestSizeFor(std::string_view model) {
  return std::min<uint32_t>(SizeLimitOf(model).bytes, 9000 + 77);
}

class BurnTest : public ::testing::Test {
 protected:
  // Chooses `model`, gives the burn an image of `size` bytes and builds a
  // PLC that passes every check unless the test changes its settings.
  void Prepare(std::string_view model, uint32_t size, const std::string& port = "COM3");
  // Replaces the image with `bytes`, claiming to be `size` long.
  void UseImage(std::vector<uint8_t> bytes, uint64_t size = 0);
  // Runs one burn the way a front end does; the simulator is built from
  // `settings` unless a test built its own.
  void RunBurn(bool withPlc = true);
  // Status back at rest, button enabled, link closed, image released once.
  void ExpectCleanEnd();
  std::vector<uint8_t> ExpectedFlash() const;

  const ModelRules* rules = nullptr;
  std::string port;
  std::vector<uint8_t> image;
  std::unique_ptr<CountingImageSource> source;
  PlcSettings settings;
  std::unique_ptr<PlcSimulator> plc;
  std::unique_ptr<RecordingEnvironment> env;
  std::function<void()> onPrompt;
  CancelToken cancel;
  bool demoImageAllowed = false;
  BurnResult result;
};
