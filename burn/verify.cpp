// SPDX-License-Identifier: MIT
#include "burn/verify.h"

#include <algorithm>
#include <string_view>
#include <thread>

#include "burn/diagnosis.h"
#include "burn/plc_info.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// A PLC is given a moment to start before it is asked, the first time too:
// the update has only just closed its link. Its port stays closed
// meanwhile, as a replug or power cycle would leave it.
constexpr auto kBetweenAttempts = 1s;
// How soon the time-out or a stop is seen by the attempt under way.
constexpr auto kWatchStep = 50ms;

constexpr char kSwitchOffAndOn[] =
    "Switch the PLC off and on, then run morvix-fwupdate-cli --info with the same model and "
    "port: it says which firmware runs.";

// What the last attempt that ran to its end found.
enum class Finding {
  kNothing,   // no answer
  kPortShut,  // the link did not open
  kLoader,    // the loader answered the communication check
};

// Requests the stop of the attempts once the time-out has passed or the run
// is stopped, whichever comes first; and at its own end.
class Deadline {
 public:
  Deadline(const CancelToken& cancel, Clock::time_point at)
      : watcher_([this, &cancel, at] {
          while (!stop_.Requested()) {
            if (cancel.WaitFor(kWatchStep) || Clock::now() >= at) stop_.Request();
          }
        }) {}
  ~Deadline() {
    stop_.Request();
    watcher_.join();
  }
  Deadline(const Deadline&) = delete;
  Deadline& operator=(const Deadline&) = delete;

  const CancelToken& Stop() const { return stop_; }

 private:
  CancelToken stop_;
  std::thread watcher_;
};

class Verification {
 public:
  explicit Verification(const VerifyInputs& inputs)
      : in_(inputs),
        started_(Clock::now()),
        within_(std::to_string(inputs.timeout.count()) + " s") {}

  VerifyResult Run() {
    const bool usb = in_.model.link == LinkKind::kUsb;
    if (AsksPowerCycle(in_.model) && !in_.environment.AskPowerCycle(kVerifyPowerCyclePrompt)) {
      if (in_.cancel.Requested()) return Cancelled();
      return NotVerified("nobody answered the power-cycle prompt, so the PLC was not restarted",
                         kSwitchOffAndOn);
    }
    const Deadline deadline(in_.cancel, Clock::now() + in_.timeout);
    const CancelToken& stop = deadline.Stop();
    if (usb) {
      const Replug replug = in_.environment.WaitForReplug(stop);
      if (in_.cancel.Requested()) return Cancelled();
      if (replug == Replug::kNotGone) {
        return NotVerified("the PLC was not unplugged within " + within_ +
                               " of the update, so it was not restarted",
                           "Replug the USB cable; then run morvix-fwupdate-cli --info to see "
                           "which firmware runs.");
      }
      if (replug == Replug::kNotBack) {
        return NotVerified("the PLC was unplugged, but not back where it was within " + within_,
                           "Plug it in where it was and run morvix-fwupdate-cli --info to see "
                           "which firmware runs. If it does not appear there: " +
                               std::string(kSwitchOffAndOn));
      }
    }
    return Ask(stop);
  }

 private:
  // Asks until the application answers or `stop`.
  VerifyResult Ask(const CancelToken& stop) {
    Finding finding = Finding::kNothing;
    std::string detail;
    while (!stop.WaitFor(kBetweenAttempts)) {
      LinkOpening opening = in_.environment.OpenLink();
      if (!opening) {
        finding = Finding::kPortShut;
        detail = opening.detail;
      } else {
        StatusBoard status;
        const PlcInfo info = ReadPlcInfo({*opening.link, status, stop, in_.listener}, in_.model,
                                         InfoQueries::kApplication);
        opening.link.reset();
        if (info.firmware == RunningFirmware::kApplication) return Judge(info);
        // An attempt cut short by the time-out found out nothing.
        if (info.firmware == RunningFirmware::kLoader) {
          finding = Finding::kLoader;
        } else if (!stop.Requested()) {
          finding = Finding::kNothing;
          detail = info.failure;
        }
      }
    }
    if (in_.cancel.Requested()) return Cancelled();
    switch (finding) {
      case Finding::kLoader:
        return NotVerified(
            "the PLC is still in its loader: the new firmware did not start",
            std::string(kSwitchOffAndOn) +
                " If it still runs its loader, update it again: the update goes straight to "
                "phase 2.");
      case Finding::kPortShut:
        return NotVerified("the port did not open again within " + within_ +
                               (detail.empty() ? "" : " (" + detail + ")"),
                           kSwitchOffAndOn);
      case Finding::kNothing: break;
    }
    return NotVerified("no answer from the PLC within " + within_ + " of the update" +
                           (detail.empty() ? "" : " (" + detail + ")"),
                       kSwitchOffAndOn);
  }

  // The application answered: is it the model chosen? A refusal in RUN
  // mode proves the application runs, even when it says nothing more.
  VerifyResult Judge(const PlcInfo& info) {
    if (!info.identityCode) {
      if (info.check == AppStatus::kRefusedClass1) return Verified(std::nullopt);
      return NotVerified("the PLC's application answered, but not the identity query",
                         kSwitchOffAndOn);
    }
    const std::string_view chosen = in_.model.name;
    const auto is = [chosen](const ModelRules* model) { return chosen == model->name; };
    if (std::any_of(info.fitting.begin(), info.fitting.end(), is)) {
      return Verified(info.identityCode);
    }
    const std::string code = Hex4(*info.identityCode);
    const std::string what = std::any_of(info.models.begin(), info.models.end(), is)
                                 ? "its variant registers say it is " + ModelNames(info.fitting)
                                 : "that is " + ModelNames(info.models);
    VerifyResult result = NotVerified(
        "the PLC runs an application that reports identity " + code + ", and " + what + ", not " +
            std::string(chosen),
        "Check that the image is " + std::string(chosen) + " firmware and that the PLC is a " +
            std::string(chosen) + "; morvix-fwupdate-cli --info shows what the PLC says it is.");
    result.identity = info.identityCode;
    return result;
  }

  VerifyResult Verified(std::optional<uint16_t> identity) {
    VerifyResult result = Ended();
    result.verified = true;
    result.identity = identity;
    return result;
  }

  VerifyResult NotVerified(std::string reason, std::string hint) {
    VerifyResult result = Ended();
    result.reason = std::move(reason);
    result.hint = std::move(hint);
    return result;
  }

  VerifyResult Cancelled() {
    VerifyResult result = Ended();
    result.cancelled = true;
    return result;
  }

  VerifyResult Ended() const {
    VerifyResult result;
    result.seconds = std::chrono::duration<double>(Clock::now() - started_).count();
    return result;
  }

  const VerifyInputs& in_;
  const Clock::time_point started_;
  const std::string within_;  // "60 s"
};

}  // namespace

bool AsksPowerCycle(const ModelRules& model) {
  return model.link == LinkKind::kCom && model.reconnect == ReconnectRule::kR3;
}

VerifyResult VerifyUpdate(const VerifyInputs& inputs) { return Verification(inputs).Run(); }
