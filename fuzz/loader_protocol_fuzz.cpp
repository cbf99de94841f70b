// Phase 2 on a loader that says anything: each operation of
// link/loader_protocol.h with the fuzzer's bytes as the replies.
// Input: the operation, the model, the image size (high byte first), then
// the PLC's side of the link (fuzz_support.h).
// Properties: an operation succeeds only on the acknowledgements it needs
// (the erase all its steps and the closing 0x04, the transfer every block of
// the image, correctly numbered and checked, and the closing 0x04), and
// fails only with its documented codes.
#include "burn/image.h"
#include "catalogue/model_table.h"
#include "fuzz/fuzz_support.h"
#include "link/exchange.h"
#include "link/loader_protocol.h"

namespace {

constexpr uint8_t kAck = 0x06;
const Bytes kEot = {0x04};

// Large enough for several blocks of every rule and past the one-sector
// minimum of the E3/B2 models, small enough to keep every run short.
constexpr uint32_t kLargestImage = 3 * 4096;

bool EndsWithAcknowledged(const std::vector<Bytes>& acknowledged, const Bytes& request) {
  return !acknowledged.empty() && acknowledged.back() == request;
}

void FuzzOperation(uint8_t operation, std::string_view model, std::span<const uint8_t> image,
                   std::span<const uint8_t> script) {
  std::unique_ptr<ScriptedLink> owned = ReplyLink(script);
  ScriptedLink& link = *owned;
  uint8_t result = 0;
  switch (operation) {
    case 0: {
      result = CheckID_B(link);
      const Bytes reply = LastReply(link);
      Require(result != 0 || (reply.size() == 3 && reply[0] == kAck &&
                              LoaderIdAccepts(model, selectedPLCID,
                                              static_cast<uint16_t>(reply[1] << 8 | reply[2]))),
              "CheckID_B accepts only 0x06 and a code the model's rule accepts");
      break;
    }
    case 1: {
      hSerial = std::move(owned);
      result = read_fu_version_B();
      const Bytes reply = LastReply(link);
      Require(result != 0 || (reply.size() == 3 && reply[0] == kAck),
              "read_fu_version_B succeeds only on a 3-byte reply that starts with 0x06");
      hSerial.reset();
      break;
    }
    case 2: {
      result = SendErase_B(link);
      const auto acknowledged = AcknowledgedRequests(link);
      Require(result != 0 || (CountOf(acknowledged, "ERASE") ==
                                  EraseCount(model, static_cast<uint32_t>(image.size())) &&
                              EndsWithAcknowledged(acknowledged, kEot) && progress == 100),
              "SendErase_B succeeds only when every erase step and the 0x04 were acknowledged");
      break;
    }
    case 3: {
      result = SendUpdate(link);
      const auto settings = link.LastLineSettings();
      Require(result != 0 || (EndsWithAcknowledged(AcknowledgedRequests(link), ToBytes("UPDATE")) &&
                              settings && settings->baudRate == kLoaderLineSettings.baudRate),
              "SendUpdate succeeds only on 0x06 to UPDATE, and then switches the line");
      Require(result == 0 || !settings, "a failed SendUpdate leaves the line as it was");
      break;
    }
    case 4: {
      result = SendFW(link);
      const auto acknowledged = AcknowledgedRequests(link);
      Require(result != 0 || (BlocksCarryImage(acknowledged, model, image) &&
                              EndsWithAcknowledged(acknowledged, kEot) && progress == 100),
              "SendFW succeeds only when every block of the image and the 0x04 were acknowledged");
      Require(result != kFlashWriteError || HandedOut(link, kFlashWriteError),
              "SendFW reports a flash write error only when the loader sent 0x16");
      break;
    }
  }
  Require(result == 0 || result == kLoaderNoReply || (operation == 4 && result == kFlashWriteError),
          "loader operations end with 0, 16, or 22 from SendFW");
  Require(errCounter >= 0 && errCounter <= kFailuresPerKind, "errCounter stays within 0..6");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput input(data, size);
  const uint8_t operation = input.Byte() % 5;
  SelectModel(input.Byte() % kModelCount);
  const std::string_view model = CurrentModel();
  const std::vector<uint8_t> image = FuzzImage(input.Word() % (kLargestImage + 1));
  UseImageFile(image);
  OpenImage();
  errCounter = 0;
  totalErrCounter = 0;
  flashStatus = kIdle;
  progress = 0;
  FuzzOperation(operation, model, image, input.Rest());
  CloseFile();
  return 0;
}
