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
#include "cli/links.h"
#include "cli/options.h"
#include "cli/reporter.h"
#include "cli/terminal_environment.h"
#include "image/image_source.h"
#include "util/sha256.h"

namespace {

// The stop signal that arrived (SIGINT or SIGTERM), 0 while none did.
volatile std::sig_atomic_t stopSignal = 0;

void ListModels() {
  std::printf("%-14s %-4s %-6s %9s %-5s %-6s %-15s %s\n", "MODEL", "LINK", "ID", "LIMIT", "ERASE",
              "BLOCKS", "RECONNECT", "LOADER-ID");
  for (int i = 0; i < kModelCount; ++i) {
    const std::string_view name = ModelName(i);
    const BlockPlan plan = BlockPlanOf(name, 0);
    std::printf("%-14s %-4s 0x%04X %9u %-5s %-2s/%-3u %-15s %s\n", ModelAt(i).name,
                IsUsbModel(name) ? "USB" : "COM", ModelCode(i), SizeLimitOf(name).bytes,
                RuleLabel(EraseRuleOf(name)), RuleLabel(BlockRuleOf(name)), plan.dataBytes,
                RuleLabel(ReconnectRuleOf(name)), RuleLabel(LoaderIdRuleOf(name, ModelCode(i))));
  }
}

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

int Burn(const CliOptions& options, const std::string& model, ImageSource& image) {
  const Reporter::Mode mode = options.json         ? Reporter::Mode::kJson
                              : IsTerminal(stdout) ? Reporter::Mode::kTerminal
                                                   : Reporter::Mode::kPlain;
  Reporter reporter(std::cout, mode);
  const ImageDigest digest = DigestOf(image);
  const uint64_t imageSize = digest.size;
  const bool usb = IsUsbModel(model);
  const std::string& port = options.port;
  reporter.Start(model, image.Name(), imageSize, digest.sha256,
                 options.simulate      ? "simulated PLC"
                 : usb && port.empty() ? "USB"
                                       : port);

  LinkSource links =
      options.simulate
          ? SimulatedLinks(model, static_cast<uint32_t>(std::min<uint64_t>(imageSize, UINT32_MAX)))
          : PlcLinks(usb ? port : "");
  CancelToken cancel;
  TerminalEnvironment environment(reporter, std::cin, options.yes || options.simulate,
                                  std::move(links), port, cancel);
  const char* allowDemo = std::getenv("MORVIX_ALLOW_DEMO_IMAGE");
  const BurnInputs inputs{
      ModelAt(*FindModel(model)),
      image,
      environment,
      environment,
      cancel,
      options.simulate || (allowDemo != nullptr && std::string(allowDemo) == "1")};
  environment.ShowStart();
  std::atomic<bool> done{false};
  BurnResult result;
  std::thread burn([&] {
    result = StartBurn(inputs);
    done = true;
  });

  // The elapsed-time timer, and the stop signals: the burn is asked to stop
  // and given the time to close its link.
  using Clock = std::chrono::steady_clock;
  auto nextSecond = Clock::now() + std::chrono::seconds(1);
  while (!done) {
    if (stopSignal != 0) cancel.Request();
    if (Clock::now() >= nextSecond) {
      environment.Tick();
      nextSecond += std::chrono::seconds(1);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  burn.join();
  if (result.outcome != BurnOutcome::kCancelled) return ExitStatusOf(result);
  const int status = environment.PromptUnanswered() ? kExitBurnFailed
                     : stopSignal == SIGTERM        ? kExitTerminated
                                                    : kExitInterrupted;
  reporter.Result("ERROR", StopMessage(environment, result), status);
  return status;
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
    ListModels();
    return kExitSuccess;
  }
  if (options.listPorts) {
    ListPorts(std::cout);
    return kExitSuccess;
  }

  const ModelChoice choice = ChooseModel(options);
  if (choice.model.empty()) return Usage(choice.error);
  std::unique_ptr<ImageSource> image = std::make_unique<BuiltInImageSource>();
  if (!options.image.empty()) {
    ImageFile file = LoadImageFile(options.image, SizeLimitOf(choice.model).bytes);
    if (!file.error.empty()) return Usage(file.error);
    image = std::make_unique<MemoryImageSource>(options.image, std::move(file.bytes), file.size);
  }
  if (!IsUsbModel(choice.model) && options.port.empty() && !options.simulate) {
    return Usage(choice.model +
                 " is a COM model: give its serial port with --port "
                 "(--list-ports shows them)");
  }
  // Found out only after phase 1, with the PLC already in its loader, a
  // prompt nobody can answer would leave it there.
  const bool asks = ReconnectStepOf(ReconnectRuleOf(choice.model)).prompt != nullptr;
  if (asks && !options.yes && !options.simulate && !IsTerminal(stdin)) {
    return Usage(choice.model +
                 " asks the operator to replug or power-cycle the PLC between the phases, and "
                 "standard input is no terminal to answer on: give --yes");
  }

  CatchStopSignals([](int signal) { stopSignal = signal; });
  return Burn(options, choice.model, *image);
}
