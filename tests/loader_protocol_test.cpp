// SPDX-License-Identifier: MIT
#include "link/loader_protocol.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>

#include "image/image_source.h"
#include "link/crc.h"
#include "support/protocol_test.h"

namespace {

using Kind = ScriptedLink::Call::Kind;

constexpr uint8_t kAck = 0x06;
constexpr uint8_t kNak = 0x15;
constexpr uint8_t kEot = 0x04;
const Bytes kEotRequest = {kEot};

// The definition itself: eight shifts of the polynomial per byte.
uint16_t BitwiseCrc(const uint8_t* data, size_t count) {
  uint16_t r = 0;
  for (size_t i = 0; i < count; ++i) {
    r = static_cast<uint16_t>(r ^ data[i] << 8);
    for (int bit = 0; bit < 8; ++bit) {
      r = static_cast<uint16_t>((r & 0x8000) != 0 ? r << 1 ^ 0x1021 : r << 1);
    }
  }
  return r;
}

// Varied bytes, so that a block out of place or a byte dropped shows.
Bytes Pattern(size_t size) {
  Bytes bytes(size);
  uint32_t state = 12345;
  for (uint8_t& b : bytes) {
    state = state * 1103515245 + 12345;
    b = static_cast<uint8_t>(state >> 16);
  }
  return bytes;
}

bool IsBlockPacket(const Bytes& request) {
  return (request.size() == 261 || request.size() == 133) && request[0] == 0x02;
}

bool IsErase(const Bytes& request) { return request == ToBytes("ERASE"); }

std::vector<Bytes> BlockPackets(const ScriptedLink& link) {
  std::vector<Bytes> packets;
  for (const Bytes& r : link.Requests()) {
    if (IsBlockPacket(r)) packets.push_back(r);
  }
  return packets;
}

size_t CountRequests(const ScriptedLink& link, const std::function<bool(const Bytes&)>& match) {
  const auto requests = link.Requests();
  return static_cast<size_t>(std::count_if(requests.begin(), requests.end(), match));
}

class LoaderTest : public ProtocolTest {
 protected:
  // An image of `image`; `size` says how large it claims to be.
  void LoadImage(const Bytes& image, uint64_t size = 0) {
    image_ = image;
    source_ = std::make_unique<MemoryImageSource>("test.bin", image, size);
    reader_ = source_->OpenImage();
  }
  ImageReader& Image() { return *reader_; }
  uint32_t ImageSize() const { return static_cast<uint32_t>(image_.size()); }
  // Bytes of the image that SendFW has not read yet.
  size_t UnreadImageBytes() {
    Bytes rest(image_.size() + 1);
    return static_cast<size_t>(reader_->FileRead(rest.data(), static_cast<int32_t>(rest.size())));
  }

  // The loader: acknowledges everything unless `reply` says otherwise for a
  // request (given with its position among all requests, from 0). It notes
  // the progress() shown when each request arrives.
  void PlayLoader(std::function<std::optional<Bytes>(const Bytes&, size_t)> reply = {}) {
    link.SetResponder([this, reply](const Bytes& request) {
      progressSeen.push_back(progress());
      const size_t index = requestsSeen++;
      if (reply) {
        if (auto answer = reply(request, index)) return *answer;
      }
      return Bytes{kAck};
    });
  }

