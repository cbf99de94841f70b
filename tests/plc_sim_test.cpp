// SPDX-License-Identifier: MIT
// The simulated PLC at the byte level: what it answers, what it refuses and
// records as a violation, and how each fault shows on the wire.
#include "sim/plc_sim.h"

#include <gtest/gtest.h>

#include <bit>
#include <functional>
#include <string>
#include <vector>

#include "catalogue/model_table.h"
#include "link/app_protocol.h"
#include "sim/sim_report.h"
#include "support/test_data.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes B(std::string_view text) { return Bytes(text.begin(), text.end()); }
std::string Text(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

int Model(std::string_view name) {
  const auto index = FindModel(name);
  EXPECT_TRUE(index.has_value()) << name;
  return index.value_or(0);
}

Bytes Frame(std::initializer_list<uint8_t> message) {
  const Bytes m(message);
  return ModbusAsciiFrame(m);
}

Bytes Command64(uint8_t sub, std::initializer_list<uint8_t> command) {
  Bytes m = {0x00, 0x64, 0x01, sub};
  m.insert(m.end(), command);
  return ModbusAsciiFrame(m);
}

// A block packet as the tool builds it, the last one filled with 0x1A.
Bytes Block(uint8_t number, const Bytes& image, size_t index, size_t d) {
  Bytes p = {0x02, number, static_cast<uint8_t>(255 - number)};
  for (size_t i = 0; i < d; ++i) {
    const size_t at = index * d + i;
    p.push_back(at < image.size() ? image[at] : 0x1A);
  }
  const uint16_t crc = SimCrc16(std::span<const uint8_t>(p).subspan(3, d));
  p.push_back(static_cast<uint8_t>(crc >> 8));
  p.push_back(static_cast<uint8_t>(crc));
  return p;
}

class Plc {
 public:
  explicit Plc(PlcSettings settings) : sim(std::move(settings)) { sim.Connect(); }
  Plc(std::string_view model, uint32_t imageSize)
      : Plc(DefaultPlcSettings(Model(model), imageSize)) {}

  // Sends `request` at the line speed the PLC expects for its kind.
  Bytes Send(const Bytes& request, const LineSettings& line = kApplicationLineSettings) {
    sim.Receive(request, line);
    return sim.TakeOutput().bytes;
  }
  Bytes SendFast(const Bytes& request) { return Send(request, kLoaderLineSettings); }

  size_t Violations() const { return sim.record().violations.size(); }
  std::string LastViolation() const {
    return sim.record().violations.empty() ? "" : sim.record().violations.back().reason;
  }

  // Takes a loader at the start of its dialogue to where it waits for the
  // first block.
  void ToUpdate() {
    ASSERT_EQ(sim.mode(), PlcMode::kLoader);
    const bool aio = IsAioModel(sim.model());
    ASSERT_EQ(Send(Command64(aio ? 0x5B : 0x59, {0x01})).size(), 19u);
    ASSERT_EQ(Send(B("ID")).size(), 3u);
    if (HasLoaderVersionCode(ModelCode(sim.settings().model))) {
      ASSERT_EQ(Send(B("VERSION")).size(), 3u);
    }
    for (uint32_t i = 0; i < sim.expectedEraseSteps(); ++i) {
      ASSERT_EQ(Send(B("ERASE")), Bytes{0x06});
    }
    ASSERT_EQ(Send({0x04}), Bytes{0x06});
    ASSERT_EQ(Send(B("UPDATE")), Bytes{0x06});
  }

  PlcSimulator sim;
};

PlcSettings LoaderSettings(std::string_view model, uint32_t size) {
  PlcSettings s = DefaultPlcSettings(Model(model), size);
  s.startMode = PlcMode::kLoader;
  return s;
}

// --- Application mode --------------------------------------------------------

TEST(PlcApplicationMode, AnswersEachRequestWithTheFrameTheToolReads) {
  Plc plc("KR2-E", 1000);
  // Status 0x05 in byte 4: the application firmware answers.
  EXPECT_EQ(Text(plc.Send(B(":006401590141\r\n"))),
            ":00640159050000"
            "3D\r\n");
  // 0x06 and the identity code 0x0017.
  EXPECT_EQ(Text(plc.Send(B(":006401594944B5\r\n"))), Text(Frame({0, 0x64, 1, 0x59, 6, 0, 0x17})));
  EXPECT_EQ(Text(plc.Send(B(":0003156A00017D\r\n"))), Text(Frame({0, 3, 2, 0, 0})));
  EXPECT_EQ(Text(plc.Send(B(":000313E9000100\r\n"))), Text(Frame({0, 3, 2, 0, 0x30})));
  EXPECT_EQ(Text(plc.Send(B(":00640159053D\r\n"))), Text(Frame({0, 0x64, 1, 0x59, 0x12, 0, 0})));
  EXPECT_EQ(Text(plc.Send(B(":006401594552415345D2\r\n"))),
            Text(Frame({0, 0x64, 1, 0x59, 6, 0, 0})));
  EXPECT_EQ(plc.Violations(), 0u);
}

TEST(PlcApplicationMode, WakeUpGetsTheElevenByteExceptionReplyOrNothing) {
  Plc answering("GL30", 8192);
  EXPECT_EQ(Text(answering.Send(B(":007F81\r\n"))), ":00FF0100\r\n");
  PlcSettings quiet = DefaultPlcSettings(Model("GL30"), 8192);
  quiet.answerWakeUp = false;
  Plc silent(quiet);
  EXPECT_TRUE(silent.Send(B(":007F81\r\n")).empty());
  EXPECT_EQ(silent.Violations(), 0u);
}

TEST(PlcApplicationMode, AioModelsTakeSubCode5BExceptInTheVersionQuery) {
  Plc plc("GL20-AIO", 8192);
  EXPECT_EQ(plc.Send(B(":0064015B013F\r\n")).size(), 19u);
  EXPECT_EQ(plc.Send(B(":00640159053D\r\n")).size(), 19u);
  EXPECT_EQ(plc.Violations(), 0u);
  EXPECT_TRUE(plc.Send(B(":006401590141\r\n")).empty());
  EXPECT_NE(plc.LastViolation().find("sub-code 0x59"), std::string::npos) << plc.LastViolation();
  EXPECT_TRUE(plc.Send(Command64(0x5B, {0x05})).empty());
  EXPECT_NE(plc.LastViolation().find("sub-code 0x5B"), std::string::npos) << plc.LastViolation();
}

struct BadFrame {
  const char* name;
  std::string frame;
  const char* reason;  // a part of the recorded reason
};

class PlcRejectsFrame : public ::testing::TestWithParam<BadFrame> {};

TEST_P(PlcRejectsFrame, WithAViolationAndNoReply) {
  Plc plc("KR2-E", 1000);
  EXPECT_TRUE(plc.Send(B(GetParam().frame)).empty());
  ASSERT_EQ(plc.Violations(), 1u);
  EXPECT_NE(plc.LastViolation().find(GetParam().reason), std::string::npos) << plc.LastViolation();
  // The PLC resynchronises on the next frame.
  EXPECT_EQ(plc.Send(B(":006401590141\r\n")).size(), 19u);
  EXPECT_EQ(plc.Violations(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Malformed, PlcRejectsFrame,
    ::testing::Values(BadFrame{"WrongLrc", ":006401590142\r\n", "LRC"},
                      BadFrame{"LowerCaseHex", ":006401594944b5\r\n", "lower-case"},
                      BadFrame{"NotHex", ":0064015G0141\r\n", "not hexadecimal"},
                      BadFrame{"StationOne", ":016401590140\r\n", "station 0x01"},
                      BadFrame{"NoCr", ":006401590141\n", "without CR"},
                      BadFrame{"OddLength", ":0064015901410\r\n", "odd number"},
                      BadFrame{"UnknownFunction", ":00050100FA\r\n", "function 0x05"},
                      BadFrame{"UnknownCommand", ":006401590939\r\n", "unknown"},
                      BadFrame{"NoFixedByte", ":006402590140\r\n", "where 0x01 belongs"},
                      BadFrame{"UnknownRegister", ":000310000001EC\r\n", "none of D1386"},
                      BadFrame{"TwoRegisters", ":0003156A00027C\r\n", "quantity 2"},
                      BadFrame{"OutsideAFrame", "ID", "begin no request"},
                      BadFrame{"ConfirmWithoutErase", ":00640159063C\r\n", "confirmation"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PlcApplicationMode, FrameSplitAcrossManyReceptionsIsOneRequest) {
  Plc plc("KR2-E", 1000);
  const Bytes frame = B(":006401594944B5\r\n");
  for (uint8_t byte : frame) plc.sim.Receive(std::span(&byte, 1), kApplicationLineSettings);
  EXPECT_EQ(plc.sim.TakeOutput().bytes.size(), 19u);
  EXPECT_EQ(plc.Violations(), 0u);
  ASSERT_EQ(plc.sim.record().requests.size(), 1u);
  EXPECT_EQ(plc.sim.record().requests[0].request, PlcRequest::kIdentityA);
}

TEST(PlcApplicationMode, HalfAFrameIsGivenUpWhenTheLineGoesQuiet) {
  Plc plc("KR2-E", 1000);
  EXPECT_TRUE(plc.Send(B(":00640159")).empty());
  plc.sim.LineIdle();
  EXPECT_EQ(plc.Violations(), 1u);
  EXPECT_EQ(plc.Send(B(":006401590141\r\n")).size(), 19u);
  EXPECT_EQ(plc.Violations(), 1u);
}

// --- Restart into the loader, for every model --------------------------------

// Until the replug or power cycle a PLC told to start its loader hears
// nothing; then its loader answers the communication check with 0x06.
TEST(PlcRestart, WaitsForTheNextOpenOfTheLinkUnderR1ToR3) {
  Plc plc("GL20-AIO", 8192);  // R2, AIO: sub-code 0x5B
  EXPECT_EQ(plc.Send(B(":0064015B4552415345D0\r\n")).size(), 19u);
  EXPECT_EQ(plc.sim.mode(), PlcMode::kApplication) << "nothing happens before the confirmation";
  EXPECT_TRUE(plc.Send(B(":0064015B063A\r\n")).empty());
  EXPECT_EQ(plc.sim.mode(), PlcMode::kRestarting);
  EXPECT_TRUE(plc.Send(B(":0064015B013F\r\n")).empty());
  EXPECT_EQ(plc.Violations(), 1u);
  plc.sim.Disconnect();
  ASSERT_TRUE(plc.sim.Connect());
  EXPECT_EQ(plc.sim.mode(), PlcMode::kLoader);
  EXPECT_EQ(Text(plc.Send(B(":0064015B013F\r\n"))), Text(Frame({0, 0x64, 1, 0x5B, 0x06, 0, 0})));
}

TEST(PlcRestart, StartsTheLoaderAtOnceUnderR4) {
  Plc plc("KR2-E", 1000);
  plc.Send(B(":006401594552415345D2\r\n"));
  plc.Send(B(":00640159063C\r\n"));
  EXPECT_EQ(plc.sim.mode(), PlcMode::kLoader);
  // Its dialogue begins with the communication check.
  EXPECT_TRUE(plc.Send(B("ID")).empty());
  EXPECT_NE(plc.LastViolation().find("before the communication check"), std::string::npos);
  EXPECT_EQ(plc.Send(B(":006401590141\r\n")).size(), 19u);
  EXPECT_EQ(plc.Send(B("ID")), (Bytes{0x06, 0x00, 0x17}));
}

TEST(PlcRestart, R3ModelAnswersTheEraseRequestWhenSetTo) {
  PlcSettings s = DefaultPlcSettings(Model("KR2-C-V2"), 8192);
  s.eraseRestartsSilently = false;
  Plc plc(s);
  EXPECT_EQ(plc.Send(B(":006401594552415345D2\r\n")).size(), 19u);
  EXPECT_EQ(plc.sim.mode(), PlcMode::kApplication);
  plc.Send(B(":00640159063C\r\n"));
  EXPECT_EQ(plc.sim.mode(), PlcMode::kRestarting);
}

TEST(PlcRestart, SecondOpenFailsWhileTheLinkIsOpen) {
  PlcSimulator sim(DefaultPlcSettings(Model("GL30"), 8192));
  EXPECT_TRUE(sim.Connect());
  EXPECT_FALSE(sim.Connect());
  sim.Disconnect();
  EXPECT_TRUE(sim.Connect());
  EXPECT_EQ(sim.record().connections, 2u);
}

// --- Loader mode ------------------------------------------------------------

TEST(PlcLoader, WholeDialogueWritesTheImageIntoItsFlash) {
  const Bytes image = TestImage(300);  // B3: 3 blocks, the last with 84 bytes of fill
  Plc plc(LoaderSettings("KR2-E", 300));
  plc.ToUpdate();
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(plc.SendFast(Block(static_cast<uint8_t>(i + 1), image, i, 128)), Bytes{0x06});
  }
  EXPECT_FALSE(plc.sim.record().updateComplete);
  EXPECT_EQ(plc.SendFast({0x04}), Bytes{0x06});
  EXPECT_TRUE(plc.sim.record().updateComplete);
  EXPECT_EQ(plc.Violations(), 0u) << plc.LastViolation();
  const Bytes& flash = plc.sim.record().flash;
  ASSERT_EQ(flash.size(), 384u);
  EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));
  EXPECT_EQ(flash.back(), 0x1A);
  EXPECT_EQ(plc.sim.record().eraseSteps, 1u);  // E1: 300 div 131072 + 1
}

// The report compares the flash with the image as the blocks carry it: the
// GL30 family's rules leave the image's last 4096-byte sector out.
TEST(PlcLoader, FlashMatchesTheImageAsTheBlocksCarryIt) {
  Bytes image = TestImage(4096 + 300);
  const Bytes carried(image.begin(), image.begin() + 300);
  Plc plc(LoaderSettings("GL30", static_cast<uint32_t>(image.size())));
  plc.ToUpdate();
  ASSERT_EQ(plc.sim.expectedBlocks(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(plc.SendFast(Block(static_cast<uint8_t>(i + 1), carried, i, 256)), Bytes{0x06});
  }
  EXPECT_EQ(plc.SendFast({0x04}), Bytes{0x06});
  ASSERT_EQ(plc.Violations(), 0u) << plc.LastViolation();
  EXPECT_TRUE(FlashMatchesImage(plc.sim, image));
  image.back() ^= 0xFF;  // in the sector the update leaves alone
  EXPECT_TRUE(FlashMatchesImage(plc.sim, image));
  image[299] ^= 0xFF;
  EXPECT_FALSE(FlashMatchesImage(plc.sim, image));
  EXPECT_FALSE(FlashMatchesImage(plc.sim, carried)) << "an image below a sector cannot be sent";
}

struct BadBlock {
  const char* name;
  std::function<void(Bytes&)> spoil;
  const char* reason;
};

class PlcRejectsBlock : public ::testing::TestWithParam<BadBlock> {};

// The PLC answers 0x15 and writes nothing; the block that belongs there
// goes through afterwards.
TEST_P(PlcRejectsBlock, WithNakAndAViolation) {
  const Bytes image = TestImage(300);
  Plc plc(LoaderSettings("KR2-E", 300));
  plc.ToUpdate();
  ASSERT_EQ(plc.SendFast(Block(1, image, 0, 128)), Bytes{0x06});
  Bytes second = Block(2, image, 1, 128);
  GetParam().spoil(second);
  EXPECT_EQ(plc.SendFast(second), Bytes{0x15});
  ASSERT_EQ(plc.Violations(), 1u);
  EXPECT_NE(plc.LastViolation().find(GetParam().reason), std::string::npos) << plc.LastViolation();
  EXPECT_EQ(plc.sim.record().blocksWritten, 1u);
  EXPECT_EQ(plc.SendFast(Block(2, image, 1, 128)), Bytes{0x06});
}

INSTANTIATE_TEST_SUITE_P(
    Malformed, PlcRejectsBlock,
    ::testing::Values(
        BadBlock{"WrongNumber", [](Bytes& p) { p[1] = 3, p[2] = 252; }, "where block 2"},
        BadBlock{"RepeatsTheLastNumber", [](Bytes& p) { p[1] = 1, p[2] = 254; }, "where block 2"},
        BadBlock{"WrongComplement", [](Bytes& p) { p[2] = 0; }, "complement"},
        BadBlock{"DataChangedAfterCrc", [](Bytes& p) { p[40] ^= 0x01; }, "CRC"},
        BadBlock{"CrcLowByte", [](Bytes& p) { p.back() ^= 0x80; }, "CRC"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PlcLoader, LastBlockWithoutTheFillIsAViolation) {
  const Bytes image = TestImage(300);
  Plc plc(LoaderSettings("KR2-E", 300));
  plc.ToUpdate();
  plc.SendFast(Block(1, image, 0, 128));
  plc.SendFast(Block(2, image, 1, 128));
  Bytes last = {0x02, 3, 252};
  for (size_t i = 256; i < 384; ++i) last.push_back(i < 300 ? image[i] : 0x00);  // zero padding
  const uint16_t crc = SimCrc16(std::span<const uint8_t>(last).subspan(3));
  last.push_back(static_cast<uint8_t>(crc >> 8));
  last.push_back(static_cast<uint8_t>(crc));
  plc.SendFast(last);
  ASSERT_EQ(plc.Violations(), 1u);
  EXPECT_NE(plc.LastViolation().find("data byte 44 is 0x00 where the 0x1A fill"), std::string::npos)
      << plc.LastViolation();
}

struct OutOfOrder {
  const char* name;
  std::string model;
  std::vector<Bytes> sequence;  // sent in order after the communication check
  const char* reason;
};

class PlcRejectsOrder : public ::testing::TestWithParam<OutOfOrder> {};

TEST_P(PlcRejectsOrder, WithAViolation) {
  Plc plc(LoaderSettings(GetParam().model, 8192));
  const uint8_t sub = IsAioModel(GetParam().model) ? 0x5B : 0x59;
  plc.Send(Command64(sub, {0x01}));
  Bytes lastReply;
  for (const Bytes& request : GetParam().sequence) {
    lastReply = request.size() > 100 ? plc.SendFast(request) : plc.Send(request);
  }
  bool found = false;
  std::string all;
  for (const PlcViolation& v : plc.sim.record().violations) {
    found = found || v.reason.find(GetParam().reason) != std::string::npos;
    all += v.reason + "; ";
  }
  EXPECT_TRUE(found) << all;
}

const Bytes kBlock1 = Block(1, TestImage(8192), 0, 128);
const Bytes kGlBlock1 = Block(1, TestImage(8192), 0, 256);

INSTANTIATE_TEST_SUITE_P(
    Loader, PlcRejectsOrder,
    ::testing::Values(
        OutOfOrder{"BlockBeforeUpdate", "KR2-E", {B("ID"), B("ERASE"), kBlock1}, "before UPDATE"},
        OutOfOrder{"EraseBeforeId", "KR2-E", {B("ERASE")}, "before ID"},
        OutOfOrder{"UpdateBeforeEraseEnd",
                   "KR2-E",
                   {B("ID"), B("ERASE"), B("UPDATE")},
                   "before the erase was closed"},
        OutOfOrder{"VersionForAModelWithout", "KR2-E", {B("ID"), B("VERSION")}, "does not have"},
        OutOfOrder{"EraseWithoutVersion", "GL30", {B("ID"), B("ERASE")}, "VERSION, which this"},
        OutOfOrder{
            "TooManyEraseSteps",
            "HM2",
            {B("ID"), B("ERASE"), B("ERASE"), B("ERASE"), B("ERASE"), B("ERASE"), B("ERASE")},
            "erases 5 times"},
        OutOfOrder{"TooFewEraseSteps", "HM2", {B("ID"), B("ERASE"), {0x04}}, "after 1 steps"},
        OutOfOrder{"TooFewBlocks",
                   "GL30",
                   {B("ID"), B("VERSION"), B("ERASE"), {0x04}, B("UPDATE"), {0x04}},
                   "after 0 blocks"},
        OutOfOrder{"ApplicationRequestInLoader",
                   "KR2-E",
                   {B(":006401594944B5\r\n")},
                   "application-mode request"},
        OutOfOrder{"UnknownCommand", "KR2-E", {B("IX")}, "unknown loader command"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PlcLoader, SerialModelsHearRequestsAtTheWrongSpeedAsNoise) {
  const Bytes image = TestImage(300);
  Plc plc(LoaderSettings("KR2-E", 300));
  plc.ToUpdate();
  // The tool did not switch to 115200 after "UPDATE".
  EXPECT_TRUE(plc.Send(Block(1, image, 0, 128), kApplicationLineSettings).empty());
  EXPECT_NE(plc.LastViolation().find("at 9600 baud 7E1 while the PLC listens at 115200 baud 8N1"),
            std::string::npos)
      << plc.LastViolation();
  EXPECT_EQ(plc.sim.record().blocksWritten, 0u);
  // A pseudo-terminal shows only the speed, and the speed alone is judged.
  plc.sim.Receive(Block(1, image, 0, 128), LineSettings{115200, 8, 0, 0}, true);
  EXPECT_EQ(plc.sim.TakeOutput().bytes, Bytes{0x06});
  EXPECT_EQ(plc.Violations(), 1u);
}

TEST(PlcLoader, UsbModelsIgnoreTheLineSettings) {
  Plc plc(LoaderSettings("MU", 300));
  EXPECT_EQ(plc.Send(B(":006401590141\r\n"), LineSettings{0, 0, 0, 0}).size(), 19u);
  EXPECT_EQ(plc.Violations(), 0u);
}

TEST(PlcLoader, NewConnectionRestartsTheDialogueAndAFinishedUpdateBootsTheFirmware) {
  const Bytes image = TestImage(300);
  Plc plc(LoaderSettings("KR2-E", 300));
  plc.ToUpdate();
  plc.sim.Disconnect();
  plc.sim.Connect();
  EXPECT_EQ(plc.sim.mode(), PlcMode::kLoader);
  plc.ToUpdate();
  for (size_t i = 0; i < 3; ++i) plc.SendFast(Block(static_cast<uint8_t>(i + 1), image, i, 128));
  plc.SendFast({0x04});
  ASSERT_TRUE(plc.sim.record().updateComplete);
  plc.sim.Disconnect();
  plc.sim.Connect();
  EXPECT_EQ(plc.sim.mode(), PlcMode::kApplication);
  EXPECT_EQ(plc.Violations(), 0u) << plc.LastViolation();
}

// --- Faults on the wire -------------------------------------------------------

PlcSettings WithFault(PlcSettings s, PlcFault fault) {
  s.faults.push_back(fault);
  return s;
}

TEST(PlcFaults, SilenceOnTheNthTimeOnly) {
  Plc plc(WithFault(DefaultPlcSettings(Model("KR2-E"), 1000),
                    {FaultKind::kSilence, PlcRequest::kCommCheck, 2, 1}));
  EXPECT_EQ(plc.Send(B(":006401590141\r\n")).size(), 19u);
  EXPECT_TRUE(plc.Send(B(":006401590141\r\n")).empty());
  EXPECT_EQ(plc.Send(B(":006401590141\r\n")).size(), 19u);
  EXPECT_EQ(plc.sim.record().requests[1].fault, "silence");
}

TEST(PlcFaults, RefusalCarriesClassAndDetail) {
  Plc plc(WithFault(DefaultPlcSettings(Model("GL20-AIO"), 8192),
                    {FaultKind::kRefuse, PlcRequest::kEraseA, 0, 1, 0x02, 0x04}));
  EXPECT_EQ(Text(plc.Send(B(":0064015B4552415345D0\r\n"))),
            Text(Frame({0, 0x64, 1, 0x5B, 0x15, 0x02, 0x04})));
  EXPECT_EQ(plc.sim.mode(), PlcMode::kApplication);
}

TEST(PlcFaults, DamagedModbusReplies) {
  PlcSettings s = DefaultPlcSettings(Model("KR2-E"), 1000);
  s.faults = {{FaultKind::kGarbleLrc, PlcRequest::kCommCheck, 1, 1},
              {FaultKind::kLowerCase, PlcRequest::kCommCheck, 2, 1},
              {FaultKind::kShortReply, PlcRequest::kCommCheck, 3, 1}};
  Plc plc(s);
  const std::string good = Text(Frame({0, 0x64, 1, 0x59, 5, 0, 0}));  // ...3D
  EXPECT_EQ(Text(plc.Send(B(":006401590141\r\n"))),
            ":00640159050000"
            "3E\r\n");
  EXPECT_EQ(Text(plc.Send(B(":006401590141\r\n"))),
            ":00640159050000"
            "3d\r\n");
  EXPECT_EQ(Text(plc.Send(B(":006401590141\r\n"))), good.substr(0, 18));
  EXPECT_EQ(Text(plc.Send(B(":006401590141\r\n"))), good);
}

// An "ERASE" whose acknowledgement the PLC damaged comes again: that is the
// same erase step, not one more.
TEST(PlcFaults, RetryAfterADamagedReplyIsNotANewStep) {
  Plc plc(
      WithFault(LoaderSettings("KR2-E", 1000), {FaultKind::kShortReply, PlcRequest::kErase, 1, 1}));
  plc.Send(B(":006401590141\r\n"));
  plc.Send(B("ID"));
  EXPECT_TRUE(plc.Send(B("ERASE")).empty());
  EXPECT_EQ(plc.Send(B("ERASE")), Bytes{0x06});
  EXPECT_EQ(plc.sim.record().eraseSteps, 1u);
  EXPECT_EQ(plc.Send({0x04}), Bytes{0x06});
  EXPECT_EQ(plc.Violations(), 0u) << plc.LastViolation();
}

TEST(PlcFaults, BitErrorsFollowTheSeed) {
  auto run = [](uint64_t seed) {
    PlcSettings s = DefaultPlcSettings(Model("KR2-E"), 1000);
    s.bitErrorRate = 0.05;
    s.bitErrorSeed = seed;
    Plc plc(s);
    Bytes all;
    for (int i = 0; i < 20; ++i) {
      const Bytes r = plc.Send(B(":006401590141\r\n"));
      all.insert(all.end(), r.begin(), r.end());
    }
    return all;
  };
  const Bytes clean = [] {
    Plc plc("KR2-E", 1000);
    Bytes all;
    for (int i = 0; i < 20; ++i) {
      const Bytes r = plc.Send(B(":006401590141\r\n"));
      all.insert(all.end(), r.begin(), r.end());
    }
    return all;
  }();
  EXPECT_EQ(run(7), run(7));
  EXPECT_NE(run(7), run(8));
  EXPECT_NE(run(7), clean);
  size_t flipped = 0;
  const Bytes noisy = run(7);
  for (size_t i = 0; i < noisy.size(); ++i) flipped += std::popcount(uint8_t(noisy[i] ^ clean[i]));
  // 20 replies of 19 bytes at 5 %: about 152 bits.
  EXPECT_GT(flipped, 90u);
  EXPECT_LT(flipped, 220u);
}

TEST(PlcFaults, FaultThatCannotApplyIsRefusedAtTheStart) {
  EXPECT_FALSE(PlcFaultProblem({FaultKind::kNak, PlcRequest::kCommCheck, 0, 1}).empty());
  EXPECT_FALSE(PlcFaultProblem({FaultKind::kFlashWriteError, PlcRequest::kId, 0, 1}).empty());
  EXPECT_FALSE(PlcFaultProblem({FaultKind::kSilence, PlcRequest::kId, 1, 0}).empty());
  EXPECT_TRUE(PlcFaultProblem({FaultKind::kNak, PlcRequest::kBlock, 3, 3}).empty());
  PlcSimulator sim(WithFault(DefaultPlcSettings(Model("GL30"), 8192),
                             {FaultKind::kGarbleLrc, PlcRequest::kBlock, 0, 1}));
  ASSERT_EQ(sim.record().violations.size(), 1u);
  EXPECT_NE(sim.record().violations[0].reason.find("does not apply"), std::string::npos);
}

TEST(SimCrc, IsCrc16Xmodem) {
  const std::string digits = "123456789";
  EXPECT_EQ(SimCrc16(std::span(reinterpret_cast<const uint8_t*>(digits.data()), digits.size())),
            0x31C3);
  EXPECT_EQ(SimCrc16({}), 0x0000);
}

}  // namespace
