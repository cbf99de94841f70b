// SPDX-License-Identifier: MIT
// After a successful update: does the PLC start the new firmware? The
// loader's dialogue has no read-back, so the PLC is asked, once it has
// restarted, what --info asks it, and nothing more: the wake-up, the
// communication check, the identity query and the variant registers. No
// loader command goes out, and no erase request.
//
// How the PLC restarts depends on the model: a COM model's link is reopened
// and asked until it answers; a USB PLC is replugged, and asked once it has
// been seen gone and back where it was; a model that restarts only on a
// power cycle gets a prompt for it first.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "catalogue/model_table.h"
#include "link/cancel.h"
#include "link/dialogue.h"
#include "link/link.h"

// The prompt of the models that restart only when powered off and on.
inline constexpr char kVerifyPowerCyclePrompt[] =
    "Please POWER OFF=>ON the PLC to start the new firmware, and then press OK to continue";

// The models that restart only when powered off and on: the COM models
// whose reconnect step asks for it.
bool AsksPowerCycle(const ModelRules& model);

enum class Replug {
  kBack,      // seen gone, then back where it was
  kNotGone,   // never seen gone: nobody replugged it
  kNotBack,   // gone, and not back where it was
  kUnwatched  // there is no place to watch: the link is asked until it answers
};

// What a verification asks of the world outside the protocols.
class VerifyEnvironment {
 public:
  virtual ~VerifyEnvironment() = default;
  // The PLC's link, opened anew each time it is asked.
  virtual LinkOpening OpenLink() = 0;
  // A USB PLC: waits until it has been unplugged and plugged in again at
  // the same place, or until `stop`.
  virtual Replug WaitForReplug(const CancelToken& stop) = 0;
  // The power-cycle prompt; false when nobody will answer it.
  virtual bool AskPowerCycle(const std::string& text) = 0;
};

struct VerifyInputs {
  const ModelRules& model;  // the model chosen: the one the PLC must be
  VerifyEnvironment& environment;
  const CancelToken& cancel;  // the run's stop (Ctrl-C)
  std::chrono::seconds timeout;
  ExchangeListener* listener = nullptr;  // hears every exchange
};

struct VerifyResult {
  bool verified = false;
  bool cancelled = false;            // stopped before a verdict; nothing else is set
  std::optional<uint16_t> identity;  // the code the application reported
  double seconds = 0;                // from the start to the verdict
  std::string reason;                // why not verified; empty when verified
  std::string hint;                  // what to do about it
};

// Runs on the calling thread until the PLC answered from its application,
// the time-out passed (counted after the power-cycle prompt was answered),
// or the run was stopped. The attempt under way at the time-out is cut
// short between two exchanges.
VerifyResult VerifyUpdate(const VerifyInputs& inputs);
