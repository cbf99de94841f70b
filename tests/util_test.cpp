// SPDX-License-Identifier: MIT
// The small helpers every layer uses: the image digest and the quoting of
// outside text for terminals and JSON, names compared as devices.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "util/json_text.h"
#include "util/same_device.h"
#include "util/sha256.h"
#include "util/text.h"

namespace {

std::string Digest(const std::string& text) {
  Sha256 sha;
  sha.Add({reinterpret_cast<const uint8_t*>(text.data()), text.size()});
  return sha.Hex();
}

// The published test vectors, and lengths around the 64-byte block and its
// 56-byte padding limit, cut into pieces that straddle the blocks.
TEST(Sha256, KnownDigests) {
  EXPECT_EQ(Digest(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(Digest("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(Digest("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  Sha256 million;
  const std::vector<uint8_t> chunk(1000, 'a');
  for (int i = 0; i < 1000; ++i) million.Add(chunk);
  EXPECT_EQ(million.Hex(), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
  Sha256 pieces;
  const std::string text = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
  for (char c : text) pieces.Add({reinterpret_cast<const uint8_t*>(&c), 1});
  EXPECT_EQ(pieces.Hex(), Digest(text));
}

struct QuotingCase {
  const char* name;
  std::string text;
  std::string printable;
  std::string json;
};

void PrintTo(const QuotingCase& c, std::ostream* os) { *os << c.name; }

class Quoting : public ::testing::TestWithParam<QuotingCase> {};

TEST_P(Quoting, ForTerminalsAndForJson) {
  EXPECT_EQ(PrintableText(GetParam().text), GetParam().printable);
  EXPECT_EQ(JsonString(GetParam().text), "\"" + GetParam().json + "\"");
}

INSTANTIATE_TEST_SUITE_P(
    Texts, Quoting,
    ::testing::Values(
        QuotingCase{"Ascii", "KR2-E_v1.3.bin", "KR2-E_v1.3.bin", "KR2-E_v1.3.bin"},
        QuotingCase{"Utf8StaysAsItIs", "caf\xC3\xA9_\xE2\x82\xAC_\xF0\x9F\x98\x80",
                    "caf\xC3\xA9_\xE2\x82\xAC_\xF0\x9F\x98\x80",
                    "caf\xC3\xA9_\xE2\x82\xAC_\xF0\x9F\x98\x80"},
        QuotingCase{"LineBreaksAndTabs", "a\nb\rc\td", "a\\nb\\rc\\td", "a\\nb\\rc\\td"},
        QuotingCase{"OtherControls", std::string("\x01\x1B[2K\x7F", 6), "\\x01\\x1B[2K\\x7F",
                    "\\u0001\\u001b[2K\\u007f"},
        QuotingCase{"C1Controls", "x\xC2\x85y\xC2\x9Bz", "x\\xC2\\x85y\\xC2\\x9Bz",
                    "x\xC2\x85y\xC2\x9Bz"},
        QuotingCase{"QuotesAndBackslashes", "C:\\a \"b\"", "C:\\a \"b\"", "C:\\\\a \\\"b\\\""},
        // Bytes that are no UTF-8: a Latin-1 é, a stray continuation byte,
        // an overlong '/', a surrogate, a cut sequence.
        QuotingCase{"InvalidBytes", "\xE9-\x80-\xC0\xAF-\xED\xA0\x80-\xE2\x82",
                    "\\xE9-\\x80-\\xC0\\xAF-\\xED\\xA0\\x80-\\xE2\\x82",
                    "\\udce9-\\udc80-\\udcc0\\udcaf-\\udced\\udca0\\udc80-\\udce2\\udc82"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace

namespace {

// --- Names compared as devices -----------------------------------------------

TEST(ComPortNumber, ReadsEverySpellingOfAComPortAndNothingElse) {
  const std::vector<std::pair<std::string, std::optional<unsigned>>> cases = {
      {"COM5", 5u},
      {"com5", 5u},
      {"\\\\.\\COM12", 12u},
      {"\\\\.\\cOm12", 12u},
      {"COM256", 256u},
      {"COM", std::nullopt},
      {"COM0", std::nullopt},
      {"COM05", std::nullopt},
      {"COM5x", std::nullopt},
      {"/dev/ttyS0", std::nullopt},
      {"xCOM5", std::nullopt}};
  for (const auto& [name, number] : cases) EXPECT_EQ(ComPortNumber(name), number) << name;
}

// Real files through the system: two spellings of one file, of one new
// name, and two different files.
TEST(SameDevice, NamesOneFileHoweverItIsSpelled) {
  namespace fs = std::filesystem;
  const fs::path dir =
      fs::temp_directory_path() /
      ("morvix-same-" +
       std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
  fs::create_directories(dir / "sub");
  std::ofstream(dir / "a.bin") << "a";
  std::ofstream(dir / "b.bin") << "b";
  const std::string a = (dir / "a.bin").string();
  const std::string aAgain = (dir / "sub" / ".." / "a.bin").string();
  const std::string b = (dir / "b.bin").string();
  const std::string fresh = (dir / "new.log").string();
  const std::string freshAgain = (dir / "sub" / ".." / "new.log").string();
  EXPECT_TRUE(SameDevice(a, aAgain));
  EXPECT_FALSE(SameDevice(a, b));
  EXPECT_TRUE(SameDevice(fresh, freshAgain));
  EXPECT_FALSE(SameDevice(a, fresh));
  EXPECT_FALSE(SameDevice(fresh, (dir / "other.log").string()));
  fs::remove_all(dir);
}

}  // namespace
