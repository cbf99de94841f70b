// SPDX-License-Identifier: MIT
#include "cli/units.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <thread>

#include "burn/diagnosis.h"
#include "burn/messages.h"
#include "cli/links.h"
#include "cli/shared_prompt.h"
#include "cli/unit_board.h"
#include "cli/verify.h"
#include "util/json_text.h"
#include "util/sha256.h"
#include "util/text.h"

namespace {

constexpr char kSimulatedPlc[] = "simulated PLC";

UnitPlan Refused(std::string error, int status = kExitUsage) {
  UnitPlan plan;
  plan.error = std::move(error);
  plan.errorStatus = status;
  return plan;
}

std::string SerialAt(const std::vector<UsbPlc>& plcs, const std::string& location) {
  for (const UsbPlc& plc : plcs) {
    if (plc.location == location) return plc.serial;
  }
  return "";
}

// The message of a stop, said once the burn has closed its link.
std::string StopMessage(const TerminalEnvironment& environment, const BurnResult& result) {
  const std::string after =
      "the PLC may now be in its loader, and the next run continues in phase 2";
  if (environment.PromptUnanswered()) {
    return "No answer to the prompt (end of input): the burn is aborted; " + after;
  }
  return "Interrupted in " + Whereabouts(result.phase) + ": the link is closed; " + after;
}

std::string Seconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", seconds);
  return text;
}

std::string Padded(std::string text, size_t width) {
  if (text.size() < width) text.resize(width, ' ');
  return text;
}

// The last word of several units: a table, and a line that counts them.
std::string SummaryText(const std::vector<UnitEnd>& ends) {
  size_t unitWidth = 4;
  for (const UnitEnd& end : ends) unitWidth = std::max(unitWidth, PrintableText(end.unit).size());
  std::string text = Padded("UNIT", unitWidth) + "  OUTCOME     SECONDS  MESSAGE\n";
  size_t succeeded = 0;
  size_t failed = 0;
  for (const UnitEnd& end : ends) {
    const std::string seconds = Seconds(end.seconds);
    text += Padded(PrintableText(end.unit), unitWidth) + "  " + Padded(end.outcome, 11) +
            std::string(seconds.size() < 8 ? 8 - seconds.size() : 0, ' ') + seconds + "  " +
            PrintableText(end.caption + ": " + end.message) + "\n";
    succeeded += end.outcome == "success" ? 1 : 0;
    failed += end.outcome == "failure" ? 1 : 0;
  }
  const size_t interrupted = ends.size() - succeeded - failed;
  return text + std::to_string(succeeded) + " of " + std::to_string(ends.size()) +
         (ends.size() == 1 ? " unit" : " units") + " updated" +
         (failed > 0 ? ", " + std::to_string(failed) + " failed" : "") +
         (interrupted > 0 ? ", " + std::to_string(interrupted) + " interrupted" : "") + ".\n";
}

std::string SummaryMembers(const std::vector<UnitEnd>& ends, int exitStatus) {
  std::string units;
  size_t succeeded = 0;
  size_t failed = 0;
  for (const UnitEnd& end : ends) {
    units += std::string(units.empty() ? "" : ",") + "{\"unit\":" + JsonString(end.unit) +
             ",\"outcome\":" + JsonString(end.outcome) + ",\"caption\":" + JsonString(end.caption) +
             ",\"message\":" + JsonString(end.message) + ",\"seconds\":" + Seconds(end.seconds) +
             ",\"exit\":" + std::to_string(end.exitStatus) + "}";
    succeeded += end.outcome == "success" ? 1 : 0;
    failed += end.outcome == "failure" ? 1 : 0;
  }
  return "\"units\":[" + units + "],\"succeeded\":" + std::to_string(succeeded) +
         ",\"failed\":" + std::to_string(failed) +
         ",\"interrupted\":" + std::to_string(ends.size() - succeeded - failed) +
         ",\"exit\":" + std::to_string(exitStatus);
}

}  // namespace

