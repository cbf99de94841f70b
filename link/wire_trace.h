// SPDX-License-Identifier: MIT
// A record of the wire: every byte sent and received, when (microseconds
// since the trace began), which way, and the exchange and operation it
// belongs to. One line per read or write:
//
//       123456 TX #3 ConfirmComm 3A 30 30 36 34 ...
//       125012 RX #3 ConfirmComm 3A 30 30 ...
//       125100 -- - SendUpdate line 115200 8N1
//
// Exchanges are numbered from 1 in the order they begin; the bytes of an
// operation that sends without an exchange (the wake-up burst, the erase
// confirmation) carry the number of the operation's last exchange, or a
// number of their own when it had none. A change of the line settings is
// no exchange's.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>

#include "link/dialogue.h"
#include "link/link.h"

class WireTrace final : public ExchangeListener {
 public:
  explicit WireTrace(std::ostream& out);
  // The link, with everything that passes through it written to the trace.
  std::unique_ptr<Link> Traced(std::unique_ptr<Link> link);

  void OnOperation(Operation operation) override;
  void OnExchange() override;

  void Bytes(const char* direction, const uint8_t* data, size_t n);
  void Settings(const LineSettings& settings);

 private:
  void Prefix(const char* direction, const std::string& exchange);

  std::mutex mutex_;
  std::ostream& out_;
  std::chrono::steady_clock::time_point started_;
  const char* operation_ = "-";
  unsigned exchange_ = 0;
  bool operationHasExchange_ = false;
};