  Bytes image_;
  std::unique_ptr<MemoryImageSource> source_;
  std::unique_ptr<ImageReader> reader_;
  std::vector<int32_t> progressSeen;
  size_t requestsSeen = 0;
};

// --- CRC -----------------------------------------------------------------------

TEST(Crc, XmodemCheckValues) {
  EXPECT_EQ(CRC(nullptr, 0), 0x0000u);
  const Bytes digits = ToBytes("123456789");
  EXPECT_EQ(CRC(digits.data(), 9), 0x31C3u);
}

TEST(Crc, TableEntries) {
  EXPECT_EQ(kCrcTable[0], 0x0000);
  EXPECT_EQ(kCrcTable[1], 0x1021);
  EXPECT_EQ(kCrcTable[2], 0x2042);
  EXPECT_EQ(kCrcTable[128], 0x9188);
  EXPECT_EQ(kCrcTable[255], 0x1EF0);
}

TEST(Crc, EveryTableEntryAndLongInputMatchTheBitwiseDefinition) {
  for (int i = 0; i < 256; ++i) {
    const uint8_t byte = static_cast<uint8_t>(i);
    // One byte from a zero register looks up entry i alone.
    EXPECT_EQ(CRC(&byte, 1), BitwiseCrc(&byte, 1)) << i;
  }
  const Bytes data = Pattern(4099);
  EXPECT_EQ(CRC(data.data(), static_cast<int32_t>(data.size())),
            BitwiseCrc(data.data(), data.size()));
}

// --- Block packets -------------------------------------------------------------

struct PacketCase {
  const char* name;
  const char* model;
  uint32_t size;
  size_t blocks;
  size_t dataBytes;
  size_t imageBytesSent;  // the rest of the image is never read
};

class BlockPacket : public LoaderTest, public ::testing::WithParamInterface<PacketCase> {};

TEST_P(BlockPacket, CarryTheImageInOrderWithFillAndCrcOverDataOnly) {
  const PacketCase& c = GetParam();
  SelectByName(c.model);
  LoadImage(Pattern(c.size));
  PlayLoader();
  ASSERT_EQ(Code(SendFW(dialogue, Model(), Image())), 0);

  const auto packets = BlockPackets(link);
  ASSERT_EQ(packets.size(), c.blocks);
  Bytes expected(image_.begin(), image_.begin() + static_cast<std::ptrdiff_t>(c.imageBytesSent));
  expected.resize(c.blocks * c.dataBytes, 0x1A);
  for (size_t k = 0; k < packets.size(); ++k) {
    const Bytes& p = packets[k];
    ASSERT_EQ(p.size(), c.dataBytes + 5) << k;
    EXPECT_EQ(p[1], static_cast<uint8_t>(k + 1)) << k;
    EXPECT_EQ(p[2], static_cast<uint8_t>(255 - p[1])) << k;
    const Bytes data(p.begin() + 3, p.begin() + 3 + static_cast<std::ptrdiff_t>(c.dataBytes));
    const Bytes want(expected.begin() + static_cast<std::ptrdiff_t>(k * c.dataBytes),
                     expected.begin() + static_cast<std::ptrdiff_t>((k + 1) * c.dataBytes));
    EXPECT_EQ(data, want) << k;
    const uint16_t crc = BitwiseCrc(want.data(), want.size());
    EXPECT_EQ(p[c.dataBytes + 3], crc >> 8) << k;
    EXPECT_EQ(p[c.dataBytes + 4], crc & 0xFF) << k;
  }
  EXPECT_EQ(link.Requests().back(), kEotRequest);
  EXPECT_EQ(UnreadImageBytes(), c.size - c.imageBytesSent);
}

INSTANTIATE_TEST_SUITE_P(Rules, BlockPacket,
                         ::testing::Values(
                             // B1: 44 image bytes and 212 fill bytes in the second block.
                             PacketCase{"B1_300", "MU", 300, 2, 256, 300},
                             PacketCase{"B1_512_NoFill", "36PW2-AIO", 512, 2, 256, 512},
                             // B3: 72 image bytes and 56 fill bytes.
                             PacketCase{"B3_200", "KR2-E", 200, 2, 128, 200},
                             PacketCase{"B3_MU24", "MU24", 256, 2, 128, 256},
                             // B2: the last 4096 bytes stay behind.
                             PacketCase{"B2_4396", "GL30", 4396, 2, 256, 300},
                             PacketCase{"B2_8192_NoFill", "KR3-PW3", 8192, 16, 256, 4096}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(LoaderTest, BlockNumbersWrapFrom255To0) {
  SelectByName("MU");
  LoadImage(Pattern(600 * 256));
  PlayLoader();
  ASSERT_EQ(Code(SendFW(dialogue, Model(), Image())), 0);
  const auto packets = BlockPackets(link);
  ASSERT_EQ(packets.size(), 600u);
  for (size_t k = 0; k < packets.size(); ++k) {
    ASSERT_EQ(packets[k][1], (k + 1) % 256) << k;
    ASSERT_EQ(packets[k][2], 255 - (k + 1) % 256) << k;
  }
  EXPECT_EQ(packets[254][1], 255);
  EXPECT_EQ(packets[255][1], 0);
  EXPECT_EQ(packets[256][1], 1);
}

TEST_F(LoaderTest, RefusedBlockIsResentIdenticalAndTheImageIsNotReadAgain) {
  SelectByName("MU");
  LoadImage(Pattern(4 * 256));
  // Requests 0 and 1 are blocks 1 and 2; block 2 is refused twice.
  PlayLoader([](const Bytes&, size_t i) -> std::optional<Bytes> {
    if (i == 1 || i == 2) return Bytes{kNak};
    return std::nullopt;
  });
  ASSERT_EQ(Code(SendFW(dialogue, Model(), Image())), 0);
  const auto packets = BlockPackets(link);
  ASSERT_EQ(packets.size(), 6u);
  EXPECT_EQ(packets[1], packets[2]);
  EXPECT_EQ(packets[1], packets[3]);
  EXPECT_EQ(packets[3][1], 2);
  EXPECT_EQ(packets[4][1], 3);  // the next block carries the next image bytes
  EXPECT_TRUE(std::equal(packets[4].begin() + 3, packets[4].begin() + 259, image_.begin() + 512));
  EXPECT_EQ(totalErrCounter(), 2);
  EXPECT_EQ(errCounter(), 0);
  EXPECT_EQ(UnreadImageBytes(), 0u);
}

TEST_F(LoaderTest, FlashWriteErrorEndsAtOnceWithoutEndOfTransmission) {
  SelectByName("MU");
  LoadImage(Pattern(10 * 256));
  PlayLoader([](const Bytes&, size_t i) -> std::optional<Bytes> {
    if (i == 2) return Bytes{kFlashWriteError};
    return std::nullopt;
  });
  EXPECT_EQ(Code(SendFW(dialogue, Model(), Image())), 22);
  const auto requests = link.Requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_TRUE(IsBlockPacket(requests.back()));
  EXPECT_EQ(requests.back()[1], 3);
  EXPECT_EQ(flashStatus(), kProgramming);
  EXPECT_EQ(progress(), 2 * 100 / 11);
  EXPECT_EQ(totalErrCounter(), 0);
  EXPECT_EQ(UnreadImageBytes(), 7u * 256);  // the cursor stands after the refused block
}

// A 0x16 met while the transfer is being closed is the loader's flash-write
// error (the reply to the last block may arrive there late): taken for a
// failed read, the 0x04 would go again, be acknowledged, and a failed update
// would end as a success.
TEST_F(LoaderTest, FlashWriteErrorToTheFinalEotEndsTheTransfer) {
  SelectByName("MU");
  LoadImage(Pattern(256));
  int eotSeen = 0;
  PlayLoader([&](const Bytes& r, size_t) -> std::optional<Bytes> {
    if (r == kEotRequest && ++eotSeen == 1) return Bytes{kFlashWriteError};
    return std::nullopt;
  });
  EXPECT_EQ(Code(SendFW(dialogue, Model(), Image())), kFlashWriteError);
  EXPECT_EQ(eotSeen, 1);
  EXPECT_NE(progress(), 100);
}

// The erase is no transfer: a 0x16 there is only a wrong reply.
TEST_F(LoaderTest, ByteOf0x16ToTheEraseEotIsAnOrdinaryFailedRead) {
  SelectByName("MU");
  LoadImage(Pattern(256));
  int eotSeen = 0;
  PlayLoader([&](const Bytes& r, size_t) -> std::optional<Bytes> {
    if (r == kEotRequest && ++eotSeen == 1) return Bytes{kFlashWriteError};
    return std::nullopt;
  });
  EXPECT_EQ(Code(SendErase_B(dialogue, Model(), ImageSize())), 0);
  EXPECT_EQ(eotSeen, 2);
  EXPECT_EQ(totalErrCounter(), 1);
}

// A reply that arrives just after its read gave up is still the reply to the
// request: nothing else was sent. Sending the block again at once would
// leave that acknowledgement to the next block's read.
TEST_F(LoaderTest, LateAcknowledgementIsTakenForItsBlock) {
  SelectByName("MU");
  LoadImage(Pattern(3 * 256));
  link.QueueArrival(Bytes{kAck});      // block 1
  link.QueueLateArrival(Bytes{kAck});  // block 2: after its read gave up
  link.QueueArrival(Bytes{kAck});      // block 3
  link.QueueArrival(Bytes{kAck});      // the closing 0x04
  EXPECT_EQ(Code(SendFW(dialogue, Model(), Image())), 0);
  const auto packets = BlockPackets(link);
  ASSERT_EQ(packets.size(), 3u) << "no block was sent twice";
  EXPECT_EQ(packets[2][1], 3);
  EXPECT_EQ(totalErrCounter(), 0);
}

// What waits in the input before a request is not its reply. During the
// transfer a 0x16 among it is the loader's word that a block was not written.
TEST_F(LoaderTest, StaleInputIsNeverTakenForTheReplyButA0x16EndsTheTransfer) {
  SelectByName("MU");
  LoadImage(Pattern(2 * 256));
  link.QueueArrival(Bytes{kAck, kAck});  // block 1, and a stray 0x06 after it
  link.QueueArrival(Bytes{});            // block 2 gets no reply...
  link.QueueArrival(Bytes{kAck});        // ...until it is sent again
  link.QueueArrival(Bytes{});            // the first attempt's reply never comes,
  link.QueueArrival(Bytes{});            // not even as late again
  link.QueueArrival(Bytes{kAck});        // the closing 0x04
  EXPECT_EQ(Code(SendFW(dialogue, Model(), Image())), 0);
  EXPECT_EQ(BlockPackets(link).size(), 3u) << "the stray 0x06 did not stand in for block 2";

  LoadImage(Pattern(2 * 256));
  link.QueueArrival(Bytes{kAck, kFlashWriteError});
  EXPECT_EQ(Code(SendFW(dialogue, Model(), Image())), kFlashWriteError);
}

// A block whose first attempt went unanswered is acknowledged on its second:
// the loader still owes the first attempt a reply, and it is waited for
// before anything more goes out. An ACK or NAK there answers the repeat, a
// 0x16 is the flash-write error, silence leaves the line in step; any other
// byte answers nothing the tool sent, and the transfer is left unclosed.
struct OwedReplyCase {
  const char* name;
  std::vector<Bytes> owed;  // what the reads that wait for the first attempt's reply get
  int code;
};

void PrintTo(const OwedReplyCase& c, std::ostream* os) { *os << c.name; }

class OwedReply : public LoaderTest, public ::testing::WithParamInterface<OwedReplyCase> {};

TEST_P(OwedReply, IsWaitedForBeforeTheNextRequestGoesOut) {
  const OwedReplyCase& c = GetParam();
  SelectByName("MU");
  LoadImage(Pattern(2 * 256));
  link.QueueArrival(Bytes{kAck});  // block 1
  link.QueueArrival(Bytes{});      // block 2 goes unanswered...
  link.QueueArrival(Bytes{kAck});  // ...and its repeat is acknowledged
  for (const Bytes& arrival : c.owed) link.QueueArrival(arrival);
  link.QueueArrival(Bytes{kAck});  // the closing 0x04
  EXPECT_EQ(Code(SendFW(dialogue, Model(), Image())), c.code);
  EXPECT_EQ(BlockPackets(link).size(), 3u);
  EXPECT_EQ(link.Requests().back() == kEotRequest, c.code == 0) << "closed only in step";
}

INSTANTIATE_TEST_SUITE_P(
    Replies, OwedReply,
    ::testing::Values(OwedReplyCase{"Ack", {Bytes{kAck}}, 0},
                      OwedReplyCase{"Nak", {Bytes{0x15}}, 0},
                      // Silence for as long again as the late reply took: the repeat's
                      // reply may trail it by a whole attempt.
                      OwedReplyCase{"AckAfterAWholeTimeOut", {Bytes{}, Bytes{kAck}}, 0},
                      OwedReplyCase{"Silence", {Bytes{}, Bytes{}}, 0},
                      OwedReplyCase{"FlashWriteError", {Bytes{kFlashWriteError}}, kFlashWriteError},
                      OwedReplyCase{"AnyOtherByte", {Bytes{'X'}}, 0x20}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(LoaderTest, SilentLoaderEndsTheTransferAfterSixAttemptsOfOneBlock) {
  SelectByName("GL30");
  LoadImage(Pattern(8192));
  PlayLoader([](const Bytes&, size_t i) -> std::optional<Bytes> {
    if (i >= 1) return Bytes{};
    return std::nullopt;
  });
  EXPECT_EQ(Code(SendFW(dialogue, Model(), Image())), kLoaderNoReply);
  const auto packets = BlockPackets(link);
  ASSERT_EQ(packets.size(), 7u);
  EXPECT_EQ(packets[6][1], 2);
  EXPECT_EQ(link.Requests().back(), packets.back());  // no 0x04
  EXPECT_EQ(errCounter(), 6);
  EXPECT_EQ(totalErrCounter(), 6);
}

TEST_F(LoaderTest, ImageShorterThanItsLengthStopsBeforeSendingBytesThatAreNotTheImage) {
  SelectByName("MU");
  LoadImage(Pattern(300), 600);  // a size the bytes do not fill
  PlayLoader();
  EXPECT_EQ(Code(SendFW(dialogue, Model(), Image())), kLoaderNoReply);
  const auto requests = link.Requests();
  ASSERT_EQ(requests.size(), 1u);  // the one block the image still fills
  EXPECT_TRUE(IsBlockPacket(requests[0]));
}

// --- Counts and progress ---------------------------------------------------------

TEST_F(LoaderTest, Gl30FullImageErases506StepsAndSends8096Blocks) {
  SelectByName("GL30");
  LoadImage(Pattern(2076672));
  PlayLoader();
  ASSERT_EQ(Code(SendErase_B(dialogue, Model(), ImageSize())), 0);
  EXPECT_EQ(CountRequests(link, IsErase), 506u);
  EXPECT_EQ(progressSeen.back(), 505 * 100 / 506);  // when the erase's 0x04 arrived
  EXPECT_EQ(progress(), 100);
  EXPECT_EQ(flashStatus(), kErasing);
  EXPECT_EQ(link.Requests().size(), 507u);

  progressSeen.clear();
  ASSERT_EQ(Code(SendFW(dialogue, Model(), Image())), 0);
  const auto packets = BlockPackets(link);
  EXPECT_EQ(packets.size(), 8096u);
  EXPECT_EQ(link.Requests().size(), 507u + 8096 + 1);
  EXPECT_EQ(progressSeen.back(), 99);  // 8096 × 100 div 8097, when the final 0x04 arrived
  EXPECT_EQ(progress(), 100);
  EXPECT_EQ(flashStatus(), kProgramming);
  EXPECT_EQ(UnreadImageBytes(), 4096u);
}

TEST_F(LoaderTest, EraseProgressOf36PW2AioRuns0_25_50_75Then100) {
  SelectByName("36PW2-AIO");
  LoadImage(Pattern(1000));
  PlayLoader();
  ASSERT_EQ(Code(SendErase_B(dialogue, Model(), ImageSize())), 0);
  EXPECT_EQ(CountRequests(link, IsErase), 4u);
  // Seen at each request: before the first acknowledgement, then after each.
  EXPECT_EQ(progressSeen, (std::vector<int32_t>{0, 0, 25, 50, 75}));
  EXPECT_EQ(link.Requests().back(), kEotRequest);
  EXPECT_EQ(progress(), 100);
}

TEST_F(LoaderTest, SectorImageOfExactly4096BytesSendsOnlyTheTwoHandshakes) {
  SelectByName("GL30");
  LoadImage(Pattern(4096));
  PlayLoader();
  ASSERT_EQ(Code(SendErase_B(dialogue, Model(), ImageSize())), 0);
  ASSERT_EQ(Code(SendFW(dialogue, Model(), Image())), 0);
  EXPECT_EQ(link.Requests(), (std::vector<Bytes>{kEotRequest, kEotRequest}));
  EXPECT_EQ(progress(), 100);
}

TEST_F(LoaderTest, ImageSmallerThanASectorIsNotSentToSectorModels) {
  SelectByName("GL20");
  LoadImage(Pattern(4000));
  PlayLoader();
  EXPECT_EQ(Code(SendErase_B(dialogue, Model(), ImageSize())), kLoaderNoReply);
  EXPECT_EQ(Code(SendFW(dialogue, Model(), Image())), kLoaderNoReply);
  EXPECT_TRUE(link.Requests().empty());
}

class EveryModel : public LoaderTest, public ::testing::WithParamInterface<int> {};

TEST_P(EveryModel, EraseStepsAndBlocksFollowTheModelRules) {
  const std::string model(ModelName(GetParam()));
  SelectByName(model);
  constexpr uint32_t kSize = 9000;
  LoadImage(Pattern(kSize));
  PlayLoader();
  ASSERT_EQ(Code(SendErase_B(dialogue, Model(), ImageSize())), 0);
  ASSERT_EQ(Code(SendFW(dialogue, Model(), Image())), 0);
  const BlockPlan plan = BlockPlanOf(model, kSize);
  EXPECT_EQ(CountRequests(link, IsErase), EraseCount(model, kSize));
  const auto packets = BlockPackets(link);
  ASSERT_EQ(packets.size(), plan.blocks);
  EXPECT_EQ(packets[0].size(), plan.dataBytes + 5);
  EXPECT_EQ(CountRequests(link, [](const Bytes& r) { return r == kEotRequest; }), 2u);
}

INSTANTIATE_TEST_SUITE_P(AllModels, EveryModel, ::testing::Range(0, kModelCount),
                         [](const auto& info) {
                           std::string name(ModelName(info.param));
                           std::replace(name.begin(), name.end(), '-', '_');
                           return name;
                         });

// --- Erase attempts ------------------------------------------------------------

struct EraseFailureCase {
  const char* model;
  size_t eraseRequests;  // the first step acknowledged, the second never
  int32_t errCounterAfter;
};

class EraseStepFailure : public LoaderTest,
                         public ::testing::WithParamInterface<EraseFailureCase> {};

TEST_P(EraseStepFailure, SectorModelsGiveEachStepOneAttemptOthersSix) {
  SelectByName(GetParam().model);
  LoadImage(Pattern(131072 + 1));  // at least two erase steps under every rule
  PlayLoader([](const Bytes&, size_t i) -> std::optional<Bytes> {
    if (i >= 1) return Bytes{};
    return std::nullopt;
  });
  EXPECT_EQ(Code(SendErase_B(dialogue, Model(), ImageSize())), kLoaderNoReply);
  EXPECT_EQ(CountRequests(link, IsErase), GetParam().eraseRequests);
  EXPECT_EQ(link.Requests().size(), GetParam().eraseRequests);  // no 0x04
  EXPECT_EQ(errCounter(), GetParam().errCounterAfter);
  EXPECT_EQ(totalErrCounter(), GetParam().errCounterAfter);
  EXPECT_EQ(flashStatus(), kErasing);
  EXPECT_EQ(progress(), 0);
}

INSTANTIATE_TEST_SUITE_P(Rules, EraseStepFailure,
                         ::testing::Values(EraseFailureCase{"GL30", 2, 1},
                                           EraseFailureCase{"HUX-R", 2, 1},
                                           EraseFailureCase{"MU", 7, 6},
                                           EraseFailureCase{"KR2-E", 7, 6}),
                         [](const auto& info) {
                           std::string name = info.param.model;
                           std::replace(name.begin(), name.end(), '-', '_');
                           return name;
                         });

TEST_F(LoaderTest, SectorModelEraseStepEndsOnItsFirstShortWrite) {
  SelectByName("GL30");
  LoadImage(Pattern(3 * 4096));
  PlayLoader();
  link.QueueShortWrite(2);
  EXPECT_EQ(Code(SendErase_B(dialogue, Model(), ImageSize())), kLoaderNoReply);
  EXPECT_EQ(link.CountOf(Kind::kWrite), 1u);
  EXPECT_EQ(link.CountOf(Kind::kRead), 0u);
  EXPECT_EQ(errCounter(), 1);
}

TEST_F(LoaderTest, EraseEndOfTransmissionGetsTheFullBudgetForSectorModels) {
  SelectByName("GL30");
  LoadImage(Pattern(2 * 4096));
  int eotSeen = 0;
  PlayLoader([&](const Bytes& r, size_t) -> std::optional<Bytes> {
    if (r == kEotRequest && ++eotSeen <= 5) return Bytes{kNak};
    return std::nullopt;
  });
  EXPECT_EQ(Code(SendErase_B(dialogue, Model(), ImageSize())), 0);
  EXPECT_EQ(eotSeen, 6);
  EXPECT_EQ(errCounter(), 0);
  EXPECT_EQ(totalErrCounter(), 5);
}

// --- Identity --------------------------------------------------------------------

struct IdCase {
  const char* model;
  uint16_t reported;
  bool accepted;
};

class LoaderIdentity : public LoaderTest, public ::testing::WithParamInterface<IdCase> {};

TEST_P(LoaderIdentity, AcceptsByTheModelRuleAndRefusesSixTimesWith16) {
  const IdCase& c = GetParam();
  SelectByName(c.model);
  PresetCounters(0, 3);  // failures earlier in the burn stay counted
  PlayLoader([&](const Bytes&, size_t) -> std::optional<Bytes> {
    return Bytes{kAck, static_cast<uint8_t>(c.reported >> 8), static_cast<uint8_t>(c.reported)};
  });
  const auto requests = [&] { return link.Requests(); };
  if (c.accepted) {
    EXPECT_EQ(Code(CheckID_B(dialogue, Model())), 0);
    EXPECT_EQ(requests().size(), 1u);
    EXPECT_EQ(totalErrCounter(), 3);
  } else {
    EXPECT_EQ(Code(CheckID_B(dialogue, Model())), kLoaderNoReply);
    EXPECT_EQ(requests().size(), 6u);
    EXPECT_EQ(errCounter(), 6);
    EXPECT_EQ(totalErrCounter(), 9);
  }
  for (const Bytes& r : requests()) EXPECT_EQ(r, ToBytes("ID"));
}

INSTANTIATE_TEST_SUITE_P(
    Rules, LoaderIdentity,
    ::testing::Values(IdCase{"KR2-PW2-V2", 0x000C, true},  // L2
                      IdCase{"KR2-PW2-V2", 0x000D, true}, IdCase{"KR2-PW2-V2", 0x000E, false},
                      IdCase{"36PW2-AIO", 0x000D, true},  // L3
                      IdCase{"36PW2-AIO", 0x000C, false}, IdCase{"VOK-KR2-V2", 0x2001, true},
                      IdCase{"VOK-KR2-V2", 0xA001, false}, IdCase{"FQ2-H", 0x2003, true},
                      IdCase{"PW2-CAR", 0xA006, false}, IdCase{"MU-H", 0xA002, true},  // L1
                      IdCase{"MU-H", 0x2002, false}, IdCase{"HUX-R", 0xA00B, true},
                      IdCase{"HUX-R", 0x200B, false}, IdCase{"GL30", 0x3000, true},
                      IdCase{"GL20-AIO", 0x3000, false}),
    [](const auto& info) {
      std::string name = info.param.model;
      std::replace(name.begin(), name.end(), '-', '_');
      char code[8];
      std::snprintf(code, sizeof code, "_%04X", info.param.reported);
      return name + code;
    });

struct IdCounterCase {
  const char* model;
  uint16_t code;
  int32_t errCounterAfter;
};

class LoaderIdentityCounter : public LoaderTest,
                              public ::testing::WithParamInterface<IdCounterCase> {};

TEST_P(LoaderIdentityCounter, WrongLeadByteAndShortReplyAreFailedReads) {
  const IdCounterCase& c = GetParam();
  SelectByName(c.model);
  const auto hi = static_cast<uint8_t>(c.code >> 8);
  const auto lo = static_cast<uint8_t>(c.code);
  link.QueueArrival(Bytes{kNak, hi, lo});  // the right code, but no 0x06
  link.QueueArrival(Bytes{kAck, hi});      // one byte short
  link.QueueArrival(Bytes{});              // the late byte, still not a reply
  link.QueueArrival(Bytes{kAck, hi, lo});
  EXPECT_EQ(Code(CheckID_B(dialogue, Model())), 0);
  EXPECT_EQ(link.Requests().size(), 4u);
  EXPECT_EQ(totalErrCounter(), 3);
  // L2 leaves the count of failed reads on show; L1 and L3 clear it.
  EXPECT_EQ(errCounter(), c.errCounterAfter);
}

INSTANTIATE_TEST_SUITE_P(Rules, LoaderIdentityCounter,
                         ::testing::Values(IdCounterCase{"KR2-C-V2", 0x000C, 3},
                                           IdCounterCase{"BZ2", 0x000F, 0},
                                           IdCounterCase{"GL30", 0x3000, 0}),
                         [](const auto& info) {
                           std::string name = info.param.model;
                           std::replace(name.begin(), name.end(), '-', '_');
                           return name;
                         });

// --- Loader version ------------------------------------------------------------

class LoaderVersion : public LoaderTest {
 protected:
  uint8_t GL_fu_version = 0x5A;  // as an earlier read left it
};

TEST_F(LoaderVersion, NibblesOfBothBytesMakeTheVersion) {
  struct Case {
    Bytes reply;
    uint8_t version;
  };
  for (const Case& c : {Case{{kAck, 0x12, 0x34}, 0x23}, Case{{kAck, 0x01, 0x00}, 0x10},
                        Case{{kAck, 0x00, 0x90}, 0x09}, Case{{kAck, 0xFF, 0xFF}, 0xFF}}) {
    link.QueueArrival(c.reply);
    PresetCounters(4, 0);
    EXPECT_EQ(Code(read_fu_version_B(dialogue, GL_fu_version)), 0);
    EXPECT_EQ(GL_fu_version, c.version);
    EXPECT_EQ(errCounter(), 0);
  }
  EXPECT_EQ(link.Requests().front(), ToBytes("VERSION"));
}

TEST_F(LoaderVersion, FailureLeavesTheVersionAsItWas) {
  for (int i = 0; i < 6; ++i) link.QueueArrival(Bytes{kNak, 0x12, 0x34});
  EXPECT_EQ(Code(read_fu_version_B(dialogue, GL_fu_version)), kLoaderNoReply);
  EXPECT_EQ(GL_fu_version, 0x5A);
  EXPECT_EQ(link.Requests().size(), 6u);
  EXPECT_EQ(errCounter(), 6);
}

// --- Update mode -----------------------------------------------------------------

TEST_F(LoaderTest, UpdateSwitchesTo115200_8N1OnlyAfterTheAcknowledgement) {
  link.QueueArrival(Bytes{kNak});
  link.QueueArrival(Bytes{kAck});
  PresetCounters(3, 0);
  EXPECT_EQ(Code(SendUpdate(dialogue)), 0);
  EXPECT_EQ(errCounter(), 0);
  const auto& calls = link.calls();
  ASSERT_FALSE(calls.empty());
  const auto& last = calls.back();
  ASSERT_EQ(last.kind, Kind::kLineSettings);
  EXPECT_EQ(last.line.baudRate, 115200u);
  EXPECT_EQ(last.line.byteSize, 8);
  EXPECT_EQ(last.line.parity, 0);
  EXPECT_EQ(last.line.stopBits, 0);
  EXPECT_EQ(link.CountOf(Kind::kLineSettings), 1u);
  const auto& beforeIt = calls[calls.size() - 2];
  EXPECT_EQ(beforeIt.kind, Kind::kRead);
  EXPECT_EQ(beforeIt.bytes, Bytes{kAck});
  for (const Bytes& r : link.Requests()) EXPECT_EQ(r, ToBytes("UPDATE"));
}

TEST_F(LoaderTest, UpdateFailureKeepsTheLineSettings) {
  EXPECT_EQ(Code(SendUpdate(dialogue)), kLoaderNoReply);
  EXPECT_EQ(link.CountOf(Kind::kLineSettings), 0u);
  EXPECT_EQ(link.Requests().size(), 6u);
  EXPECT_EQ(errCounter(), 6);
}

}  // namespace
