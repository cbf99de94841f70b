// SPDX-License-Identifier: MIT
// Every text a burn ends with that is not a model's own (the model's limit,
// variant and loader-version texts are in its row of the model table): one
// table, so that each outcome has one wording.
#pragma once

#include <cstdint>
#include <string>

#include "link/app_protocol.h"

enum class BurnMessage {
  kUsbSuccess,
  kComSuccess,
  kNothingToWrite,
  kDemoImage,
  kLoaderIdentityRefused,
  kVersionUnanswered,
  kEraseUnanswered,
  kUpdateUnanswered,
  kFlashWriteError,
  kTransferFailed,
  kNoLoader,
};

const char* MessageText(BurnMessage message);

// The message for a failed application-mode step, chosen by the low four
// bits of its result: state 1 the communication check, 2 the identity check
// (and the variant registers), 3 the erase request.
const char* StateMessage(int state, AppStatus status);

// "CANNOT open COM3 Port!!!": the port as the list shows it, "USB" for a USB
// model.
std::string CannotOpenMessage(const std::string& port);