ImageDigest DigestOf(ImageSource& source) {
  const auto image = source.OpenImage();
  if (!image) return {};
  ImageDigest digest{image->Size(), ""};
  Sha256 sha;
  uint8_t chunk[64 * 1024];
  uint64_t read = 0;
  for (int32_t got; (got = image->FileRead(chunk, sizeof chunk)) > 0; read += got) {
    sha.Add({chunk, static_cast<size_t>(got)});
  }
  if (read == digest.size) digest.sha256 = sha.Hex();
  return digest;
}

LinkSource LinksFor(const UnitTarget& target, const ModelRules& model, uint64_t imageSize) {
  switch (target.kind) {
    case UnitTarget::Kind::kSimulated:
      return SimulatedLinks(model.name,
                            static_cast<uint32_t>(std::min<uint64_t>(imageSize, UINT32_MAX)));
    case UnitTarget::Kind::kUsbLocation: return UsbPlcLinksAt(target.name);
    case UnitTarget::Kind::kUsbPath: return PlcLinks(target.name);
    case UnitTarget::Kind::kSerialPort:
    case UnitTarget::Kind::kUsbSearch: break;
  }
  return PlcLinks("");
}

std::string ComPortOf(const UnitTarget& target) {
  const bool port =
      target.kind == UnitTarget::Kind::kSerialPort || target.kind == UnitTarget::Kind::kSimulated;
  return port && target.name != kSimulatedPlc ? target.name : "";
}

std::string PortLabel(const UnitTarget& target) {
  return target.kind == UnitTarget::Kind::kSimulated ? kSimulatedPlc : target.name;
}

UnitPlan PlanUnits(const CliOptions& options, const ModelRules& model, const UsbPlcLister& list) {
  const bool usbModel = model.link == LinkKind::kUsb;
  const std::string name = model.name;
  if (!options.usb.empty() && !usbModel) {
    return Refused("--usb names USB PLCs, and " + name +
                   " is a COM model: give its serial ports with --port");
  }
  if (!usbModel && options.ports.empty() && !options.simulate) {
    return Refused(name +
                   " is a COM model: give its serial port with --port (--list-ports shows them)");
  }
  if (usbModel && options.station && !options.ports.empty()) {
    return Refused(
        "a station on " + name +
        " takes the PLCs as they are attached, and a tty name changes at every replug: give "
        "--usb LOCATION to take only the PLCs attached at one place (--list-ports shows them)");
  }
  if (usbModel && options.ports.size() > 1 && !options.simulate) {
    return Refused(
        "several USB PLCs are told apart by their USB locations, which stay the same across the "
        "replug while a device path may then name another PLC: give --usb LOCATION for each "
        "(--list-ports shows them), or --usb all");
  }
  UnitPlan plan;
  plan.several = options.ports.size() > 1 || !options.usb.empty();
  if (options.simulate) {
    std::vector<std::string> names = options.ports.empty() ? options.usb : options.ports;
    if (names.empty()) names.push_back(kSimulatedPlc);
    for (const std::string& unit : names) {
      plan.targets.push_back({UnitTarget::Kind::kSimulated, unit, ""});
    }
    return plan;
  }
  if (!options.usb.empty()) {
    const std::vector<UsbPlc> present = list();
    if (options.usb.front() != "all") {
      for (const std::string& location : options.usb) {
        plan.targets.push_back(
            {UnitTarget::Kind::kUsbLocation, location, SerialAt(present, location)});
      }
      return plan;
    }
    if (present.empty()) {
      UnitPlan none = Refused(CannotOpenMessage("USB"), kExitLinkNotOpened);
      none.diagnosis = {"No USB PLC (3e9a:0001) is attached, so --usb all found no unit to update.",
                        "Plug in the PLCs' USB cables and power the PLCs; --list-ports shows what "
                        "is seen.",
                        std::nullopt};
      return none;
    }
    for (const UsbPlc& plc : present) {
      if (plc.location.empty()) {
        UnitPlan unplaced = Refused(CannotOpenMessage("USB"), kExitLinkNotOpened);
        unplaced.diagnosis = {
            "The USB PLC " + plc.devicePath +
                " has no location the system gives, so it could not be told from another after "
                "the replug.",
            "Update it alone, without --usb.", std::nullopt};
        return unplaced;
      }
      plan.targets.push_back({UnitTarget::Kind::kUsbLocation, plc.location, plc.serial});
    }
    return plan;
  }
  if (options.ports.empty()) {
    plan.targets.push_back({UnitTarget::Kind::kUsbSearch, "USB", ""});
  }
  for (const std::string& port : options.ports) {
    plan.targets.push_back(
        {usbModel ? UnitTarget::Kind::kUsbPath : UnitTarget::Kind::kSerialPort, port, ""});
  }
  return plan;
}

