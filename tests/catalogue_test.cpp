// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "catalogue/model_table.h"

namespace {

using Names = std::set<std::string>;

// The rule sets as the model list names them, kept apart from the table so
// that each checks the other.
const Names kUsb = {"MU",      "MU-H",    "GL30",        "GL20",        "GL20-AIO",
                    "MU24",    "KR3-PW3", "KR3-PACKAGE", "HUX-R",       "GL10",
                    "PW3-AIO", "ZO3BZ3",  "BZ3-AIO",     "GL20-TO-GL30"};
const Names kAio = {"36PW2-AIO", "GL20-AIO", "PW3-AIO", "BZ3-AIO"};
const Names kE1 = {"KR2-C-V2", "KR2-C-V4", "PW2-CAR", "FQ32", "KR2-E", "MU24"};
const Names kE2 = {"MU", "MU-H"};
const Names kE3 = {"GL30",  "GL20", "KR3-PW3", "KR3-PACKAGE",
                   "HUX-R", "GL10", "ZO3BZ3",  "GL20-TO-GL30"};
const Names kE4 = {"GL20-AIO", "PW3-AIO", "BZ3-AIO"};
const Names kB1 = {"MU", "MU-H", "36PW2-AIO", "GL20-AIO", "PW3-AIO", "BZ3-AIO"};
const Names kR1 = {"MU", "MU-H", "MU24"};
const Names kR3 = {"KR2-C-V2", "KR2-C-V4", "PW2-CAR"};

bool In(const Names& set, const std::string& name) { return set.count(name) != 0; }

class EveryModel : public ::testing::TestWithParam<int> {
 protected:
  std::string Name() const { return ModelAt(GetParam()).name; }
};

TEST_P(EveryModel, ColumnRulesFollowTheNameSets) {
  const std::string name = Name();
  EXPECT_EQ(IsUsbModel(name), In(kUsb, name));
  EXPECT_EQ(IsAioModel(name), In(kAio, name));

  EraseRule erase = EraseRule::kE5;
  if (In(kE1, name)) erase = EraseRule::kE1;
  if (In(kE2, name)) erase = EraseRule::kE2;
  if (In(kE3, name)) erase = EraseRule::kE3;
  if (In(kE4, name)) erase = EraseRule::kE4;
  if (name == "36PW2-AIO") erase = EraseRule::kE6;
  EXPECT_EQ(EraseRuleOf(name), erase);

  const BlockRule blocks = In(kB1, name)   ? BlockRule::kB1
                           : In(kE3, name) ? BlockRule::kB2  // B2 is the E3 set
                                           : BlockRule::kB3;
  EXPECT_EQ(BlockRuleOf(name), blocks);

  ReconnectRule reconnect = ReconnectRule::kR4;
  if (In(kR1, name)) reconnect = ReconnectRule::kR1;
  if (In(kUsb, name) && !In(kR1, name)) reconnect = ReconnectRule::kR2;
  if (In(kR3, name)) reconnect = ReconnectRule::kR3;
  EXPECT_EQ(ReconnectRuleOf(name), reconnect);

  const uint16_t code = ModelCode(GetParam());
  const LoaderIdRule loaderId = In(kUsb, name)   ? LoaderIdRule::kL1
                                : code == 0x000C ? LoaderIdRule::kL2
                                                 : LoaderIdRule::kL3;
  EXPECT_EQ(LoaderIdRuleOf(name, code), loaderId);
}

TEST_P(EveryModel, SizeLimitAcceptsEqualAndRefusesOneMore) {
  const std::string name = Name();
  const SizeLimit limit = SizeLimitOf(name);
  uint32_t expected = 493568;
  if (In(kE1, name) && name != "KR2-E" && name != "MU24") expected = 524288;
  if (name == "KR2-E" || name == "MU24") expected = 917504;
  if (name == "36PW2-AIO") expected = 12288;
  if (In(kE4, name)) expected = 40960;
  if (In(kE3, name)) expected = 2076672;
  EXPECT_EQ(limit.bytes, expected);
  EXPECT_EQ(std::string(limit.message).rfind("The file size EXCEEDS the MAXIMUM size (", 0), 0u);
}

TEST_P(EveryModel, RowIsFoundByItsNameAndRulesOfTheNameAreTheRow) {
  EXPECT_EQ(FindModel(Name()), GetParam());
  EXPECT_EQ(&RulesOf(Name()), &ModelAt(GetParam()));
  EXPECT_EQ(SubCodeOf(ModelAt(GetParam())), In(kAio, Name()) ? 0x5B : 0x59);
}

// The compatibility check is the identity code's: every model of a code is
// checked alike, and the pair a register tells apart holds the model itself.
TEST_P(EveryModel, VariantCheckBelongsToTheIdentityCode) {
  const ModelRules& model = ModelAt(GetParam());
  for (int other = 0; other < kModelCount; ++other) {
    if (ModelCode(other) != model.code) continue;
    EXPECT_EQ(ModelAt(other).variant, model.variant) << ModelName(other);
    EXPECT_EQ(ModelAt(other).pair, model.pair) << ModelName(other);
  }
  EXPECT_EQ(model.variant == VariantCheck::kLoaderVersion, HasLoaderVersionCode(model.code));
  if (model.pair != nullptr) {
    EXPECT_TRUE(Name() == model.pair->modelWhenSet || Name() == model.pair->modelWhenClear);
  }
  const bool kr2 = model.code == 0x000C;
  EXPECT_EQ(model.variant == VariantCheck::kKr2, kr2);
  const bool register1148 = model.code == 0x0013 || model.code == 0x0015;
  EXPECT_EQ(model.variant == VariantCheck::kD1148, register1148);
  const bool register1001 = model.code == 0x0008 || model.code == 0xA001;
  EXPECT_EQ(model.variant == VariantCheck::kD1001, register1001);
}

INSTANTIATE_TEST_SUITE_P(Models, EveryModel, ::testing::Range(0, kModelCount),
                         [](const auto& info) {
                           std::string name = ModelAt(info.param).name;
                           for (char& c : name) {
                             if (c == '-') c = '_';
                           }
                           return name;
                         });

TEST(ModelTable, NamesAreUniqueAndFitTheirSlots) {
  Names seen;
  for (int i = 0; i < kModelCount; ++i) {
    EXPECT_LT(std::string(ModelAt(i).name).size(), static_cast<size_t>(kModelNameSize));
    EXPECT_TRUE(seen.insert(ModelAt(i).name).second) << ModelAt(i).name;
  }
  EXPECT_EQ(seen.size(), 32u);
  EXPECT_EQ(kUsb.size(), 14u);
}

TEST(ModelTable, DefaultModelGL30IsRow12WithCode0x3000) {
  EXPECT_EQ(FindModel("GL30"), 12);
  EXPECT_EQ(ModelCode(12), 0x3000);
  EXPECT_EQ(FindModel("gl30"), std::nullopt);  // names compare case-sensitively
  EXPECT_EQ(FindModel("GL3"), std::nullopt);
}

TEST(ModelTable, SharedCodeStillTellsNameKeyedRulesApart) {
  for (const char* name : {"GL20", "GL20-AIO", "GL20-TO-GL30"}) {
    EXPECT_EQ(ModelCode(*FindModel(name)), 0x3010) << name;
  }
  EXPECT_EQ(SizeLimitOf("GL20-AIO").bytes, 40960u);
  EXPECT_EQ(EraseRuleOf("GL20-AIO"), EraseRule::kE4);
  EXPECT_EQ(SizeLimitOf("GL20").bytes, 2076672u);
  EXPECT_EQ(EraseRuleOf("GL20"), EraseRule::kE3);
}

TEST(ModelTable, LimitMessagesOfEveryRow) {
  EXPECT_STREQ(SizeLimitOf("FQ32").message,
               "The file size EXCEEDS the MAXIMUM size (128 * 1024 * 4)");
  EXPECT_STREQ(SizeLimitOf("MU24").message,
               "The file size EXCEEDS the MAXIMUM size (128 * 1024 * 7)");
  EXPECT_STREQ(SizeLimitOf("36PW2-AIO").message,
               "The file size EXCEEDS the MAXIMUM size (4 * 1024)");
  EXPECT_STREQ(SizeLimitOf("PW3-AIO").message,
               "The file size EXCEEDS the MAXIMUM size (40 * 1024)");
  EXPECT_STREQ(SizeLimitOf("GL10").message, "The file size EXCEEDS the MAXIMUM size (2028 * 1024)");
  EXPECT_STREQ(SizeLimitOf("MU").message,
               "The file size EXCEEDS the MAXIMUM size (2 * 1024 * 240)");
}

struct CountCase {
  const char* model;
  uint32_t size;
  uint16_t eraseSteps;
  uint32_t dataBytes;
  uint32_t blocks;
  uint32_t imageBytes;
};

class Counts : public ::testing::TestWithParam<CountCase> {};

TEST_P(Counts, EraseStepsAndBlocksForSize) {
  const CountCase& c = GetParam();
  EXPECT_EQ(EraseCount(c.model, c.size), c.eraseSteps);
  const BlockPlan plan = BlockPlanOf(c.model, c.size);
  EXPECT_EQ(plan.dataBytes, c.dataBytes);
  EXPECT_EQ(plan.blocks, c.blocks);
  EXPECT_EQ(plan.imageBytes, c.imageBytes);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, Counts,
    ::testing::Values(CountCase{"GL30", 2076672, 506, 256, 8096, 2072576},  // E3/B2 at the limit
                      CountCase{"GL30", 4096, 0, 256, 0, 0},                // only the handshakes
                      CountCase{"GL30", 4097, 1, 256, 1, 1},
                      CountCase{"GL30", 8192, 1, 256, 16, 4096},
                      CountCase{"KR2-E", 917504, 8, 128, 7168, 917504},  // E1/B3
                      CountCase{"KR2-E", 131071, 1, 128, 1024, 131071},
                      CountCase{"MU24", 200, 1, 128, 2, 200},     // USB model under B3
                      CountCase{"MU", 16384, 2, 256, 64, 16384},  // E2/B1
                      CountCase{"MU", 300, 1, 256, 2, 300},
                      CountCase{"GL20-AIO", 40960, 20, 256, 160, 40960},  // E4
                      CountCase{"GL20-AIO", 2049, 2, 256, 9, 2049},
                      CountCase{"HM2", 2048, 2, 128, 16, 2048},  // E5
                      CountCase{"HM2", 2047, 1, 128, 16, 2047},
                      CountCase{"36PW2-AIO", 12288, 4, 256, 48, 12288},  // E6: always 4
                      CountCase{"36PW2-AIO", 1, 4, 256, 1, 1}));

TEST(ModelTable, SmallImagesAreRefusedOnlyUnderTheSectorRules) {
  EXPECT_TRUE(ImageTooSmall("GL30", 4095));
  EXPECT_TRUE(ImageTooSmall("GL20-TO-GL30", 0));
  EXPECT_FALSE(ImageTooSmall("GL30", 4096));
  EXPECT_FALSE(ImageTooSmall("GL20-AIO", 100));  // E4/B1 send every byte
  EXPECT_FALSE(ImageTooSmall("KR2-E", 1));
}

struct IdCase {
  const char* model;
  uint16_t reported;
  bool accepted;
};

class LoaderIdentity : public ::testing::TestWithParam<IdCase> {};

TEST_P(LoaderIdentity, AcceptsByRule) {
  const IdCase& c = GetParam();
  const uint16_t code = ModelCode(*FindModel(c.model));
  EXPECT_EQ(LoaderIdAccepts(c.model, code, c.reported), c.accepted);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, LoaderIdentity,
    ::testing::Values(IdCase{"KR2-PW2-V2", 0x000C, true}, IdCase{"KR2-PW2-V2", 0x000D, true},
                      IdCase{"KR2-C-V4", 0x000D, true}, IdCase{"KR2-PW2-V2", 0x000E, false},
                      IdCase{"36PW2-AIO", 0x000D, true}, IdCase{"36PW2-AIO", 0x000C, false},
                      IdCase{"VOK-KR2-V2", 0x2001, true}, IdCase{"VOK-KR2-V2", 0xA001, false},
                      IdCase{"FQ2-H", 0x2003, true}, IdCase{"PW2-CAR", 0x2006, true},
                      IdCase{"MU-H", 0xA002, true}, IdCase{"MU-H", 0x2002, false},
                      IdCase{"HUX-R", 0xA00B, true}, IdCase{"GL30", 0x3000, true},
                      IdCase{"GL30", 0x3010, false}));

TEST(ModelTable, ApplicationIdentityIsExactExceptForCode0x000C) {
  EXPECT_TRUE(ApplicationIdAccepts(0x000C, 0x000C));
  EXPECT_TRUE(ApplicationIdAccepts(0x000C, 0x000D));
  EXPECT_TRUE(ApplicationIdAccepts(0x000D, 0x000D));
  EXPECT_FALSE(ApplicationIdAccepts(0x000D, 0x000C));
  EXPECT_TRUE(ApplicationIdAccepts(0xA001, 0xA001));
  EXPECT_FALSE(ApplicationIdAccepts(0xA001, 0x2001));  // no masking in application mode
}

TEST(ModelTable, LoaderVersionCodes) {
  for (uint16_t code : {0x3000, 0x3010, 0x0020, 0xA00B, 0x3020, 0x0022}) {
    EXPECT_TRUE(HasLoaderVersionCode(code)) << code;
  }
  for (uint16_t code : {0x000C, 0x000D, 0x0015, 0xA002, 0x0000}) {
    EXPECT_FALSE(HasLoaderVersionCode(code)) << code;
  }
}

struct VersionCase {
  const char* model;
  uint8_t version;
  const char* refusal;  // nullptr: accepted
};

class LoaderVersion : public ::testing::TestWithParam<VersionCase> {};

TEST_P(LoaderVersion, RequirementOfTheAioUsbModels) {
  const VersionCase& c = GetParam();
  const char* refusal = LoaderVersionRefusal(c.model, c.version);
  if (c.refusal == nullptr) {
    EXPECT_EQ(refusal, nullptr);
  } else {
    ASSERT_NE(refusal, nullptr);
    EXPECT_STREQ(refusal, c.refusal);
  }
}

constexpr char kV09[] = "The bootloader version is V0.9, do not support AIO FW update";
constexpr char kV10[] = "The bootloader version is V1.0, do not support AIO FW update";
constexpr char kUnknown[] = "The bootloader version is unknown, do not support AIO FW update";

INSTANTIATE_TEST_SUITE_P(
    Rules, LoaderVersion,
    ::testing::Values(VersionCase{"GL20-AIO", 0x10, nullptr},
                      VersionCase{"GL20-AIO", 0x0F, kUnknown}, VersionCase{"GL20-AIO", 0x09, kV09},
                      VersionCase{"GL20-AIO", 0x00, kUnknown}, VersionCase{"BZ3-AIO", 0x09, kV09},
                      VersionCase{"BZ3-AIO", 0xFF, nullptr}, VersionCase{"PW3-AIO", 0x12, nullptr},
                      VersionCase{"PW3-AIO", 0x11, kUnknown}, VersionCase{"PW3-AIO", 0x10, kV10},
                      VersionCase{"PW3-AIO", 0x09, kUnknown}, VersionCase{"GL30", 0x00, nullptr},
                      VersionCase{"36PW2-AIO", 0x00, nullptr}));

}  // namespace
