// SPDX-License-Identifier: MIT
// One burn's side of the conversation with its PLC: the link in use, the
// status values the operator watches, the request to stop, and who listens
// to the exchanges. Every protocol operation works through it and keeps
// nothing of its own.
#pragma once

#include <cstdint>
#include <span>

#include "link/cancel.h"
#include "link/link.h"
#include "link/status.h"

// The protocol operations, as a trace or a diagnosis names them.
enum class Operation : uint8_t {
  kDummyComm,
  kConfirmComm,
  kCheckID_A,
  kReadD1386,
  kReadD1001,
  kReadD1148,
  kReadVersion_A,
  kSendErase_A,
  kCheckID_B,
  kReadVersion_B,
  kSendErase_B,
  kSendUpdate,
  kSendFW,
};

// "ConfirmComm", "READ_D1386", ...
const char* OperationName(Operation operation);
// What the operation asks, in the operator's words: "the communication check".
const char* OperationPurpose(Operation operation);

enum class AttemptResult : uint8_t {
  kWriteFailed,  // the request did not go out whole
  kAccepted,
  kRejected,  // a short, damaged or unwanted reply: the request goes again
  kStopped,   // a reply that ends the exchange at once
};

// One attempt of an exchange, as it ended. The reply is as it came off the
// line, before it was judged.
struct Attempt {
  std::span<const uint8_t> request;
  std::span<const uint8_t> reply;
  AttemptResult result;
};

// Hears the conversation as it happens, on the burn's thread.
class ExchangeListener {
 public:
  virtual ~ExchangeListener() = default;
  // An operation begins; the bytes and attempts that follow are its own.
  virtual void OnOperation(Operation) {}
  // A request/reply exchange of the current operation begins.
  virtual void OnExchange() {}
  virtual void OnAttempt(const Attempt&) {}
  // A reply came that answers no request the exchange can name (`byte`):
  // the line is out of step and the exchange ends.
  virtual void OnOutOfStep(uint8_t /*byte*/) {}
};

struct Dialogue {
  Link& link;
  StatusBoard& status;
  const CancelToken& cancel;
  ExchangeListener* listener = nullptr;

  void Begin(Operation operation) const {
    if (listener != nullptr) listener->OnOperation(operation);
  }
};