UnitRun::UnitRun(const RunShared& shared, UnitTarget target, const Reporter::Settings& display,
                 PromptGate* gate, std::vector<std::string> runSerials)
    : shared_(shared),
      target_(std::move(target)),
      label_(display.label),
      reporter_(shared.out, shared.err, display),
      environment_({reporter_, shared.in, shared.options.yes || shared.options.simulate,
                    LinksFor(target_, shared.model, shared.digest.size), ComPortOf(target_),
                    cancel_, shared.model, PortLabel(target_), shared.trace, gate, target_.serial,
                    runSerials.empty() ? std::vector<std::string>{target_.serial}
                                       : std::move(runSerials)}) {}

UnitEnd UnitRun::Burn() {
  using Clock = std::chrono::steady_clock;
  const auto started = Clock::now();
  const ModelRules& model = shared_.model;
  const std::string port = PortLabel(target_);
  reporter_.Start(model.name, shared_.image.Name(), shared_.digest.size, shared_.digest.sha256,
                  port);
  environment_.ShowStart();
  const BurnResult result = StartBurn(
      {model, shared_.image, environment_, environment_, cancel_, shared_.demoImageAllowed});

  UnitEnd end;
  end.unit = target_.name;
  Diagnosis diagnosis;
  if (result.outcome != BurnOutcome::kCancelled) {
    end.outcome = result.outcome == BurnOutcome::kSucceeded ? "success" : "failure";
    end.caption = result.caption;
    end.message = result.message;
    end.exitStatus = ExitStatusOf(result);
    diagnosis = Diagnose(result, model, port);
  } else {
    const bool unanswered = environment_.PromptUnanswered();
    end.inputEnded = unanswered;
    end.outcome = unanswered ? "failure" : "interrupted";
    end.caption = "ERROR";
    end.message = StopMessage(environment_, result);
    end.exitStatus = unanswered                        ? kExitBurnFailed
                     : shared_.stopSignal() == SIGTERM ? kExitTerminated
                                                       : kExitInterrupted;
    reporter_.Result(end.caption, end.message, end.exitStatus);
  }
  if (shared_.options.verify && result.outcome == BurnOutcome::kSucceeded) {
    const VerifyResult verdict = VerifyUnit(
        target_, environment_.Setup(), std::chrono::seconds(shared_.options.verifyTimeoutSeconds));
    const int stopped = shared_.stopSignal() == SIGTERM ? kExitTerminated : kExitInterrupted;
    ApplyVerdict(verdict, shared_.model, stopped, end, diagnosis);
  }
  end.seconds = std::chrono::duration<double>(Clock::now() - started).count();

  if (shared_.log != nullptr) {
    const BurnStatus status = environment_.FinalStatus();
    UnitRecord record;
    record.time = std::chrono::system_clock::now();
    record.host = shared_.host;
    record.unit = end.unit;
    record.label = label_;
    record.serial = environment_.Serial();
    record.serialAfterReplug = environment_.SerialAfterReplug();
    record.model = model.name;
    record.image = shared_.image.Name();
    record.size = shared_.digest.size;
    record.sha256 = shared_.digest.sha256;
    record.outcome = end.outcome;
    record.caption = end.caption;
    record.message = end.message;
    record.exitStatus = end.exitStatus;
    record.seconds = end.seconds;
    record.errCounter = status.errCounter;
    record.totalErrCounter = status.totalErrCounter;
    record.diagnosis = diagnosis;
    record.verified = end.verified;
    end.exitStatus = AppendRecord(*shared_.log, record, shared_.options.log, reporter_);
  }
  return end;
}

