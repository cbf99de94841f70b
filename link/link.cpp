// SPDX-License-Identifier: MIT
#include "link/link.h"

namespace {

class InvalidLink final : public Link {
 public:
  size_t Write(const uint8_t*, size_t) override { return 0; }
  size_t Read(uint8_t*, size_t) override { return 0; }
  size_t Drain(uint8_t*, size_t, uint32_t) override { return 0; }
  void SetTimeouts(const Timeouts&) override {}
  void ApplyLineSettings(const LineSettings&) override {}
};

}  // namespace

std::unique_ptr<Link> MakeInvalidLink() { return std::make_unique<InvalidLink>(); }
