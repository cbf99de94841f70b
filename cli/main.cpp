// SPDX-License-Identifier: MIT
// morvix-fwupdate-cli: the window's burn from a terminal.
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "burn/burn.h"
#include "catalogue/model_table.h"
#include "cli/doctor.h"
#include "cli/info.h"
#include "cli/links.h"
#include "cli/lists.h"
#include "cli/options.h"
#include "cli/reporter.h"
#include "cli/station.h"
#include "cli/terminal_environment.h"
#include "cli/unit_log.h"
#include "cli/units.h"
#include "image/image_source.h"
#include "util/json_text.h"

namespace {

// The stop signal that arrived (SIGINT or SIGTERM), 0 while none did.
volatile std::sig_atomic_t stopSignal = 0;

// What every event's "t" counts from.
const Reporter::Clock::time_point programStart = Reporter::Clock::now();

void PrintVersion(bool json) {
  BuiltInImageSource builtIn;
  const auto image = builtIn.OpenImage();
  if (json) {
    std::string members = "{\"schema\":" + std::to_string(kJsonSchema) +
                          ",\"version\":" + JsonString(MORVIX_VERSION) +
                          ",\"builtInImage\":{\"name\":" + JsonString(builtIn.Name());
    if (image) {
      members += ",\"size\":" + std::to_string(image->Size()) +
                 ",\"demo\":" + (IsDemoImage(*image) ? "true" : "false");
    }
    std::printf("%s}}\n", members.c_str());
    return;
  }
  const std::string what = !image ? "cannot be loaded"
                           : IsDemoImage(*image)
                               ? std::to_string(image->Size()) +
                                     " bytes, the DEMO image: it only updates a simulated PLC"
                               : std::to_string(image->Size()) + " bytes, firmware";
  std::printf("morvix-fwupdate-cli %s\nbuilt-in image: %s (%s)\n", MORVIX_VERSION,
              builtIn.Name().c_str(), what.c_str());
}

struct ImageFile {
  std::vector<uint8_t> bytes;
  uint64_t size = 0;
  std::string error;  // why it is a usage error; empty when it is not
};

// Only a regular file is read, and only once its size is known to fit the
// model: a FIFO without a writer would hang the read, /dev/zero would never
// end, and a file of gigabytes would be read only to be refused. A file
// over the limit is left unread; the burn refuses it by its size.
ImageFile LoadImageFile(const std::string& path, uint64_t limit) {
  namespace fs = std::filesystem;
  std::error_code error;
  const fs::file_status status = fs::status(path, error);
  if (error || !fs::exists(status)) return {{}, 0, "cannot read the image file " + path};
  if (!fs::is_regular_file(status)) {
    return {{}, 0, "the image " + path + " is not a regular file"};
  }
  ImageFile image{{}, fs::file_size(path, error), ""};
  if (error) return {{}, 0, "cannot read the image file " + path};
  if (image.size > limit) return image;
  // Read through istream::read, which turns a failing read into badbit; a
  // stream buffer iterator lets it escape as an exception.
  std::ifstream file(path, std::ios::binary);
  image.bytes.resize(static_cast<size_t>(image.size));
  if (!file.read(reinterpret_cast<char*>(image.bytes.data()),
                 static_cast<std::streamsize>(image.bytes.size()))) {
    return {{}, 0, "cannot read the image file " + path};
  }
  return image;
}

int Usage(const std::string& error) {
  std::fprintf(stderr, "morvix-fwupdate-cli: %s\n(--help shows the options)\n", error.c_str());
  return kExitUsage;
}

// `boardLines`: the units whose lines stand in one block, 0 for the
// display of one unit.
Reporter::Settings DisplaySettings(const CliOptions& options, size_t boardLines) {
  Reporter::Settings settings;
  // The block of several units' lines is redrawn in place only while it
  // fits the terminal; quiet, only the last words are said, as lines.
  const bool terminal =
      IsTerminal(stdout) &&
      (boardLines == 0 || (!options.quiet && static_cast<int>(boardLines) < TerminalRows(stdout)));
  settings.mode = options.json ? Reporter::Mode::kJson
                  : terminal   ? Reporter::Mode::kTerminal
                               : Reporter::Mode::kPlain;
  settings.quiet = options.quiet;
  settings.verbose = options.verbose;
  settings.verdictFollows = options.verify;
  settings.columns = TerminalColumns(stdout);
  settings.origin = programStart;
  return settings;
}

// A run refused before any unit started, other than for usage (--usb all
// with no USB PLC attached): said and recorded as a failed unit is.
int RefusedRun(const CliOptions& options, const UnitPlan& plan, const ImageSource& image,
               const ImageDigest& digest, UnitLog* log, const std::string& host,
               const std::string& model) {
  const Reporter::Settings display = DisplaySettings(options, 0);
  Reporter reporter(std::cout, std::cerr, display);
  reporter.Result("ERROR", plan.error, plan.errorStatus, plan.diagnosis);
  int status = plan.errorStatus;
  if (log != nullptr) {
    UnitRecord record;
    record.time = std::chrono::system_clock::now();
    record.host = host;
    record.unit = "USB";
    record.model = model;
    record.image = image.Name();
    record.size = digest.size;
    record.sha256 = digest.sha256;
    record.outcome = "failure";
    record.caption = "ERROR";
    record.message = plan.error;
    record.exitStatus = status;
    record.diagnosis = plan.diagnosis;
    status = AppendRecord(*log, record, options.log, reporter);
  }
  // The summary of several units, of none.
  Reporter(std::cout, std::cerr, display)
      .Answer("summary",
              "\"units\":[],\"succeeded\":0,\"failed\":0,\"interrupted\":0,\"exit\":" +
                  std::to_string(status),
              "0 of 0 units updated.\n");
  return status;
}

int Info(const CliOptions& options, const ModelRules& model, const UnitTarget& target,
         WireTrace* trace) {
  Reporter reporter(std::cout, std::cerr, DisplaySettings(options, 0));
  CancelToken cancel;
  int status = kExitBurnFailed;
  const InfoSetup setup{
      model, LinksFor(target, model, 0), ComPortOf(target), PortLabel(target), reporter, trace,
      cancel};
  RunWatched([&] { status = ShowPlcInfo(setup); }, [&] { cancel.Request(); }, [] {},
             [] { return static_cast<int>(stopSignal); });
  if (!cancel.Requested()) return status;
  const int stopped = stopSignal == SIGTERM ? kExitTerminated : kExitInterrupted;
  reporter.Result("ERROR", "Interrupted: the link is closed, the PLC is as it was", stopped);
  return stopped;
}

}  // namespace

