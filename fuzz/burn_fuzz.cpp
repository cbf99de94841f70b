// A whole burn whose PLC is the fuzzer's bytes: StartBurn with links that
// read the input, instant sleeps and boxes.
// Input: the model, the image size (high byte first), a byte whose bit 0
// makes the first open fail and bit 1 the reopen after the replug or power
// cycle, then the PLC's side of the link (fuzz_support.h), one stream for
// every link the burn opens.
// Properties: one box ends every burn; success only after the loader
// acknowledged the whole erase, UPDATE, every block of the image and the
// final 0x04; at the end the link is closed and the image released.
#include <string>

#include "burn/burn.h"
#include "burn/image.h"
#include "catalogue/model_table.h"
#include "fuzz/fuzz_support.h"
#include "link/exchange.h"
#include "link/loader_protocol.h"

namespace {

constexpr uint32_t kLargestImage = 3 * 4096;  // as in the loader target
const Bytes kEot = {0x04};

// Every link the burn opens is a view of the same scripted PLC.
class PlcView final : public Link {
 public:
  PlcView(ScriptedLink& plc, int& open) : plc_(plc), open_(open) { ++open_; }
  ~PlcView() override { --open_; }
  size_t Write(const uint8_t* data, size_t n) override { return plc_.Write(data, n); }
  size_t Read(uint8_t* data, size_t n) override { return plc_.Read(data, n); }
  size_t Drain(uint8_t* data, size_t n, uint32_t quietMs) override {
    return plc_.Drain(data, n, quietMs);
  }
  void SetTimeouts(const Timeouts& timeouts) override { plc_.SetTimeouts(timeouts); }
  void ApplyLineSettings(const LineSettings& settings) override {
    plc_.ApplyLineSettings(settings);
  }

 private:
  ScriptedLink& plc_;
  int& open_;
};

class FuzzEnvironment final : public BurnEnvironment {
 public:
  FuzzEnvironment(ScriptedLink& plc, uint8_t failingOpens)
      : plc_(plc), failingOpens_(failingOpens) {}

  std::unique_ptr<Link> OpenSerialPort(const std::string&) override { return Open(); }
  std::unique_ptr<Link> OpenMyDevPipe() override { return Open(); }
  void ShowError(const std::string& text) override { Box("ERROR", text); }
  void ShowInformation(const std::string& text, const std::string& caption) override {
    Box(caption, text);
  }
  void ShowPrompt(const std::string&) override {}
  void EnableStartButton(bool) override {}
  void StopElapsedTimer() override {}
  void SleepSeconds(int) override {}

  int boxes = 0;
  std::string lastBox;
  int openLinks = 0;

 private:
  std::unique_ptr<Link> Open() {
    const int open = opens_++;
    if (open < 8 && (failingOpens_ >> open & 1)) return nullptr;
    return std::make_unique<PlcView>(plc_, openLinks);
  }
  void Box(const std::string& caption, const std::string& text) {
    ++boxes;
    lastBox = caption + ": " + text;
  }
  ScriptedLink& plc_;
  uint8_t failingOpens_;
  int opens_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput input(data, size);
  SelectModel(input.Byte() % kModelCount);
  const std::string_view model = CurrentModel();
  const std::vector<uint8_t> image = FuzzImage(input.Word() % (kLargestImage + 1));
  const uint8_t failingOpens = input.Byte() & 3;
  UseImageFile(image);
  SetSelectedComPort("COM1");
  GL_fu_version = 0;

  std::unique_ptr<ScriptedLink> plc = ReplyLink(input.Rest());
  FuzzEnvironment environment(*plc, failingOpens);
  BurnParams params{&environment};
  StartBurn(&params);

  Require(environment.boxes == 1, "one box ends every burn");
  if (environment.lastBox.find("SUCCESSFUL") != std::string::npos) {
    const auto acknowledged = AcknowledgedRequests(*plc);
    Require(
        CountOf(acknowledged, "ERASE") == EraseCount(model, static_cast<uint32_t>(image.size())) &&
            CountOf(acknowledged, "UPDATE") == 1 && BlocksCarryImage(acknowledged, model, image) &&
            !acknowledged.empty() && acknowledged.back() == kEot,
        "a burn is successful only after the whole dialogue was acknowledged");
  }
  Require(environment.openLinks == 0 && !hSerial, "the burn closes its link");
  Require(fin == nullptr, "the burn releases the image");
  return 0;
}
