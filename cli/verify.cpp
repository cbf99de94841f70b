// SPDX-License-Identifier: MIT
#include "cli/verify.h"

#include <cstdio>
#include <filesystem>

#include "burn/diagnosis.h"
#include "cli/options.h"
#include "discovery/usb_plc.h"
#include "util/json_text.h"
#include "util/text.h"

namespace {

// Where a USB PLC is to be seen gone and back: its location, and its serial
// number where it reports one, so that another PLC plugged in there is not
// taken for it.
struct UsbPlace {
  std::string location;
  std::string serial;
};

bool SameDevice(const std::string& a, const std::string& b) {
  std::error_code error;
  return a == b || std::filesystem::equivalent(a, b, error);
}

// The unit's PLC among those attached as the verification starts: at its
// location, or the one behind its device path, or the only one there is.
std::optional<UsbPlace> PlaceOf(const UnitTarget& target) {
  if (target.kind == UnitTarget::Kind::kUsbLocation) {
    return UsbPlace{target.name, target.serial};
  }
  if (target.kind != UnitTarget::Kind::kUsbPath && target.kind != UnitTarget::Kind::kUsbSearch) {
    return std::nullopt;
  }
  const std::vector<UsbPlc> plcs = ListUsbPlcs();
  for (const UsbPlc& plc : plcs) {
    const bool it = target.kind == UnitTarget::Kind::kUsbPath
                        ? SameDevice(plc.devicePath, target.name)
                        : plcs.size() == 1;
    if (it && !plc.location.empty()) return UsbPlace{plc.location, plc.serial};
  }
  return std::nullopt;
}

class CliVerifyEnvironment final : public VerifyEnvironment {
 public:
  CliVerifyEnvironment(const UnitTarget& target, const TerminalSetup& setup,
                       std::chrono::seconds timeout)
      : target_(target),
        setup_(setup),
        timeout_(timeout),
        place_(setup.model.link == LinkKind::kUsb ? PlaceOf(target) : std::nullopt) {}

  LinkOpening OpenLink() override {
    LinkOpening opening = setup_.model.link == LinkKind::kUsb
                              ? setup_.links.openUsb()
                              : setup_.links.openSerial(setup_.comPort);
    if (opening && setup_.trace != nullptr) {
      opening.link = setup_.trace->Traced(std::move(opening.link));
    }
    return opening;
  }

  Replug WaitForReplug(const CancelToken& stop) override {
    if (!place_) return Replug::kUnwatched;
    const StopWait wait = [&stop](std::chrono::milliseconds pause) { return stop.WaitFor(pause); };
    if (!WaitUntilUsbPlcGone(place_->location, wait)) return Replug::kNotGone;
    const auto back = WaitForUsbPlc(wait, [this](const UsbPlc& plc) {
      return plc.location == place_->location &&
             (place_->serial.empty() || plc.serial == place_->serial);
    });
    return back ? Replug::kBack : Replug::kNotBack;
  }

  // The wait is told once the power-cycle prompt is answered: it starts then.
  bool AskPowerCycle(const std::string& text) override {
    if (setup_.gate == nullptr) setup_.reporter.Prompt("Information", text, !setup_.answerPrompts);
    const bool answered =
        setup_.answerPrompts || (setup_.gate != nullptr ? setup_.gate->Ask(text, setup_.cancel)
                                                        : WaitForEnter(setup_.in, setup_.cancel)) ==
                                    PromptAnswer::kAnswered;
    if (answered) TellWait();
    return answered;
  }

  // What the operator is told the verification waits for.
  void TellWait() {
    const std::string within = std::to_string(timeout_.count()) + " s";
    const std::string text =
        place_
            ? "Verifying: waiting up to " + within + " for the PLC at " +
                  PrintableText(place_->location) + " to be replugged, then asking it what it runs"
            : "Verifying: asking the PLC on " + PrintableText(target_.name) + " for up to " +
                  within + " until it runs its application again";
    setup_.reporter.Tell("verifying", "\"timeout\":" + std::to_string(timeout_.count()),
                         text + "\n");
  }

 private:
  const UnitTarget& target_;
  const TerminalSetup& setup_;
  const std::chrono::seconds timeout_;
  const std::optional<UsbPlace> place_;
};

constexpr char kVerifyStopped[] =
    "Interrupted while verifying: the image was written, whether the PLC runs it is not known";

const char* CaptionOf(const VerifyResult& result) {
  if (result.cancelled) return "ERROR";
  return result.verified ? "Verified" : "NOT verified";
}

std::string Seconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", seconds);
  return text;
}

}  // namespace

std::string VerdictText(const ModelRules& model, const VerifyResult& result) {
  if (!result.verified) return result.reason;
  return std::string(model.name) + " runs its application again (" +
         (result.identity ? "identity " + Hex4(*result.identity)
                          : std::string("in RUN mode; it refused the identity query")) +
         ")";
}

std::string VerdictMembers(const VerifyResult& result) {
  return std::string("\"verified\":") + (result.verified ? "true" : "false") +
         ",\"identity\":" + (result.identity ? JsonString(Hex4(*result.identity)) : "null") +
         ",\"seconds\":" + Seconds(result.seconds) + ",\"reason\":" + JsonString(result.reason);
}

VerifyResult VerifyUnit(const UnitTarget& target, const TerminalSetup& setup,
                        std::chrono::seconds timeout) {
  CliVerifyEnvironment environment(target, setup, timeout);
  // A model that restarts on a power cycle is told the wait after the prompt.
  if (!AsksPowerCycle(setup.model)) environment.TellWait();
  WireWatch watch(setup.reporter, setup.trace);
  const VerifyResult result =
      VerifyUpdate({setup.model, environment, setup.cancel, timeout, &watch});
  if (setup.gate != nullptr) setup.gate->Pass();
  Diagnosis diagnosis;
  diagnosis.reason = result.reason;
  diagnosis.hint = result.hint;
  if (result.cancelled) {
    diagnosis.reason = kVerifyStopped;
    diagnosis.hint = "Run morvix-fwupdate-cli --info to see which firmware the PLC runs.";
  }
  setup.reporter.Verdict(VerdictMembers(result), CaptionOf(result),
                         result.cancelled ? kVerifyStopped : VerdictText(setup.model, result),
                         diagnosis);
  return result;
}

void ApplyVerdict(const VerifyResult& result, const ModelRules& model, int stopped, UnitEnd& end,
                  Diagnosis& diagnosis) {
  end.verified = result.verified;
  end.caption = CaptionOf(result);
  end.message = result.cancelled ? kVerifyStopped : VerdictText(model, result);
  if (result.verified) return;
  end.outcome = result.cancelled ? "interrupted" : "failure";
  end.exitStatus = result.cancelled ? stopped : kExitNotVerified;
  diagnosis.reason = result.cancelled ? "" : result.reason;
  diagnosis.hint = result.hint;
}
