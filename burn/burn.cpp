// SPDX-License-Identifier: MIT
#include "burn/burn.h"

#include <string_view>
#include <utility>

#include "burn/messages.h"
#include "burn/variant.h"
#include "link/app_protocol.h"
#include "link/dialogue.h"
#include "link/loader_protocol.h"

namespace {

// A PLC still in application mode after taking the command to start its
// loader gets phase 1 again, but not for ever.
constexpr int kMostApplicationPasses = 3;

// What the model-compatibility check decided.
struct Compatibility {
  enum class Verdict { kAccepted, kRefused, kLoaderVersionRefused } verdict;
  const char* message;
};

constexpr Compatibility kAccepted = {Compatibility::Verdict::kAccepted, nullptr};

// The model the PLC is must be the model chosen.
Compatibility JudgeVariant(const ModelRules& model, bool set, const VariantPair& pair) {
  if (model.name == PairModel(pair, set)) return kAccepted;
  return {Compatibility::Verdict::kRefused, set ? pair.refusalWhenSet : pair.refusalWhenClear};
}

Compatibility JudgeLoaderVersion(const ModelRules& model, uint8_t version) {
  if (const char* refusal = LoaderVersionRefusal(model.name, version)) {
    return {Compatibility::Verdict::kLoaderVersionRefused, refusal};
  }
  return kAccepted;
}

// A register that gave no valid reply tells nothing about the variant: taken
// for 0 it would pass a 32FQ2 as a 14FQ2 and write the wrong firmware. The
// burn ends before the erase request, as when the identity query goes
// unanswered.
Compatibility RegisterUnanswered() {
  return {Compatibility::Verdict::kRefused, StateMessage(2, AppStatus::kNoRefusal)};
}

// One run of the sequence. Every end goes through exactly one of the four
// end paths below, which also produce the result.
class BurnSession {
 public:
  explicit BurnSession(const BurnInputs& inputs)
      : model_(inputs.model),
        imageSource_(inputs.image),
        env_(inputs.environment),
        observer_(inputs.observer),
        cancel_(inputs.cancel),
        demoImageAllowed_(inputs.demoImageAllowed),
        status_(&inputs.observer),
        exchanges_(inputs.observer) {}

  BurnResult Run() {
    image_ = imageSource_.OpenImage();
    env_.EnableStartButton(false);
    if (!image_) return EndBeforeLink(kImageLoadFailedMessage);
    const uint64_t size = image_->Size();
    const SizeLimit limit = SizeLimitOf(model_.name);
    if (size > limit.bytes) return EndBeforeLink(limit.message);
    const auto fitting = static_cast<uint32_t>(size);
    if (ImageTooSmall(model_.name, fitting)) return EndBeforeLink(kImageTooSmallMessage);
    // An empty image, or one the GL30 family would send nothing of, would
    // erase the PLC and report success for an update that wrote nothing.
    if (BlockPlanOf(model_.name, fitting).imageBytes == 0) {
      return EndBeforeLink(MessageText(BurnMessage::kNothingToWrite));
    }
    if (IsDemoImage(*image_) && !demoImageAllowed_) {
      return EndBeforeLink(MessageText(BurnMessage::kDemoImage));
    }

    phase_ = BurnPhase::kOpeningLink;
    if (cancel_.Requested()) return Cancelled();
    const bool usb = model_.link == LinkKind::kUsb;
    const std::string port = usb ? std::string() : env_.ComPort();
    LinkOpening opening = usb ? env_.OpenMyDevPipe() : env_.OpenSerialPort(port);
    hSerial_ = std::move(opening.link);
    if (cancel_.Requested()) return Cancelled();
    if (!hSerial_) return EndLinkNotOpened(CannotOpenMessage(usb ? "USB" : port), opening);

    // Each pass asks the PLC which firmware runs. Phase 1 ends with the PLC
    // restarting into its loader, so the next pass meets phase 2, which
    // always ends the burn. A PLC still in application mode gets phase 1
    // again, but not for ever: one that takes the command and never restarts
    // would be asked to erase every few seconds without a word.
    for (int applicationPasses = 0;; ++applicationPasses) {
      phase_ = BurnPhase::kPhase1;
      DummyComm(Talk(), model_);
      const AppStatus mode = ConfirmComm(Talk(), model_);
      if (cancel_.Requested()) return Cancelled();
      if (mode == AppStatus::kLoaderMode) return LoaderPhase();
      if (mode != AppStatus::kApplicationMode) return FailAndFinish(StateMessage(1, mode));
      if (applicationPasses == kMostApplicationPasses) {
        return FailAndFinish(MessageText(BurnMessage::kNoLoader));
      }
      if (auto end = ApplicationPhase()) return *std::move(end);
    }
  }

