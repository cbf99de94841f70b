// SPDX-License-Identifier: MIT
// A front end whose operator answers every box at once and whose waits take
// no time: whole burns run as fast as their links allow (the soak, the
// benchmarks, the fuzzers' seeds). It keeps the prompts it was shown.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "burn/burn.h"

class InstantFrontEnd final : public BurnEnvironment, public BurnObserver {
 public:
  // Every open, of the serial port or of the USB link, is `open`'s.
  explicit InstantFrontEnd(std::function<LinkOpening()> open) : open_(std::move(open)) {}

  std::string ComPort() override { return "COM1"; }
  LinkOpening OpenSerialPort(const std::string&) override { return open_(); }
  LinkOpening OpenMyDevPipe() override { return open_(); }
  void ShowBox(BoxKind, const std::string&, const std::string&) override {}
  void EnableStartButton(bool) override {}
  void StopElapsedTimer() override {}
  void ResetElapsedTime() override {}
  void SleepSeconds(int, const CancelToken&) override {}
  void OnPrompt(const std::string& text) override { prompts.push_back(text); }

  std::vector<std::string> prompts;

 private:
  std::function<LinkOpening()> open_;
};
