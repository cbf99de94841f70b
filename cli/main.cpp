// morvix-fwupdate-cli: the window's burn from a terminal.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <thread>

#include "burn/burn.h"
#include "catalogue/model_table.h"
#include "cli/info.h"
#include "cli/links.h"
#include "cli/lists.h"
#include "cli/options.h"
#include "cli/reporter.h"
#include "cli/terminal_environment.h"
#include "image/image_source.h"
#include "util/sha256.h"

namespace {

// The stop signal that arrived (SIGINT or SIGTERM), 0 while none did.
volatile std::sig_atomic_t stopSignal = 0;

void PrintVersion() {
  BuiltInImageSource builtIn;
  const auto image = builtIn.OpenImage();
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

struct ImageDigest {
  uint64_t size = 0;
  std::string sha256;  // empty when the image cannot be read whole
};

// What is about to be written, named by its contents.
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

// The message of a stop, said once the burn has closed its link.
std::string StopMessage(const TerminalEnvironment& environment, const BurnResult& result) {
  const std::string after =
      "the PLC may now be in its loader, and the next run continues in phase 2";
  if (environment.PromptUnanswered()) {
    return "No answer to the prompt (end of input): the burn is aborted; " + after;
  }
  return "Interrupted in " + Whereabouts(result.phase) + ": the link is closed; " + after;
}

// Runs `work` on a thread of its own; this one keeps the elapsed-time
// timer's tick and turns a stop signal into a request to stop, and the work
// is given the time to close its link.
template <typename Work, typename Tick>
void RunWatched(Work work, CancelToken& cancel, Tick tick) {
  std::atomic<bool> done{false};
  std::thread worker([&] {
    work();
    done = true;
  });
  using Clock = std::chrono::steady_clock;
  auto nextSecond = Clock::now() + std::chrono::seconds(1);
  while (!done) {
    if (stopSignal != 0) cancel.Request();
    if (Clock::now() >= nextSecond) {
      tick();
      nextSecond += std::chrono::seconds(1);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  worker.join();
}

// What a run that talks to a PLC needs, burn or --info alike.
struct Run {
  const CliOptions& options;
  const ModelRules& model;
  Reporter reporter;
  std::string portLabel;
  std::ofstream traceFile;
  std::unique_ptr<WireTrace> trace;
  CancelToken cancel;

  Run(const CliOptions& options, const ModelRules& model)
      : options(options),
        model(model),
        reporter(std::cout, std::cerr, DisplaySettings(options)),
        portLabel(options.simulate                                       ? "simulated PLC"
                  : model.link == LinkKind::kUsb && options.port.empty() ? "USB"
                                                                         : options.port) {}

  static Reporter::Settings DisplaySettings(const CliOptions& options) {
    Reporter::Settings settings;
    settings.mode = options.json         ? Reporter::Mode::kJson
                    : IsTerminal(stdout) ? Reporter::Mode::kTerminal
                                         : Reporter::Mode::kPlain;
    settings.quiet = options.quiet;
    settings.verbose = options.verbose;
    settings.columns = TerminalColumns(stdout);
    return settings;
  }

  // False, with the reason on standard error, when the trace file cannot be written.
  bool OpenTrace() {
    if (options.trace.empty()) return true;
    traceFile.open(options.trace, std::ios::trunc);
    if (!traceFile) return false;
    trace = std::make_unique<WireTrace>(traceFile);
    return true;
  }

  LinkSource Links(uint64_t imageSize) const {
    const bool usb = model.link == LinkKind::kUsb;
    return options.simulate
               ? SimulatedLinks(model.name,
                                static_cast<uint32_t>(std::min<uint64_t>(imageSize, UINT32_MAX)))
               : PlcLinks(usb ? options.port : "");
  }
};

int Burn(Run& run, ImageSource& image) {
  const CliOptions& options = run.options;
  const ImageDigest digest = DigestOf(image);
  run.reporter.Start(run.model.name, image.Name(), digest.size, digest.sha256, run.portLabel);
  TerminalEnvironment environment({run.reporter, std::cin, options.yes || options.simulate,
                                   run.Links(digest.size), options.port, run.cancel, run.model,
                                   run.portLabel, run.trace.get()});
  const char* allowDemo = std::getenv("MORVIX_ALLOW_DEMO_IMAGE");
  const BurnInputs inputs{
      run.model,   image,
      environment, environment,
      run.cancel,  options.simulate || (allowDemo != nullptr && std::string(allowDemo) == "1")};
  environment.ShowStart();
  BurnResult result;
  RunWatched([&] { result = StartBurn(inputs); }, run.cancel, [&] { environment.Tick(); });
  if (result.outcome != BurnOutcome::kCancelled) return ExitStatusOf(result);
  const int status = environment.PromptUnanswered() ? kExitBurnFailed
                     : stopSignal == SIGTERM        ? kExitTerminated
                                                    : kExitInterrupted;
  run.reporter.Result("ERROR", StopMessage(environment, result), status);
  return status;
}

int Info(Run& run) {
  int status = kExitBurnFailed;
  const InfoSetup setup{run.model,    run.Links(0),    run.options.port, run.portLabel,
                        run.reporter, run.trace.get(), run.cancel};
  RunWatched([&] { status = ShowPlcInfo(setup); }, run.cancel, [] {});
  if (!run.cancel.Requested()) return status;
  const int stopped = stopSignal == SIGTERM ? kExitTerminated : kExitInterrupted;
  run.reporter.Result("ERROR", "Interrupted: the link is closed, the PLC is as it was", stopped);
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
    PrintVersion();
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

  const ModelChoice choice = ChooseModel(options);
  if (choice.model.empty()) return Usage(choice.error);
  const ModelRules& model = ModelAt(*FindModel(choice.model));
  if (model.link == LinkKind::kCom && options.port.empty() && !options.simulate) {
    return Usage(choice.model +
                 " is a COM model: give its serial port with --port "
                 "(--list-ports shows them)");
  }
  Run run(options, model);
  if (!run.OpenTrace()) return Usage("cannot write the trace file " + options.trace);
  if (options.info) {
    CatchStopSignals([](int signal) { stopSignal = signal; });
    return Info(run);
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
  if (asks && !options.yes && !options.simulate && !IsTerminal(stdin)) {
    return Usage(choice.model +
                 " asks the operator to replug or power-cycle the PLC between the phases, and "
                 "standard input is no terminal to answer on: give --yes");
  }

  CatchStopSignals([](int signal) { stopSignal = signal; });
  return Burn(run, *image);
}
