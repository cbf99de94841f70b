// SPDX-License-Identifier: MIT
// Phase 2 on a loader that says anything: each operation of
// link/loader_protocol.h with the fuzzer's bytes as the replies.
// Input: the operation, the model, the image size (high byte first), then
// the PLC's side of the link (fuzz_support.h).
// Properties: an operation succeeds only on the acknowledgements it needs
// (the erase all its steps and the closing 0x04, the transfer every block of
// the image, correctly numbered and checked, and the closing 0x04), and
// fails only with its own result codes.
#include "catalogue/model_table.h"
#include "fuzz/fuzz_support.h"
#include "image/image_source.h"
#include "link/exchange.h"
#include "link/loader_protocol.h"

namespace {

constexpr uint8_t kAck = 0x06;
constexpr uint8_t kFlashWriteError = 0x16;
const Bytes kEot = {0x04};

// Large enough for several blocks of every rule and past the one-sector
// minimum of the E3/B2 models, small enough to keep every run short.
constexpr uint32_t kLargestImage = 3 * 4096;

bool EndsWithAcknowledged(const std::vector<Bytes>& acknowledged, const Bytes& request) {
  return !acknowledged.empty() && acknowledged.back() == request;
}

LoaderStatus FuzzOperation(uint8_t operation, const ModelRules& model,
                           std::span<const uint8_t> image, const ScriptedLink& link,
                           const Dialogue& dialogue) {
  const auto size = static_cast<uint32_t>(image.size());
  switch (operation) {
    case 0: {
      const LoaderStatus result = CheckID_B(dialogue, model);
      const Bytes reply = LastReply(link);
      Require(result != LoaderStatus::kDone ||
                  (reply.size() == 3 && reply[0] == kAck &&
                   LoaderIdAccepts(model.name, model.code,
                                   static_cast<uint16_t>(reply[1] << 8 | reply[2]))),
              "CheckID_B accepts only 0x06 and a code the model's rule accepts");
      return result;
    }
    case 1: {
      uint8_t version = 0;
      const LoaderStatus result = read_fu_version_B(dialogue, version);
      const Bytes reply = LastReply(link);
      Require(result != LoaderStatus::kDone || (reply.size() == 3 && reply[0] == kAck),
              "read_fu_version_B succeeds only on a 3-byte reply that starts with 0x06");
      return result;
    }
    case 2: {
      const LoaderStatus result = SendErase_B(dialogue, model, size);
      const auto acknowledged = AcknowledgedRequests(link);
      Require(
          result != LoaderStatus::kDone ||
              (CountOf(acknowledged, "ERASE") == EraseCount(model.name, size) &&
               EndsWithAcknowledged(acknowledged, kEot) && dialogue.status.now().progress == 100),
          "SendErase_B succeeds only when every erase step and the 0x04 were acknowledged");
      return result;
    }
    case 3: {
      const LoaderStatus result = SendUpdate(dialogue);
      const auto settings = link.LastLineSettings();
      Require(result != LoaderStatus::kDone ||
                  (EndsWithAcknowledged(AcknowledgedRequests(link), ToBytes("UPDATE")) &&
                   settings && settings->baudRate == kLoaderLineSettings.baudRate),
              "SendUpdate succeeds only on 0x06 to UPDATE, and then switches the line");
      Require(result == LoaderStatus::kDone || !settings,
              "a failed SendUpdate leaves the line as it was");
      return result;
    }
    default: {
      MemoryImageSource source("fuzz.bin", std::vector<uint8_t>(image.begin(), image.end()));
      const auto reader = source.OpenImage();
      const LoaderStatus result = SendFW(dialogue, model, *reader);
      const auto acknowledged = AcknowledgedRequests(link);
      Require(result != LoaderStatus::kDone || (BlocksCarryImage(acknowledged, model.name, image) &&
                                                EndsWithAcknowledged(acknowledged, kEot) &&
                                                dialogue.status.now().progress == 100),
              "SendFW succeeds only when every block of the image and the 0x04 were acknowledged");
      Require(result != LoaderStatus::kFlashWriteError || HandedOut(link, kFlashWriteError),
              "SendFW reports a flash write error only when the loader sent 0x16");
      return result;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput input(data, size);
  const uint8_t operation = input.Byte() % 5;
  const ModelRules& model = ModelAt(input.Byte() % kModelCount);
  const std::vector<uint8_t> image = FuzzImage(input.Word() % (kLargestImage + 1));
  const std::unique_ptr<ScriptedLink> link = ReplyLink(input.Rest());
  StatusBoard status;
  const CancelToken cancel;
  const Dialogue dialogue{*link, status, cancel};

  const LoaderStatus result = FuzzOperation(operation, model, image, *link, dialogue);
  Require(result == LoaderStatus::kDone || result == LoaderStatus::kNoReply ||
              (operation == 4 && result == LoaderStatus::kFlashWriteError) ||
              (operation >= 2 && result == LoaderStatus::kOutOfStep),
          "loader operations end with 0, 16, 22 from SendFW, or out of step from a one-byte "
          "exchange");
  const int32_t errCounter = status.now().errCounter;
  Require(errCounter >= 0 && errCounter <= kFailuresPerKind, "errCounter stays within 0..6");
  return 0;
}
