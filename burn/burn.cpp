#include "burn/burn.h"

#include <mutex>
#include <string_view>

#include "burn/image.h"
#include "catalogue/model_table.h"
#include "link/app_protocol.h"
#include "link/exchange.h"
#include "link/loader_protocol.h"

BurnParams paramStruct{nullptr};
std::atomic<int32_t> elapsedTime{0};

namespace {

std::atomic<bool> burnRunning{false};
std::mutex selectedComPortMutex;
std::string selectedComPort;

// Messages of the three application-mode steps, by the low four bits of the
// step's result: the communication check (State 1), the identity check
// (State 2) and the erase request (State 3).
constexpr const char* kState1[16] = {"UNKNOWN MESSAGE",       "PLC type is WRONG",
                                     "PLC type is WRONG",     "UNKNOWN MESSAGE",
                                     "UNKNOWN MESSAGE",       "PLC type is WRONG",
                                     "PLC in RUN MODE",       "UNKNOWN ERROR CODE @ State 1",
                                     "NO RESPONSE @ State 1", "UNKNOWN MESSAGE",
                                     "UNKNOWN MESSAGE",       "UNKNOWN MESSAGE",
                                     "UNKNOWN MESSAGE",       "UNKNOWN MESSAGE",
                                     "UNKNOWN MESSAGE",       "UNKNOWN MESSAGE"};
constexpr const char* kState2[16] = {
    "UNKNOWN MESSAGE @ State 2", "UNKNOWN MESSAGE @ State 2",    "PLC type is WRONG",
    "PLC type is WRONG",         "UNKNOWN MESSAGE @ State 2",    "PLC type is WRONG",
    "UNKNOWN MESSAGE @ State 2", "UNKNOWN ERROR CODE @ State 2", "NO RESPONSE @ State 2",
    "UNKNOWN MESSAGE @ State 2", "UNKNOWN MESSAGE @ State 2",    "UNKNOWN MESSAGE @ State 2",
    "UNKNOWN MESSAGE @ State 2", "UNKNOWN MESSAGE @ State 2",    "UNKNOWN MESSAGE @ State 2",
    "UNKNOWN MESSAGE @ State 2"};
constexpr const char* kState3[16] = {"UNKNOWN MESSAGE @ State 3", "UNKNOWN MESSAGE @ State 3",
                                     "UNKNOWN MESSAGE @ State 3", "PLC type is WRONG",
                                     "PLC type is WRONG",         "PLC type is WRONG",
                                     "UNKNOWN MESSAGE @ State 3", "UNKNOWN ERROR CODE @ State 3",
                                     "NO RESPONSE @ State 3",     "UNKNOWN MESSAGE @ State 3",
                                     "UNKNOWN MESSAGE @ State 3", "UNKNOWN MESSAGE @ State 3",
                                     "UNKNOWN MESSAGE @ State 3", "UNKNOWN MESSAGE @ State 3",
                                     "UNKNOWN MESSAGE @ State 3", "UNKNOWN MESSAGE @ State 3"};

constexpr int kMostApplicationPasses = 3;
constexpr char kNoLoaderMessage[] =
    "PLC DOES NOT restart into its loader (asked 3 times). RE-POWER PLC and update FW again";
constexpr char kNothingToWriteMessage[] =
    "The image has NOTHING to write: 0 bytes would be sent to the PLC";
constexpr char kDemoImageMessage[] =
    "The image is the DEMO image, not firmware: it only updates a simulated PLC. To update a "
    "real PLC, build with -DMORVIX_FIRMWARE_IMAGE=<model>_<version>.bin (or give the command "
    "line --image FILE)";

constexpr char kReplugPrompt[] = "Please REPLUG the USB Cable, and then press OK to continue";
constexpr char kPowerCyclePrompt[] = "Please POWER OFF=>ON the PLC, and then press OK to continue";

// What the model-compatibility check decided.
struct Compatibility {
  enum class Outcome { kAccepted, kRefused, kLoaderVersionRefused } outcome;
  const char* message;
};

bool ReadsV4(uint16_t d1001) { return (d1001 & 0x00F0) >= 0x0040; }

// The variant registers tell two models of one identity code apart: the
// model the PLC is must be the model chosen.
struct VariantPair {
  const char* modelWhenSet;
  const char* refusalWhenSet;
  const char* modelWhenClear;
  const char* refusalWhenClear;
};

Compatibility JudgeVariant(bool set, const VariantPair& pair) {
  const std::string_view model = CurrentModel();
  if (set) {
    if (model == pair.modelWhenSet) return {Compatibility::Outcome::kAccepted, nullptr};
    return {Compatibility::Outcome::kRefused, pair.refusalWhenSet};
  }
  if (model == pair.modelWhenClear) return {Compatibility::Outcome::kAccepted, nullptr};
  return {Compatibility::Outcome::kRefused, pair.refusalWhenClear};
}

constexpr VariantPair kKr2C = {"KR2-C-V4", "KR2-C V4.xx CAN NOT downgrade to V2.xx / V3.xx ",
                               "KR2-C-V2", "KR2-C V2.xx / V3.xx CAN NOT upgrade to V4.xx "};
constexpr VariantPair kKr2Pw2 = {"KR2-PW2-V4", "KR2-PW2 V4.xx CAN NOT downgrade to V2.xx / V3.xx ",
                                 "KR2-PW2-V2", "KR2-PW2 V2.xx / V3.xx CAN NOT upgrade to V4.xx "};
constexpr VariantPair kFq = {"FQ32", "Check PLC, 14FQ2 is different than 32FQ2", "FQ2",
                             "Check PLC, 32FQ2 is different than 14FQ2"};
constexpr VariantPair kMu = {"MU24", "Check PLC, 14MU is different than 24MU", "MU",
                             "Check PLC, 24MU is different than 14MU"};
constexpr VariantPair kBz = {"BZ-V4", "BZ V4.xx CAN NOT downgrade to V3.xx ", "BZ-V3",
                             "BZ V3.xx CAN NOT upgrade to V4.xx "};
constexpr VariantPair kVok = {"VOK-KR2-V4", "VOK-KR2 V4.xx CAN NOT downgrade to V2.xx / V3.xx ",
                              "VOK-KR2-V2", "VOK-KR2 V2.xx / V3.xx CAN NOT upgrade to V4.xx "};

Compatibility LoaderVersionCheck(uint8_t version) {
  if (const char* refusal = LoaderVersionRefusal(CurrentModel(), version)) {
    return {Compatibility::Outcome::kLoaderVersionRefused, refusal};
  }
  return {Compatibility::Outcome::kAccepted, nullptr};
}

// A register that gave no valid reply tells nothing about the variant: taken
// for 0 it would pass a 32FQ2 as a 14FQ2 and write the wrong firmware. The
// burn ends before the erase request, as when the identity query goes
// unanswered.
Compatibility RegisterUnanswered() {
  return {Compatibility::Outcome::kRefused, StateMessage(2, kNoRefusal)};
}

Compatibility CheckCompatibility(Link& link) {
  const uint16_t code = selectedPLCID;
  switch (code) {
    case 0x000C: {
      const auto d1386 = READ_D1386(link);
      if (!d1386) return RegisterUnanswered();
      const bool kr2c = *d1386 == 0x4138 || *d1386 == 0x4137;
      const std::string_view model = CurrentModel();
      if (kr2c && model != "KR2-C-V2" && model != "KR2-C-V4") {
        return {Compatibility::Outcome::kRefused, "Check PLC, KR2-PW2 is different than KR2-C"};
      }
      const auto d1001 = READ_D1001(link);
      if (!d1001) return RegisterUnanswered();
      return JudgeVariant(ReadsV4(*d1001), kr2c ? kKr2C : kKr2Pw2);
    }
    case 0x0013:
    case 0x0015: {
      const auto d1148 = READ_D1148(link);
      if (!d1148) return RegisterUnanswered();
      return JudgeVariant(*d1148 != 0, code == 0x0013 ? kFq : kMu);
    }
    case 0x0008:
    case 0xA001: {
      const auto d1001 = READ_D1001(link);
      if (!d1001) return RegisterUnanswered();
      return JudgeVariant(ReadsV4(*d1001), code == 0x0008 ? kBz : kVok);
    }
    default: break;
  }
  if (HasLoaderVersionCode(code)) {
    GL_fu_version = read_fu_version_A();
    return LoaderVersionCheck(GL_fu_version);
  }
  return {Compatibility::Outcome::kAccepted, nullptr};
}

// One run of the sequence. Members are the per-burn working state; every
// end goes through exactly one of the four end paths below.
class Burn {
 public:
  explicit Burn(const BurnParams& params) : params_(params), env_(*params.environment) {}