 private:
  Dialogue Talk() { return {*hSerial_, status_, cancel_, &exchanges_}; }

  // Phase 1, up to the reconnect step. A result when the burn ended in it.
  std::optional<BurnResult> ApplicationPhase() {
    AppStatus s = CheckID_A(Talk(), model_);
    if (cancel_.Requested()) return Cancelled();
    if (s != AppStatus::kSuccess) return FailAndFinish(StateMessage(2, s));
    const Compatibility compatibility = CheckCompatibility();
    if (cancel_.Requested()) return Cancelled();
    if (compatibility.verdict == Compatibility::Verdict::kLoaderVersionRefused) {
      return EndLoaderVersionRefused(compatibility.message);
    }
    if (compatibility.verdict == Compatibility::Verdict::kRefused) {
      return FailAndFinish(compatibility.message);
    }
    s = SendErase_A(Talk(), model_);
    if (cancel_.Requested()) return Cancelled();
    if (s != AppStatus::kSuccess) return FailAndFinish(StateMessage(3, s));
    return Reconnect();
  }

  // The variant registers tell two models of one identity code apart; the
  // loader-version models read their loader's version instead.
  Compatibility CheckCompatibility() {
    switch (model_.variant) {
      case VariantCheck::kNone: return kAccepted;
      case VariantCheck::kKr2: {
        const auto d1386 = READ_D1386(Talk());
        if (!d1386) return RegisterUnanswered();
        const bool kr2c = IsKr2C(*d1386);
        const std::string_view name = model_.name;
        if (kr2c && name != kKr2CPair.modelWhenSet && name != kKr2CPair.modelWhenClear) {
          return {Compatibility::Verdict::kRefused, kKr2FamilyRefusal};
        }
        const auto d1001 = READ_D1001(Talk());
        if (!d1001) return RegisterUnanswered();
        return JudgeVariant(model_, ReadsV4(*d1001), kr2c ? kKr2CPair : kKr2Pw2Pair);
      }
      case VariantCheck::kD1148: {
        const auto d1148 = READ_D1148(Talk());
        if (!d1148) return RegisterUnanswered();
        return JudgeVariant(model_, *d1148 != 0, *model_.pair);
      }
      case VariantCheck::kD1001: {
        const auto d1001 = READ_D1001(Talk());
        if (!d1001) return RegisterUnanswered();
        return JudgeVariant(model_, ReadsV4(*d1001), *model_.pair);
      }
      case VariantCheck::kLoaderVersion:
        GL_fu_version_ = read_fu_version_A(Talk());
        return JudgeLoaderVersion(model_, GL_fu_version_);
    }
    return kAccepted;
  }

  // Between the phases the PLC restarts into its loader; most models need
  // the operator to replug the cable or power-cycle the PLC first. A reopen
  // that fails is not reported here: the next pass meets a dead link, runs
  // out of attempts and says so ("NO RESPONSE @ State 1").
  std::optional<BurnResult> Reconnect() {
    phase_ = BurnPhase::kReconnecting;
    const ReconnectStep& step = ReconnectStepOf(model_.reconnect);
    if (step.reopen) hSerial_.reset();
    if (step.prompt != nullptr) {
      observer_.OnPrompt(step.prompt);
      env_.ShowBox(BoxKind::kPrompt, step.prompt, "Information");
      if (cancel_.Requested()) return Cancelled();
    }
    env_.SleepSeconds(step.waitSeconds, cancel_);
    if (cancel_.Requested()) return Cancelled();
    if (step.reopen) {
      LinkOpening opening = model_.link == LinkKind::kUsb ? env_.OpenMyDevPipe()
                                                          : env_.OpenSerialPort(env_.ComPort());
      hSerial_ = opening ? std::move(opening.link) : MakeInvalidLink();
    }
    return std::nullopt;
  }

  BurnResult LoaderPhase() {
    phase_ = BurnPhase::kPhase2;
    if (CheckID_B(Talk(), model_) != LoaderStatus::kDone) {
      return LoaderFailure(BurnMessage::kLoaderIdentityRefused);
    }
    if (model_.variant == VariantCheck::kLoaderVersion) {
      if (read_fu_version_B(Talk(), GL_fu_version_) != LoaderStatus::kDone) {
        return LoaderFailure(BurnMessage::kVersionUnanswered);
      }
      const Compatibility version = JudgeLoaderVersion(model_, GL_fu_version_);
      if (version.verdict != Compatibility::Verdict::kAccepted) {
        return EndLoaderVersionRefused(version.message);
      }
    }
    phase_ = BurnPhase::kErasing;
    const LoaderStatus erased = SendErase_B(Talk(), model_, static_cast<uint32_t>(image_->Size()));
    if (erased != LoaderStatus::kDone) return LoaderFailure(BurnMessage::kEraseUnanswered, erased);
    const LoaderStatus updating = SendUpdate(Talk());
    if (updating != LoaderStatus::kDone) {
      return LoaderFailure(BurnMessage::kUpdateUnanswered, updating);
    }
    phase_ = BurnPhase::kProgramming;
    const LoaderStatus s = SendFW(Talk(), model_, *image_);
    if (s == LoaderStatus::kFlashWriteError) return LoaderFailure(BurnMessage::kFlashWriteError);
    if (s != LoaderStatus::kDone) return LoaderFailure(BurnMessage::kTransferFailed);
    const bool usb = model_.link == LinkKind::kUsb;
    return Finish(BurnOutcome::kSucceeded, usb ? "Information" : "INFORMATION",
                  MessageText(usb ? BurnMessage::kUsbSuccess : BurnMessage::kComSuccess),
                  BoxKind::kInformation);
  }

