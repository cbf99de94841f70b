// SPDX-License-Identifier: MIT
#include "link/wire_trace.h"

#include <cstdio>

namespace {

class TracedLink final : public Link {
 public:
  TracedLink(std::unique_ptr<Link> inner, WireTrace& trace)
      : inner_(std::move(inner)), trace_(trace) {}
  size_t Write(const uint8_t* data, size_t n) override {
    const size_t written = inner_->Write(data, n);
    trace_.Bytes("TX", data, written);
    return written;
  }
  size_t Read(uint8_t* data, size_t n) override {
    const size_t got = inner_->Read(data, n);
    trace_.Bytes("RX", data, got);
    return got;
  }
  size_t Drain(uint8_t* data, size_t n, uint32_t quietMs) override {
    const size_t got = inner_->Drain(data, n, quietMs);
    trace_.Bytes("RX", data, got);
    return got;
  }
  void SetTimeouts(const Timeouts& timeouts) override { inner_->SetTimeouts(timeouts); }
  void ApplyLineSettings(const LineSettings& settings) override {
    inner_->ApplyLineSettings(settings);
    trace_.Settings(settings);
  }

 private:
  std::unique_ptr<Link> inner_;
  WireTrace& trace_;
};

}  // namespace

WireTrace::WireTrace(std::ostream& out) : out_(out), started_(std::chrono::steady_clock::now()) {
  out_ << "# time_us dir exchange operation bytes\n";
}

std::unique_ptr<Link> WireTrace::Traced(std::unique_ptr<Link> link) {
  if (!link) return link;
  return std::make_unique<TracedLink>(std::move(link), *this);
}

void WireTrace::OnOperation(Operation operation) {
  std::lock_guard<std::mutex> lock(mutex_);
  operation_ = OperationName(operation);
  operationHasExchange_ = false;
}

void WireTrace::OnExchange() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++exchange_;
  operationHasExchange_ = true;
}

void WireTrace::Prefix(const char* direction, const std::string& exchange) {
  const auto us = std::chrono::duration_cast<std::chrono::microseconds>(
                      std::chrono::steady_clock::now() - started_)
                      .count();
  char prefix[96];
  std::snprintf(prefix, sizeof prefix, "%12lld %s %s %s", static_cast<long long>(us), direction,
                exchange.c_str(), operation_);
  out_ << prefix;
}

void WireTrace::Bytes(const char* direction, const uint8_t* data, size_t n) {
  if (n == 0) return;
  std::lock_guard<std::mutex> lock(mutex_);
  if (!operationHasExchange_) {
    ++exchange_;
    operationHasExchange_ = true;
  }
  // Appended, not "#" + std::to_string(): GCC 12 at -O3 takes that for an
  // overlapping copy (-Wrestrict, a false positive).
  std::string exchange = "#";
  exchange += std::to_string(exchange_);
  Prefix(direction, exchange);
  char hex[4];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(hex, sizeof hex, " %02X", data[i]);
    out_ << hex;
  }
  out_ << "\n";
  out_.flush();
}

void WireTrace::Settings(const LineSettings& settings) {
  std::lock_guard<std::mutex> lock(mutex_);
  Prefix("--", "-");
  static constexpr char kParity[] = "NOE";
  out_ << " line " << settings.baudRate << " " << static_cast<int>(settings.byteSize)
       << kParity[settings.parity % 3] << (settings.stopBits == 2 ? "2" : "1") << "\n";
  out_.flush();
}