  void Run() {
    const bool imageOpen = OpenImage();
    env_.EnableStartButton(false);
    const uint64_t size = fileLength;
    const std::string_view model = CurrentModel();
    if (!imageOpen) return EndBeforeLink(kImageLoadFailedMessage);
    const SizeLimit limit = SizeLimitOf(model);
    if (size > limit.bytes) return EndBeforeLink(limit.message);
    if (ImageTooSmall(model, static_cast<uint32_t>(size))) {
      return EndBeforeLink(kImageTooSmallMessage);
    }
    // An empty image, or one the GL30 family would send nothing of, would
    // erase the PLC and report success for an update that wrote nothing.
    if (BlockPlanOf(model, static_cast<uint32_t>(size)).imageBytes == 0) {
      return EndBeforeLink(kNothingToWriteMessage);
    }
    if (OpenImageIsDemo() && !params_.demoImageAllowed) return EndBeforeLink(kDemoImageMessage);

    const bool usb = IsUsbModel(model);
    const std::string port = usb ? std::string() : SelectedComPort();
    hSerial = usb ? env_.OpenMyDevPipe() : env_.OpenSerialPort(port);
    if (!hSerial) {
      return EndLinkNotOpened("CANNOT open " + (usb ? std::string("USB") : port) + " Port!!!");
    }

    // Each pass asks the PLC which firmware runs. Phase 1 ends with the PLC
    // restarting into its loader, so the next pass meets phase 2, which
    // always ends the burn. A PLC still in application mode gets phase 1
    // again, but not for ever: one that takes the command and never restarts
    // would be asked to erase every few seconds without a word.
    for (int applicationPasses = 0;; ++applicationPasses) {
      DummyComm(*hSerial);
      const uint8_t mode = ConfirmComm(*hSerial);
      if (mode == kLoaderMode) return LoaderPhase();
      if (mode != kApplicationMode) return FailAndFinish(StateMessage(1, mode));
      if (applicationPasses == kMostApplicationPasses) return FailAndFinish(kNoLoaderMessage);
      switch (ApplicationPhase()) {
        case PhaseEnd::kFinish: return Finish();
        case PhaseEnd::kEnded: return;
        case PhaseEnd::kReconnected: break;
      }
    }
  }