int AppendRecord(UnitLog& log, const UnitRecord& record, const std::string& path,
                 Reporter& reporter) {
  if (log.Append(record)) return record.exitStatus;
  const int status = StrongestExitStatus(record.exitStatus, kExitNotRecorded);
  reporter.LogError(
      path, status,
      {"The record of " + record.unit + " (" + record.outcome +
           ") could not be written to the log " + path +
           ": the disk may be full, or the file no longer writable.",
       "Make the log writable and keep this run's output: the unit's outcome above stands, but "
       "the line has no record of it.",
       std::nullopt});
  return status;
}

void RunWatched(const std::function<void()>& work, const std::function<void()>& stop,
                const std::function<void()>& tick, const std::function<int()>& stopSignal) {
  std::atomic<bool> done{false};
  std::thread worker([&] {
    work();
    done = true;
    WakeWatcher();
  });
  using Clock = std::chrono::steady_clock;
  auto nextSecond = Clock::now() + std::chrono::seconds(1);
  while (!done) {
    // Again and again: a burn started after the signal is stopped too.
    if (stopSignal() != 0) stop();
    const auto now = Clock::now();
    if (now >= nextSecond) {
      tick();
      nextSecond += std::chrono::seconds(1);
      continue;
    }
    WaitForWake(std::chrono::ceil<std::chrono::milliseconds>(nextSecond - now));
  }
  worker.join();
}

int ExitStatusOfUnits(const std::vector<UnitEnd>& ends) {
  for (const UnitEnd& end : ends) {
    if (end.outcome == "interrupted") return end.exitStatus;
  }
  const bool allRefused =
      !ends.empty() && std::all_of(ends.begin(), ends.end(), [](const UnitEnd& end) {
        return end.exitStatus == kExitImageRefused;
      });
  if (allRefused) return kExitImageRefused;
  int status = kExitSuccess;
  for (const UnitEnd& end : ends) {
    // Of several, a unit refused or not reached is a unit that failed; one
    // written but not verified fails with its own status.
    const bool failed = (end.outcome != "success" && end.exitStatus != kExitNotVerified) ||
                        end.exitStatus == kExitBurnFailed || end.exitStatus == kExitImageRefused ||
                        end.exitStatus == kExitLinkNotOpened;
    status = StrongestExitStatus(status, failed ? kExitBurnFailed : end.exitStatus);
  }
  return status;
}

int RunUnits(const RunShared& shared, const std::vector<UnitTarget>& targets,
             Reporter::Settings display, bool promptsWait, bool inputEchoes) {
  std::vector<std::string> names;
  std::vector<std::string> serials;
  for (const UnitTarget& target : targets) {
    names.push_back(target.name);
    if (!target.serial.empty()) serials.push_back(target.serial);
  }
  UnitBoard board(shared.out, shared.err, names, display.mode == Reporter::Mode::kTerminal,
                  display.columns);
  display.board = &board;
  Reporter run(shared.out, shared.err, display);
  run.StartUnits(shared.model.name, shared.image.Name(), shared.digest.size, shared.digest.sha256,
                 names);
  SharedPrompt prompt(run, shared.in, names, [&] {
    if (inputEchoes) board.LineTyped();
  });

  std::vector<std::unique_ptr<UnitRun>> units;
  for (size_t i = 0; i < targets.size(); ++i) {
    Reporter::Settings unitDisplay = display;
    unitDisplay.unit = names[i];
    unitDisplay.columns = board.StatusColumns();
    units.push_back(std::make_unique<UnitRun>(shared, targets[i], unitDisplay,
                                              promptsWait ? &prompt.Gate(i) : nullptr, serials));
  }
  std::vector<UnitEnd> ends(units.size());
  RunWatched(
      [&] {
        std::vector<std::thread> burns;
        for (size_t i = 0; i < units.size(); ++i) {
          burns.emplace_back([&, i] { ends[i] = units[i]->Burn(); });
        }
        for (std::thread& burn : burns) burn.join();
      },
      [&] {
        for (auto& unit : units) unit->Stop();
      },
      [&] {
        for (auto& unit : units) unit->Tick();
      },
      shared.stopSignal);
  board.Close();
  const int status = ExitStatusOfUnits(ends);
  run.Answer("summary", SummaryMembers(ends, status), SummaryText(ends));
  return status;
}
