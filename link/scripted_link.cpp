// SPDX-License-Identifier: MIT
#include "link/scripted_link.h"

#include <algorithm>

Bytes ToBytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

void ScriptedLink::QueueArrival(Bytes bytes) { arrivals_.push_back({std::move(bytes), false}); }

void ScriptedLink::QueueLateArrival(Bytes bytes) { arrivals_.push_back({std::move(bytes), true}); }

void ScriptedLink::SetResponder(std::function<Bytes(const Bytes&)> responder) {
  responder_ = std::move(responder);
}

void ScriptedLink::QueueShortWrite(size_t count) { shortWrites_.push_back(count); }

std::vector<Bytes> ScriptedLink::Requests() const {
  std::vector<Bytes> requests;
  for (const Call& call : calls_) {
    if (call.kind == Call::Kind::kWrite) requests.push_back(call.bytes);
  }
  return requests;
}

size_t ScriptedLink::CountOf(Call::Kind kind) const {
  return static_cast<size_t>(std::count_if(calls_.begin(), calls_.end(),
                                           [kind](const Call& c) { return c.kind == kind; }));
}

std::optional<LineSettings> ScriptedLink::LastLineSettings() const {
  for (auto it = calls_.rbegin(); it != calls_.rend(); ++it) {
    if (it->kind == Call::Kind::kLineSettings) return it->line;
  }
  return std::nullopt;
}

size_t ScriptedLink::Write(const uint8_t* data, size_t n) {
  size_t moved = n;
  if (!shortWrites_.empty()) {
    moved = std::min(n, shortWrites_.front());
    shortWrites_.pop_front();
  }
  Bytes request(data, data + n);
  calls_.push_back({Call::Kind::kWrite, request, n, moved, 0, {}, {}});
  if (moved == n && responder_) {
    const Bytes reply = responder_(request);
    input_.insert(input_.end(), reply.begin(), reply.end());
  }
  return moved;
}

size_t ScriptedLink::Take(uint8_t* data, size_t n) {
  const size_t moved = std::min(n, input_.size());
  std::copy_n(input_.begin(), moved, data);
  input_.erase(input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(moved));
  return moved;
}

size_t ScriptedLink::Read(uint8_t* data, size_t n) {
  if (!arrivals_.empty() && !arrivals_.front().late) {
    input_.insert(input_.end(), arrivals_.front().bytes.begin(), arrivals_.front().bytes.end());
    arrivals_.pop_front();
  }
  const size_t moved = Take(data, n);
  if (moved < n && !arrivals_.empty() && arrivals_.front().late) {
    input_.insert(input_.end(), arrivals_.front().bytes.begin(), arrivals_.front().bytes.end());
    arrivals_.pop_front();
  }
  calls_.push_back({Call::Kind::kRead, Bytes(data, data + moved), n, moved, 0, {}, {}});
  return moved;
}

size_t ScriptedLink::Drain(uint8_t* data, size_t n, uint32_t quietMs) {
  const size_t moved = Take(data, n);
  calls_.push_back({Call::Kind::kDrain, Bytes(data, data + moved), n, moved, quietMs, {}, {}});
  return moved;
}

void ScriptedLink::SetTimeouts(const Timeouts& timeouts) {
  calls_.push_back({Call::Kind::kTimeouts, {}, 0, 0, 0, timeouts, {}});
}

void ScriptedLink::ApplyLineSettings(const LineSettings& settings) {
  calls_.push_back({Call::Kind::kLineSettings, {}, 0, 0, 0, {}, settings});
}
