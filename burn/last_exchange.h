// SPDX-License-Identifier: MIT
// What a conversation with a PLC was waiting for when it ended: the last
// exchange, kept for the diagnosis of a failure.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "link/dialogue.h"

struct LastExchange {
  std::optional<Operation> operation;  // none when no word was exchanged
  std::vector<uint8_t> request;
  std::vector<uint8_t> reply;  // the last attempt's reply, as it came off the line
  int attempts = 0;
  int attemptsAnswered = 0;  // attempts that brought back any byte
  int attemptsUnsent = 0;    // attempts whose request could not be written
  // The byte that put the line out of step, when one did.
  std::optional<uint8_t> outOfStep;
};

// Keeps the last exchange, and passes the conversation on.
class ExchangeRecorder final : public ExchangeListener {
 public:
  explicit ExchangeRecorder(ExchangeListener& next) : next_(next) {}
  void OnOperation(Operation operation) override {
    last_ = LastExchange{};
    last_.operation = operation;
    next_.OnOperation(operation);
  }
  void OnExchange() override {
    last_ = LastExchange{last_.operation, {}, {}, 0, 0, 0, std::nullopt};
    next_.OnExchange();
  }
  void OnAttempt(const Attempt& attempt) override {
    last_.request.assign(attempt.request.begin(), attempt.request.end());
    last_.reply.assign(attempt.reply.begin(), attempt.reply.end());
    ++last_.attempts;
    if (!attempt.reply.empty()) ++last_.attemptsAnswered;
    if (attempt.result == AttemptResult::kWriteFailed) ++last_.attemptsUnsent;
    next_.OnAttempt(attempt);
  }
  void OnOutOfStep(uint8_t byte) override {
    last_.outOfStep = byte;
    next_.OnOutOfStep(byte);
  }
  const LastExchange& last() const { return last_; }

 private:
  ExchangeListener& next_;
  LastExchange last_;
};
