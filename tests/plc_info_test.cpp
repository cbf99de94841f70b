// SPDX-License-Identifier: MIT
// A look at a PLC without changing it, against the simulated PLC: what it
// reads in each mode, for each way its variants are told apart, and that
// nothing but queries ever reaches the PLC.
#include "burn/plc_info.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <set>

#include "sim/plc_sim.h"
#include "sim/sim_link.h"

namespace {

using ::testing::ElementsAre;

struct Look {
  const char* model;
  PlcMode mode;
  std::vector<std::string> fitting;  // the models the readings leave
  bool registers;                    // application mode read a variant register
  bool loaderVersion;
};

std::vector<std::string> Names(const std::vector<const ModelRules*>& models) {
  std::vector<std::string> names;
  for (const ModelRules* model : models) names.emplace_back(model->name);
  return names;
}

class PlcLook : public ::testing::TestWithParam<Look> {};

TEST_P(PlcLook, ReadsWhatThePlcIsWithQueriesOnly) {
  const Look& c = GetParam();
  const ModelRules& model = ModelAt(*FindModel(c.model));
  PlcSettings settings = DefaultPlcSettings(*FindModel(c.model), 9077);
  settings.startMode = c.mode;
  PlcSimulator plc(settings);
  auto link = OpenSimLink(plc);
  StatusBoard status;
  CancelToken cancel;
  const PlcInfo info = ReadPlcInfo({*link, status, cancel}, model);
  link.reset();

  EXPECT_EQ(info.firmware,
            c.mode == PlcMode::kLoader ? RunningFirmware::kLoader : RunningFirmware::kApplication);
  ASSERT_TRUE(info.identityCode);
  EXPECT_EQ(Names(info.fitting), c.fitting);
  EXPECT_EQ(info.readings.d1386 || info.readings.d1001 || info.readings.d1148, c.registers);
  EXPECT_EQ(info.readings.loaderVersion.has_value(), c.loaderVersion);

  // Queries only: the PLC never heard a command that erases, restarts it
  // into its loader or writes, and it is still in the mode it was.
  const std::set<PlcRequest> queries = {
      PlcRequest::kWakeUp,    PlcRequest::kCommCheck, PlcRequest::kIdentityA,
      PlcRequest::kReadD1386, PlcRequest::kReadD1001, PlcRequest::kReadD1148,
      PlcRequest::kVersionA,  PlcRequest::kId,        PlcRequest::kVersion};
  ASSERT_FALSE(plc.record().requests.empty());
  for (const PlcRequestRecord& request : plc.record().requests) {
    EXPECT_EQ(queries.count(request.request), 1u) << PlcRequestName(request.request);
  }
  EXPECT_EQ(plc.mode(), c.mode);
  EXPECT_TRUE(plc.record().violations.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Models, PlcLook,
    ::testing::Values(
        Look{"KR2-E", PlcMode::kApplication, {"KR2-E"}, false, false},
        Look{"KR2-E", PlcMode::kLoader, {"KR2-E"}, false, false},
        Look{"FQ32", PlcMode::kApplication, {"FQ32"}, true, false},
        Look{"KR2-C-V4", PlcMode::kApplication, {"KR2-C-V4"}, true, false},
        Look{"GL30", PlcMode::kApplication, {"GL30"}, false, true},
        Look{"GL20-AIO", PlcMode::kLoader, {"GL20", "GL20-AIO", "GL20-TO-GL30"}, false, true},
        Look{"MU", PlcMode::kLoader, {"MU", "MU24"}, false, false}),
    [](const auto& info) {
      std::string name = std::string(info.param.model) +
                         (info.param.mode == PlcMode::kLoader ? "_Loader" : "_Application");
      for (char& c : name) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
      return name;
    });

TEST(PlcLook, APlcThatDoesNotAnswerSaysSoAndIsLeftAlone) {
  PlcSettings settings = DefaultPlcSettings(*FindModel("GL30"), 9077);
  settings.faults.push_back({FaultKind::kSilence, PlcRequest::kUnknown, 0, 1});
  PlcSimulator plc(settings);
  auto link = OpenSimLink(plc);
  StatusBoard status;
  CancelToken cancel;
  const PlcInfo info = ReadPlcInfo({*link, status, cancel}, ModelAt(*FindModel("GL30")));
  EXPECT_EQ(info.firmware, RunningFirmware::kNone);
  EXPECT_EQ(info.failure, "NO RESPONSE @ State 1");
  EXPECT_FALSE(info.identityCode);
}

}  // namespace