int main(int argc, char** argv) {
  const ParsedOptions parsed = ParseOptions(std::vector<std::string>(argv + 1, argv + argc));
  if (!parsed.options) return Usage(parsed.error);
  const CliOptions& options = *parsed.options;
  if (options.help) {
    std::fputs(UsageText().c_str(), stdout);
    return kExitSuccess;
  }
  if (options.version) {
    PrintVersion(options.json);
    return kExitSuccess;
  }
  if (options.listModels) {
    ListModels(std::cout, options.json);
    return kExitSuccess;
  }
  if (options.listPorts) {
    ListPorts(std::cout, options.json);
    return kExitSuccess;
  }
  if (options.doctor) {
    Reporter reporter(std::cout, std::cerr, DisplaySettings(options, 0));
    return ReportBenchChecks(CheckBench(), reporter, options.json);
  }

  const ModelChoice choice = ChooseModel(options);
  if (choice.model.empty()) return Usage(choice.error);
  const ModelRules& model = ModelAt(*FindModel(choice.model));
  if (const std::string error = FilesError(options); !error.empty()) return Usage(error);
  const UnitPlan plan = PlanUnits(options, model);
  if (plan.errorStatus == kExitUsage) return Usage(plan.error);
  // The trace replaces a file: only once nothing else can refuse the run.
  std::ofstream traceFile;
  std::unique_ptr<WireTrace> trace;
  const auto openTrace = [&] {
    if (options.trace.empty()) return true;
    traceFile.open(options.trace, std::ios::trunc);
    trace = std::make_unique<WireTrace>(traceFile);
    return static_cast<bool>(traceFile);
  };
  // --info names no units with --usb, the one way to a plan refused other
  // than for usage.
  if (options.info) {
    if (!openTrace()) return Usage("cannot write the trace file " + options.trace);
    CatchStopSignals([](int signal) { stopSignal = signal; });
    return Info(options, model, plan.targets.front(), trace.get());
  }

  std::unique_ptr<ImageSource> image = std::make_unique<BuiltInImageSource>();
  if (!options.image.empty()) {
    ImageFile file = LoadImageFile(options.image, SizeLimitOf(choice.model).bytes);
    if (!file.error.empty()) return Usage(file.error);
    image = std::make_unique<MemoryImageSource>(options.image, std::move(file.bytes), file.size);
  }
  // Found out only after phase 1, with the PLC already in its loader, a
  // prompt nobody can answer would leave it there.
  const bool asks = ReconnectStepOf(model.reconnect).prompt != nullptr;
  const bool promptsWait = asks && !options.yes && !options.simulate;
  if (promptsWait && !IsTerminal(stdin)) {
    return Usage(choice.model +
                 " asks the operator to replug or power-cycle the PLC between the phases, and "
                 "standard input is no terminal to answer on: give --yes");
  }
  std::unique_ptr<UnitLog> log;
  if (!options.log.empty()) {
    log = UnitLog::Open(options.log);
    if (!log) return Usage("cannot append to the log file " + options.log);
  }
  const std::string host = options.hostName.empty() ? HostName() : options.hostName;
  const ImageDigest digest = DigestOf(*image);
  if (!plan.error.empty()) {
    return RefusedRun(options, plan, *image, digest, log.get(), host, model.name);
  }
  if (!openTrace()) return Usage("cannot write the trace file " + options.trace);

  CatchStopSignals([](int signal) { stopSignal = signal; });
  const char* allowDemo = std::getenv("MORVIX_ALLOW_DEMO_IMAGE");
  const RunShared shared{
      options,
      model,
      *image,
      digest,
      options.simulate || (allowDemo != nullptr && std::string(allowDemo) == "1"),
      std::cin,
      std::cout,
      std::cerr,
      trace.get(),
      log.get(),
      [] { return static_cast<int>(stopSignal); },
      host};
  if (options.station) {
    // The bell rings on the terminal, never into a log or a JSON stream.
    std::ostream* bell = IsTerminal(stdout) && !options.json ? &std::cout
                         : IsTerminal(stderr)                ? &std::cerr
                                                             : nullptr;
    return RunStation(shared, DisplaySettings(options, 0), bell);
  }
  if (plan.several) {
    return RunUnits(shared, plan.targets, DisplaySettings(options, plan.targets.size()),
                    promptsWait, EchoesInput(stdin));
  }
  Reporter::Settings display = DisplaySettings(options, 0);
  display.label = options.label;
  UnitRun unit(shared, plan.targets.front(), display, nullptr);
  UnitEnd end;
  RunWatched([&] { end = unit.Burn(); }, [&] { unit.Stop(); }, [&] { unit.Tick(); },
             shared.stopSignal);
  return end.exitStatus;
}
