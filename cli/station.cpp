// SPDX-License-Identifier: MIT
#include "cli/station.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <optional>

#include "burn/plc_info.h"
#include "cli/links.h"
#include "cli/options.h"
#include "util/json_text.h"
#include "util/text.h"

namespace {

using namespace std::chrono_literals;

// How long a port that does not open is left before it is tried again.
constexpr auto kPortRetry = 1s;
// Between the look at a PLC and the update's own open, as an operator
// leaves between two runs: bytes still on the line are not the new link's.
constexpr auto kSettle = 200ms;

// The unit of a USB PLC found attached: at its location; one the system
// gives no location is the one PLC of the station, found by its ids.
UnitTarget UsbTargetOf(const UsbPlc& plc) {
  UnitTarget target;
  target.kind =
      plc.location.empty() ? UnitTarget::Kind::kUsbSearch : UnitTarget::Kind::kUsbLocation;
  target.name = plc.location.empty() ? "USB" : plc.location;
  target.serial = plc.serial;
  return target;
}

std::string Seconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", seconds);
  return text;
}

class Station {
 public:
  Station(const RunShared& shared, const Reporter::Settings& display, std::ostream* bell)
      : shared_(shared),
        display_(display),
        bell_(bell),
        reporter_(shared.out, shared.err, display) {}

  int Run() {
    RunWatched([this] { Day(); },
               [this] {
                 cancel_.Request();
                 std::lock_guard<std::mutex> lock(currentMutex_);
                 if (current_ != nullptr) current_->Stop();
               },
               [this] {
                 std::lock_guard<std::mutex> lock(currentMutex_);
                 if (current_ != nullptr) current_->Tick();
               },
               shared_.stopSignal);
    const int status = failed_ + interrupted_ == 0 ? recorded_ : kExitBurnFailed;
    reporter_.Answer("day", Counts() + ",\"exit\":" + std::to_string(status),
                     "Today: " + CountsText() + ".\n");
    return status;
  }

 private:
  bool Usb() const { return shared_.model.link == LinkKind::kUsb; }
  bool Stopped() const { return cancel_.Requested(); }

  // --usb LOCATION: the one place a USB station takes its PLCs from.
  std::string Location() const {
    return shared_.options.usb.empty() ? "" : shared_.options.usb.front();
  }

  void Day() {
    const std::string model = shared_.model.name;
    const std::string port = !Usb()               ? shared_.options.ports.front()
                             : Location().empty() ? "USB"
                                                  : Location();
    const std::string where = PrintableText(port);
    reporter_.Tell(
        "station", "\"model\":" + JsonString(model) + ",\"port\":" + JsonString(port),
        "Station: " + model + " PLCs on " + where + ", one after another; Ctrl-C ends the day.\n");
    std::vector<UsbPlc> done;  // updated, and not yet seen removed
    while (!Stopped()) {
      std::string label;
      if (shared_.options.askLabel && !AskLabel(label)) return;
      reporter_.Tell("waiting", "\"port\":" + JsonString(port),
                     !Usb() ? "Waiting for a PLC to answer on " + where + "...\n"
                     : Location().empty()
                         ? "Waiting for a PLC to be attached...\n"
                         : "Waiting for a PLC to be attached at " + where + "...\n");
      std::optional<UsbPlc> plc;
      std::optional<UnitTarget> target;
      if (Usb()) {
        plc = NextUsbPlc(done);
        if (plc) target = UsbTargetOf(*plc);
      } else {
        target = NextSerialPlc();
      }
      if (!target) return;
      const UnitEnd end = Update(*target, label);
      Tally(end);
      if (end.outcome == "interrupted" || end.inputEnded) return;
      if (plc) {
        done.push_back(*plc);
        reporter_.Tell("remove", "\"unit\":" + JsonString(target->name),
                       "Remove the PLC at " + PrintableText(target->name) +
                           "; the next one is updated as soon as it is attached.\n");
      } else {
        reporter_.Tell("next", "\"port\":" + JsonString(port),
                       "Connect the next PLC to " + where + " and press Enter.\n");
        if (WaitForEnter(shared_.in, cancel_) != PromptAnswer::kAnswered) return;
      }
    }
  }

  // The label of the next unit, as a barcode scanner types it: a line. False
  // when the day ends first.
  bool AskLabel(std::string& label) {
    for (;;) {
      reporter_.Ask("Scan or type the label of the next PLC, then Enter");
      if (ReadAnswer(shared_.in, cancel_, label) != PromptAnswer::kAnswered) return false;
      if (const std::string error = LabelError(label); !error.empty()) {
        reporter_.Note(error + "; scan or type it again");
        continue;
      }
      if (std::find(labels_.begin(), labels_.end(), label) != labels_.end()) {
        reporter_.Note("Warning: the label " + label + " was given before in this station run");
      } else {
        labels_.push_back(label);
      }
      return true;
    }
  }

