// SPDX-License-Identifier: MIT
// The burn: one complete firmware update, from the start command to the last
// word, as one session with its own link, image, status and result. Every
// front end runs this same sequence: the window once at a time, the command
// line once per PLC, several at once if it likes, since sessions share
// nothing.
//
// Commands go down to the front end through its BurnEnvironment (open a link,
// show a box and wait, sleep); status goes up as events to its BurnObserver.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "burn/last_exchange.h"
#include "catalogue/model_table.h"
#include "image/image_source.h"
#include "link/cancel.h"
#include "link/dialogue.h"
#include "link/link.h"
#include "link/status.h"

enum class BoxKind {
  kError,        // caption "ERROR", the error icon
  kInformation,  // the final word of a successful update
  kPrompt,       // the replug or power-cycle request between the phases
};

// Everything the burn asks of the world outside the protocols: the front
// end's ports, window, button and timer are behind it.
class BurnEnvironment {
 public:
  virtual ~BurnEnvironment() = default;
  // The serial port a COM model's burn opens now, at the start and again
  // after a power cycle: the window may change it meanwhile.
  virtual std::string ComPort() = 0;
  // Without a link, with the reason, for a port that did not open.
  virtual LinkOpening OpenSerialPort(const std::string& port) = 0;
  virtual LinkOpening OpenMyDevPipe() = 0;  // the PLC's USB link
  // Returns once the operator has dismissed the box.
  virtual void ShowBox(BoxKind kind, const std::string& text, const std::string& caption) = 0;
  virtual void EnableStartButton(bool enable) = 0;
  virtual void StopElapsedTimer() = 0;
  virtual void ResetElapsedTime() = 0;
  // Returns early when the burn is asked to stop.
  virtual void SleepSeconds(int seconds, const CancelToken& cancel) = 0;
};

// Where a burn stood: the last phase it entered.
enum class BurnPhase {
  kStarting,  // the image is opened and checked
  kOpeningLink,
  kPhase1,        // the PLC runs its application firmware
  kReconnecting,  // between the phases: the prompt, the wait, the reopen
  kPhase2,        // the PLC runs its loader: identity and version
  kErasing,
  kProgramming,
};

// How a burn ended, as a front end sorts it.
enum class BurnOutcome {
  kSucceeded,
  kImageRefused,   // before any link was opened
  kLinkNotOpened,  // the first open failed
  kFailed,         // an error once the link was open
  kCancelled,      // asked to stop; no box was shown for it
};

struct BurnResult {
  BurnOutcome outcome = BurnOutcome::kFailed;
  std::string caption;  // "ERROR", "INFORMATION" or "Information"; empty when cancelled
  std::string message;  // the final box's text; empty when cancelled
  BurnPhase phase = BurnPhase::kStarting;
  // Why the link did not open (kLinkNotOpened), as the system said.
  OpenFailure openFailure = OpenFailure::kNone;
  std::string openDetail;
  LastExchange lastExchange;
};

// Hears the burn: its status, its prompts, its result and, for traces and
// verbose displays, every exchange with the PLC.
class BurnObserver : public StatusListener, public ExchangeListener {
 public:
  // Phase, percentage and retry counters: every change, from the burn's thread.
  void OnStatus(const BurnStatus&) override {}
  // The replug or power-cycle request, before its box.
  virtual void OnPrompt(const std::string& text) { (void)text; }
  // The last word, just before its box is shown (nothing is shown for a
  // cancelled burn). The burn then resets its status, gives the button back
  // and closes its link.
  virtual void OnResult(const BurnResult& result) { (void)result; }
};

// What a burn is started with.
struct BurnInputs {
  const ModelRules& model;
  ImageSource& image;
  BurnEnvironment& environment;
  BurnObserver& observer;
  const CancelToken& cancel;
  // The demo image is not firmware: a burn writes it only to a simulated
  // PLC, or where a test says so (MORVIX_ALLOW_DEMO_IMAGE=1).
  bool demoImageAllowed = false;
};

// Runs one burn on the calling thread (the burn thread) and returns how it
// ended; the link is closed and the image released by then.
BurnResult StartBurn(const BurnInputs& inputs);
