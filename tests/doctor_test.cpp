// SPDX-License-Identifier: MIT
// The text rules of the bench checks: which udev rule lines keep
// ModemManager off a USB device, which hand it to brltty, and what
// /etc/group says.
#include <gtest/gtest.h>

#include <string>

#include "doctor/checks.h"

namespace {

struct RuleCase {
  const char* name;
  const char* rules;
  const char* vendor;
  const char* product;
  bool keepsModemManagerOff;
  bool brlttyClaims;
};

class Rules : public ::testing::TestWithParam<RuleCase> {};

TEST_P(Rules, MatchAsUdevWould) {
  const RuleCase& c = GetParam();
  EXPECT_EQ(KeepsModemManagerOff(c.rules, c.vendor, c.product), c.keepsModemManagerOff);
  EXPECT_EQ(BrlttyClaims(c.rules, c.vendor, c.product), c.brlttyClaims);
}

constexpr char kIgnoreCh34x[] =
    "ACTION!=\"remove\", SUBSYSTEMS==\"usb\", ATTRS{idVendor}==\"1a86\", "
    "ATTRS{idProduct}==\"7523|5523\", ENV{ID_MM_DEVICE_IGNORE}=\"1\"\n";

INSTANTIATE_TEST_SUITE_P(
    Lines, Rules,
    ::testing::Values(
        RuleCase{"SecondAlternative", kIgnoreCh34x, "1a86", "5523", true, true},
        RuleCase{"OtherProduct", kIgnoreCh34x, "1a86", "55d4", false, false},
        RuleCase{"CommentedOut", "# ATTRS{idVendor}==\"1a86\", ENV{ID_MM_DEVICE_IGNORE}=\"1\"\n",
                 "1a86", "7523", false, false},
        RuleCase{"ContinuedLine",
                 "ATTRS{idVendor}==\"0403\", \\\n  ENV{ID_MM_DEVICE_IGNORE}=\"1\"\n", "0403",
                 "6015", true, true},
        RuleCase{"OnRemoveOnly",
                 "ACTION==\"remove\", ATTRS{idVendor}==\"0403\", ENV{ID_MM_DEVICE_IGNORE}=\"1\"",
                 "0403", "6001", false, false},
        RuleCase{"MatchedNotSet", "ATTRS{idVendor}==\"0403\", ENV{ID_MM_DEVICE_IGNORE}==\"1\"",
                 "0403", "6001", false, true},
        RuleCase{"Glob", "ENV{ID_VENDOR_ID}==\"04?3\", ENV{ID_MM_DEVICE_IGNORE}:=\"1\"", "0403",
                 "6001", true, true},
        RuleCase{"QuotedComma",
                 "ATTRS{manufacturer}==\"a,b\", ATTRS{idVendor}==\"0403\", "
                 "ENV{ID_MM_DEVICE_IGNORE}=\"1\"",
                 "0403", "6001", true, true},
        // brltty's own form: PRODUCT is the ids in hexadecimal without
        // leading zeros, then the release.
        RuleCase{"BrlttyProduct", "ENV{PRODUCT}==\"1a86/7523/*\", GOTO=\"brltty_usb_run\"", "1a86",
                 "7523", false, true},
        RuleCase{"BrlttyProductWithoutLeadingZeros", "ENV{PRODUCT}==\"403/6001/*\"", "0403", "6001",
                 false, true},
        RuleCase{"BrlttyOtherProduct", "ENV{PRODUCT}==\"1a86/7523/*\"", "1a86", "5523", false,
                 false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(GroupFile, MembersAndGidsOfTheLinesThatParse) {
  const auto groups = ParseGroupFile(
      "root:x:0:\n"
      "dialout:x:20:alice, bob\r\n"
      "broken line\n"
      "nogid:x::alice\n"
      "plugdev:x:46:bob\n");
  ASSERT_EQ(groups.size(), 3u);
  EXPECT_EQ(groups[0].name, "root");
  EXPECT_TRUE(groups[0].members.empty());
  EXPECT_EQ(groups[1].gid, 20u);
  EXPECT_EQ(groups[1].members, (std::vector<std::string>{"alice", "bob"}));
  EXPECT_EQ(groups[2].name, "plugdev");
}

}  // namespace
