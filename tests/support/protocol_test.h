// SPDX-License-Identifier: MIT
// Shared ground for protocol tests: a fresh scripted link in a dialogue of
// its own (status values at 0, no stop requested) and a chosen model.
#pragma once

#include <gtest/gtest.h>

#include <string_view>

#include "catalogue/model_table.h"
#include "link/app_protocol.h"
#include "link/dialogue.h"
#include "link/exchange.h"
#include "link/loader_protocol.h"
#include "link/scripted_link.h"

// Results as the codes they stand for, so that tests can name them as numbers.
inline uint8_t Code(AppStatus status) { return static_cast<uint8_t>(status); }
inline uint8_t Code(LoaderStatus status) { return static_cast<uint8_t>(status); }
inline constexpr uint8_t kApplicationMode = 0x05;
inline constexpr uint8_t kLoaderMode = 0x06;
inline constexpr uint8_t kNoRefusal = 0x18;
inline constexpr uint8_t kLoaderNoReply = 0x10;
inline constexpr uint8_t kFlashWriteError = 0x16;

class ProtocolTest : public ::testing::Test {
 protected:
  void SetUp() override { SelectByName("GL30"); }

  void SelectByName(std::string_view name) {
    const auto index = FindModel(name);
    ASSERT_TRUE(index.has_value()) << name;
    model_ = &ModelAt(*index);
  }
  const ModelRules& Model() const { return *model_; }

  // A dialogue on another link, sharing this test's status values.
  Dialogue On(Link& other) { return {other, status, cancel}; }

  int32_t errCounter() const { return status.now().errCounter; }
  int32_t totalErrCounter() const { return status.now().totalErrCounter; }
  int32_t flashStatus() const { return status.now().flashStatus; }
  int32_t progress() const { return status.now().progress; }
  // The counters as an earlier part of a burn left them.
  void PresetCounters(int32_t err, int32_t total) {
    for (int32_t i = 0; i < total; ++i) status.CountFailure(0);
    status.SetErrCounter(err);
  }

  ScriptedLink link;
  StatusBoard status;
  CancelToken cancel;
  Dialogue dialogue{link, status, cancel};

 private:
  const ModelRules* model_ = nullptr;
};

// A function 0x64 reply: status byte, then two bytes (refusal class and
// detail, or an identity code), with a correct LRC.
Bytes Reply64(uint8_t status, uint8_t byte5 = 0, uint8_t byte6 = 0);
// A function 0x03 reply carrying one register value.
Bytes RegisterReply(uint16_t value);