 private:
  enum class PhaseEnd {
    kFinish,       // a failure was shown: finish the burn
    kEnded,        // the burn has already ended
    kReconnected,  // the PLC restarts into its loader: next pass
  };

  PhaseEnd ApplicationPhase() {
    uint8_t s = CheckID_A(*hSerial);
    if (s != 0) {
      StopTimerAndShowError(StateMessage(2, s));
      return PhaseEnd::kFinish;
    }
    const Compatibility compatibility = CheckCompatibility(*hSerial);
    if (compatibility.outcome == Compatibility::Outcome::kLoaderVersionRefused) {
      EndLoaderVersionRefused(compatibility.message);
      return PhaseEnd::kEnded;
    }
    if (compatibility.outcome == Compatibility::Outcome::kRefused) {
      StopTimerAndShowError(compatibility.message);
      return PhaseEnd::kFinish;
    }
    s = SendErase_A(*hSerial);
    if (s != 0) {
      StopTimerAndShowError(StateMessage(3, s));
      return PhaseEnd::kFinish;
    }
    Reconnect();
    return PhaseEnd::kReconnected;
  }

  // Between the phases the PLC restarts into its loader; most models need
  // the operator to replug the cable or power-cycle the PLC first.
  void Reconnect() {
    switch (ReconnectRuleOf(CurrentModel())) {
      case ReconnectRule::kR1:
      case ReconnectRule::kR2:
        hSerial.reset();
        env_.ShowPrompt(kReplugPrompt);
        env_.SleepSeconds(ReconnectRuleOf(CurrentModel()) == ReconnectRule::kR1 ? 2 : 5);
        Reopen(env_.OpenMyDevPipe());
        return;
      case ReconnectRule::kR3:
        hSerial.reset();
        env_.ShowPrompt(kPowerCyclePrompt);
        env_.SleepSeconds(2);
        Reopen(env_.OpenSerialPort(SelectedComPort()));
        return;
      case ReconnectRule::kR4: env_.SleepSeconds(1); return;
    }
  }