  // A loader operation that failed, or stopped because it was asked to. A
  // loader whose replies fell out of step fails the update as a whole,
  // whichever step met it.
  BurnResult LoaderFailure(BurnMessage message, LoaderStatus status = LoaderStatus::kNoReply) {
    if (cancel_.Requested()) return Cancelled();
    if (status == LoaderStatus::kOutOfStep) message = BurnMessage::kTransferFailed;
    return FailAndFinish(MessageText(message));
  }

  // F1: refused before any link was opened (image missing, too large, too
  // small, empty, the demo image).
  BurnResult EndBeforeLink(const std::string& text) {
    const BurnResult result = Result(BurnOutcome::kImageRefused, "ERROR", text);
    env_.StopElapsedTimer();
    observer_.OnResult(result);
    env_.ShowBox(BoxKind::kError, text, "ERROR");
    env_.EnableStartButton(true);
    env_.ResetElapsedTime();
    image_.reset();
    return result;
  }

  // F2: the link did not open.
  BurnResult EndLinkNotOpened(const std::string& text, const LinkOpening& opening) {
    BurnResult result = Result(BurnOutcome::kLinkNotOpened, "ERROR", text);
    result.openFailure = opening.failure;
    result.openDetail = opening.detail;
    env_.StopElapsedTimer();
    observer_.OnResult(result);
    env_.ShowBox(BoxKind::kError, text, "ERROR");
    env_.ResetElapsedTime();
    env_.EnableStartButton(true);
    image_.reset();
    return result;
  }

  // F3: the loader-version refusal shows its box while the timer still runs.
  BurnResult EndLoaderVersionRefused(const std::string& text) {
    const BurnResult result = Result(BurnOutcome::kFailed, "ERROR", text);
    observer_.OnResult(result);
    env_.ShowBox(BoxKind::kError, text, "ERROR");
    env_.StopElapsedTimer();
    return Finished(result);
  }

  // F4 with the error box.
  BurnResult FailAndFinish(const std::string& text) {
    return Finish(BurnOutcome::kFailed, "ERROR", text, BoxKind::kError);
  }

  // F4: the timer stops before the box.
  BurnResult Finish(BurnOutcome outcome, const char* caption, const std::string& text,
                    BoxKind kind) {
    const BurnResult result = Result(outcome, caption, text);
    env_.StopElapsedTimer();
    observer_.OnResult(result);
    env_.ShowBox(kind, text, caption);
    return Finished(result);
  }

  BurnResult Result(BurnOutcome outcome, const std::string& caption,
                    const std::string& text) const {
    BurnResult result;
    result.outcome = outcome;
    result.caption = caption;
    result.message = text;
    result.phase = phase_;
    result.lastExchange = exchanges_.last();
    return result;
  }

  // Asked to stop: no box; the link is closed like at any other end.
  BurnResult Cancelled() {
    const BurnResult result = Result(BurnOutcome::kCancelled, "", "");
    env_.StopElapsedTimer();
    observer_.OnResult(result);
    return Finished(result);
  }

  // The tail of F3 and F4.
  BurnResult Finished(const BurnResult& result) {
    env_.ResetElapsedTime();
    status_.Reset();
    env_.EnableStartButton(true);
    hSerial_.reset();
    image_.reset();
    return result;
  }

  const ModelRules& model_;
  ImageSource& imageSource_;
  BurnEnvironment& env_;
  BurnObserver& observer_;
  const CancelToken& cancel_;
  const bool demoImageAllowed_;

  StatusBoard status_;
  ExchangeRecorder exchanges_;
  std::unique_ptr<ImageReader> image_;
  std::unique_ptr<Link> hSerial_;  // the burn's current link
  uint8_t GL_fu_version_ = 0;      // the loader version, high four bits major
  BurnPhase phase_ = BurnPhase::kStarting;
};

}  // namespace

BurnResult StartBurn(const BurnInputs& inputs) { return BurnSession(inputs).Run(); }
