// SPDX-License-Identifier: MIT
#include "sim/sim_report.h"

#include <algorithm>
#include <cstdio>

#include "sim/plc_model.h"

bool FlashMatchesImage(const PlcSimulator& plc, std::span<const uint8_t> image) {
  const auto plan =
      sim::ImagePlanOf(sim::PlcModelAt(plc.settings().model), static_cast<uint32_t>(image.size()));
  if (plan.tooSmall) return false;
  const auto& flash = plc.record().flash;
  return flash.size() >= plan.imageBytes &&
         std::equal(image.begin(), image.begin() + plan.imageBytes, flash.begin());
}

namespace {

std::string Text(const std::vector<uint8_t>& bytes) {
  return JsonString(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

std::string Bool(bool value) { return value ? "true" : "false"; }

}  // namespace

std::string PlcRecordJson(const PlcSimulator& plc, std::optional<bool> flashMatchesImage) {
  const PlcRecord& r = plc.record();
  const PlcSettings& s = plc.settings();
  std::string out = "{\n";
  auto field = [&out](std::string_view name, const std::string& value, bool last = false) {
    out += "  ";
    out += JsonString(name);
    out += ": ";
    out += value;
    out += last ? "\n" : ",\n";
  };
  field("model", JsonString(plc.model()));
  field("imageSize", std::to_string(s.imageSize));
  field("mode", JsonString(PlcModeName(plc.mode())));
  field("connections", std::to_string(r.connections));
  field("updateComplete", Bool(r.updateComplete));
  field("eraseSteps", std::to_string(r.eraseSteps));
  field("expectedEraseSteps", std::to_string(plc.expectedEraseSteps()));
  field("blocksWritten", std::to_string(r.blocksWritten));
  field("expectedBlocks", std::to_string(plc.expectedBlocks()));
  field("flashBytes", std::to_string(r.flash.size()));
  field("flashMatchesImage", flashMatchesImage ? Bool(*flashMatchesImage) : "null");
  field("violationCount", std::to_string(r.violations.size() + r.violationsDropped));

  std::string violations = "[";
  for (size_t i = 0; i < r.violations.size(); ++i) {
    violations += i == 0 ? "\n" : ",\n";
    violations += "    {\"request\": " + std::to_string(r.violations[i].request) +
                  ", \"reason\": " + JsonString(r.violations[i].reason) + "}";
  }
  violations += r.violations.empty() ? "]" : "\n  ]";
  field("violations", violations);
  field("requestsDropped", std::to_string(r.requestsDropped));

  std::string requests = "[";
  for (size_t i = 0; i < r.requests.size(); ++i) {
    const PlcRequestRecord& q = r.requests[i];
    requests += i == 0 ? "\n" : ",\n";
    requests += "    {\"connection\": " + std::to_string(q.connection) +
                ", \"mode\": " + JsonString(PlcModeName(q.mode)) +
                ", \"request\": " + JsonString(PlcRequestName(q.request)) +
                ", \"length\": " + std::to_string(q.length);
    if (q.request == PlcRequest::kBlock && q.bytes.size() >= 2) {
      requests += ", \"block\": " + std::to_string(q.bytes[1]);
    } else {
      requests += ", \"bytes\": " + Text(q.bytes);
    }
    requests += ", \"reply\": " + Text(q.reply);
    if (!q.fault.empty()) requests += ", \"fault\": " + JsonString(q.fault);
    if (q.noisy) requests += ", \"noisy\": true";
    requests += "}";
  }
  requests += r.requests.empty() ? "]" : "\n  ]";
  field("requests", requests, true);
  return out + "}\n";
}
