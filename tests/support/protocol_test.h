// Shared ground for protocol tests: a fresh scripted link, the counters at
// 0 and a chosen model.
#pragma once

#include <gtest/gtest.h>

#include <string_view>

#include "catalogue/model_table.h"
#include "link/exchange.h"
#include "link/scripted_link.h"

inline void SelectByName(std::string_view name) {
  const auto index = FindModel(name);
  ASSERT_TRUE(index.has_value()) << name;
  SelectModel(*index);
}

class ProtocolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    errCounter = 0;
    totalErrCounter = 0;
    SelectByName("GL30");
  }
  ScriptedLink link;
};

// A function 0x64 reply: status byte, then two bytes (refusal class and
// detail, or an identity code), with a correct LRC.
Bytes Reply64(uint8_t status, uint8_t byte5 = 0, uint8_t byte6 = 0);
// A function 0x03 reply carrying one register value.
Bytes RegisterReply(uint16_t value);
