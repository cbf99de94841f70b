// SPDX-License-Identifier: MIT
#include "discovery/usb_plc.h"

#include <algorithm>
#include <string_view>
#include <thread>

namespace {

// The location as runs of digits and runs of other text: "1-1.10" is 1, "-",
// 1, ".", 10. Runs of digits compare as numbers, of any length.
struct LocationPart {
  bool digits;
  std::string_view text;  // without leading zeros when digits
  bool operator<(const LocationPart& other) const {
    if (digits != other.digits) return digits;
    if (digits && text.size() != other.text.size()) return text.size() < other.text.size();
    return text < other.text;
  }
};

std::vector<LocationPart> PartsOf(std::string_view location) {
  std::vector<LocationPart> parts;
  auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
  while (!location.empty()) {
    const bool digits = isDigit(location.front());
    size_t end = 0;
    while (end < location.size() && isDigit(location[end]) == digits) ++end;
    std::string_view text = location.substr(0, end);
    location.remove_prefix(end);
    if (digits) text.remove_prefix(std::min(text.find_first_not_of('0'), text.size() - 1));
    parts.push_back({digits, text});
  }
  return parts;
}

bool PlcAt(const std::vector<UsbPlc>& plcs, const std::string& location) {
  for (const UsbPlc& plc : plcs) {
    if (plc.location == location) return true;
  }
  return false;
}

}  // namespace

bool LocationBefore(const std::string& a, const std::string& b) {
  const auto partsA = PartsOf(a);
  const auto partsB = PartsOf(b);
  return std::lexicographical_compare(partsA.begin(), partsA.end(), partsB.begin(), partsB.end());
}

void SleepFor(std::chrono::milliseconds pause) { std::this_thread::sleep_for(pause); }

LinkOpening OpenWithinReopenWindow(const std::function<LinkOpening()>& attempt,
                                   const Pause& pause) {
  std::chrono::milliseconds waited{0};
  for (;;) {
    LinkOpening opening = attempt();
    if (opening || waited >= kReopenWindow) return opening;
    pause(kReopenPause);
    waited += kReopenPause;
  }
}

std::optional<UsbPlc> WaitForUsbPlc(const StopWait& wait, const UsbPlcFilter& wanted,
                                    const UsbPlcLister& list) {
  for (;;) {
    for (UsbPlc& plc : list()) {
      if (!wanted || wanted(plc)) return std::move(plc);
    }
    if (wait(kWatchPause)) return std::nullopt;
  }
}

bool WaitUntilUsbPlcGone(const std::string& location, const StopWait& wait,
                         const UsbPlcLister& list) {
  while (PlcAt(list(), location)) {
    if (wait(kWatchPause)) return false;
  }
  return true;
}