  // A reopen that fails is not reported here: the next pass meets a dead
  // link, runs out of attempts and says so ("NO RESPONSE @ State 1").
  void Reopen(std::unique_ptr<Link> link) { hSerial = link ? std::move(link) : MakeInvalidLink(); }

  void LoaderPhase() {
    if (CheckID_B(*hSerial) != 0) return FailAndFinish("PLC type is WRONG");
    if (HasLoaderVersionCode(selectedPLCID)) {
      if (read_fu_version_B() != 0) {
        return FailAndFinish("PLC DOES NOT respond to the version read");
      }
      const Compatibility version = LoaderVersionCheck(GL_fu_version);
      if (version.outcome != Compatibility::Outcome::kAccepted) {
        return EndLoaderVersionRefused(version.message);
      }
    }
    if (SendErase_B(*hSerial) != 0) {
      return FailAndFinish("PLC DOES NOT respond to the erasing signal");
    }
    if (SendUpdate(*hSerial) != 0)
      return FailAndFinish("PLC DOES NOT respond to the update signal");
    const uint8_t s = SendFW(*hSerial);
    if (s == kFlashWriteError) {
      return FailAndFinish(
          "Flash write error, maybe due to flash write protection. RE-POWER PLC and update FW "
          "again");
    }
    if (s != 0) return FailAndFinish("Firmware update is FAILED");
    env_.StopElapsedTimer();
    if (IsUsbModel(CurrentModel())) {
      env_.ShowInformation("Firmware update is SUCCESSFUL!, please REPLUG the USB cable",
                           "Information");
    } else {
      env_.ShowInformation("Firmware update is SUCCESSFUL", "INFORMATION");
    }
    Finish();
  }

  void StopTimerAndShowError(const std::string& text) {
    env_.StopElapsedTimer();
    env_.ShowError(text);
  }

  void FailAndFinish(const std::string& text) {
    StopTimerAndShowError(text);
    Finish();
  }

  // F1: refused before any link was opened (image missing, too large or too small).
  void EndBeforeLink(const std::string& text) {
    env_.StopElapsedTimer();
    env_.ShowError(text);
    env_.EnableStartButton(true);
    elapsedTime = 0;
    CloseFile();
  }

  // F2: the link did not open.
  void EndLinkNotOpened(const std::string& text) {
    env_.StopElapsedTimer();
    env_.ShowError(text);
    elapsedTime = 0;
    env_.EnableStartButton(true);
    CloseFile();
  }

  // F3: the loader-version refusal shows its box while the timer still runs.
  void EndLoaderVersionRefused(const std::string& text) {
    env_.ShowError(text);
    env_.StopElapsedTimer();
    Finish();
  }

  // F4, and the tail of F3.
  void Finish() {
    elapsedTime = 0;
    flashStatus = kIdle;
    progress = 0;
    errCounter = 0;
    totalErrCounter = 0;
    env_.EnableStartButton(true);
    hSerial.reset();
    CloseFile();
  }

  const BurnParams& params_;
  BurnEnvironment& env_;
};

}  // namespace

bool ClaimBurn() {
  bool expected = false;
  return burnRunning.compare_exchange_strong(expected, true);
}

bool BurnRunning() { return burnRunning; }

void ReleaseBurnClaim() { burnRunning = false; }

void SetSelectedComPort(const std::string& port) {
  std::lock_guard<std::mutex> lock(selectedComPortMutex);
  selectedComPort = port;
}

std::string SelectedComPort() {
  std::lock_guard<std::mutex> lock(selectedComPortMutex);
  return selectedComPort;
}

const char* StateMessage(int state, uint8_t code) {
  const char* const* table = state == 1 ? kState1 : state == 2 ? kState2 : kState3;
  return table[code & 0x0F];
}

int StartBurn(BurnParams* params) {
  Burn(*params).Run();
  burnRunning = false;
  return 0;
}