  // The first PLC attached that was not updated already: one that was is
  // passed over (known by its serial number, else by where it is plugged
  // in) until a look finds it gone, so that it is never taken for the next.
  std::optional<UsbPlc> NextUsbPlc(std::vector<UsbPlc>& done) {
    const auto same = [](const UsbPlc& a, const UsbPlc& b) {
      return a.serial.empty() ? a.location == b.location : a.serial == b.serial;
    };
    const auto wasDone = [&](const UsbPlc& plc) {
      return std::any_of(done.begin(), done.end(), [&](const UsbPlc& d) { return same(d, plc); });
    };
    return WaitForUsbPlc([this](std::chrono::milliseconds pause) { return cancel_.WaitFor(pause); },
                         [&](const UsbPlc& found) {
                           return (Location().empty() || found.location == Location()) &&
                                  !wasDone(found);
                         },
                         [&] {
                           std::vector<UsbPlc> plcs = ListUsbPlcs();
                           std::erase_if(done, [&](const UsbPlc& d) {
                             return std::none_of(plcs.begin(), plcs.end(),
                                                 [&](const UsbPlc& plc) { return same(d, plc); });
                           });
                           return plcs;
                         });
  }

  // Asks the port what answers there, as --info does: queries only, never
  // an erase, until a PLC answers in either of its modes.
  std::optional<UnitTarget> NextSerialPlc() {
    const std::string& port = shared_.options.ports.front();
    const LinkSource links = PlcLinks("");
    bool told = false;
    while (!Stopped()) {
      LinkOpening opening = links.openSerial(port);
      if (!opening) {
        if (!told) {
          reporter_.Note(port + " does not open (" + opening.detail +
                         "); trying again every second");
          told = true;
        }
        cancel_.WaitFor(kPortRetry);
        continue;
      }
      StatusBoard status;
      const PlcInfo info = ReadPlcInfo({*opening.link, status, cancel_, nullptr}, shared_.model);
      opening.link.reset();
      if (info.firmware != RunningFirmware::kNone && !cancel_.WaitFor(kSettle)) {
        return UnitTarget{UnitTarget::Kind::kSerialPort, port, ""};
      }
    }
    return std::nullopt;
  }

  UnitEnd Update(const UnitTarget& target, const std::string& label) {
    Reporter::Settings display = display_;
    display.unit = target.name;
    display.label = label;
    UnitRun unit(shared_, target, display, nullptr);
    {
      std::lock_guard<std::mutex> lock(currentMutex_);
      current_ = &unit;
    }
    const UnitEnd end = unit.Burn();
    std::lock_guard<std::mutex> lock(currentMutex_);
    current_ = nullptr;
    return end;
  }

  void Tally(const UnitEnd& end) {
    const bool passed = end.outcome == "success";
    (passed ? succeeded_ : end.outcome == "failure" ? failed_ : interrupted_) += 1;
    if (passed) recorded_ = StrongestExitStatus(recorded_, end.exitStatus);
    const std::string unit = PrintableText(end.unit);
    const std::string text =
        passed
            ? "=== PASS: " + unit + " updated in " + Seconds(end.seconds) + " s"
            : "=== " + std::string(end.outcome == "failure" ? "FAIL" : "INTERRUPTED") + ": " +
                  unit + (end.verified == false ? " written, NOT verified (" : " NOT updated (") +
                  PrintableText(end.message) + ")";
    reporter_.Tell("tally",
                   "\"unit\":" + JsonString(end.unit) + ",\"outcome\":" + JsonString(end.outcome) +
                       ",\"seconds\":" + Seconds(end.seconds) + "," + Counts(),
                   text + ". Today: " + CountsText() + ".\n");
    if (bell_ != nullptr) *bell_ << '\a' << std::flush;
  }

  std::string Counts() const {
    return "\"succeeded\":" + std::to_string(succeeded_) +
           ",\"failed\":" + std::to_string(failed_) +
           ",\"interrupted\":" + std::to_string(interrupted_);
  }
  std::string CountsText() const {
    return std::to_string(succeeded_) + " succeeded, " + std::to_string(failed_) + " failed" +
           (interrupted_ > 0 ? ", " + std::to_string(interrupted_) + " interrupted" : "");
  }

  const RunShared& shared_;
  const Reporter::Settings display_;
  std::ostream* const bell_;
  Reporter reporter_;
  CancelToken cancel_;  // the end of the day
  std::mutex currentMutex_;
  UnitRun* current_ = nullptr;  // the unit being updated, for the watching thread
  int succeeded_ = 0;
  int failed_ = 0;
  int interrupted_ = 0;
  int recorded_ = kExitSuccess;      // of the units that succeeded: 5 not verified, 6 not recorded
  std::vector<std::string> labels_;  // --ask-label: the labels given in this station run
};

}  // namespace

int RunStation(const RunShared& shared, const Reporter::Settings& display, std::ostream* bell) {
  return Station(shared, display, bell).Run();
}
