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
#include "burn/image.h"
#include "catalogue/model_table.h"
#include "cli/links.h"
#include "cli/options.h"
#include "cli/reporter.h"
#include "cli/terminal_environment.h"

namespace {

volatile std::sig_atomic_t interrupted = 0;

const char* RuleName(EraseRule rule) {
  static const char* const kNames[] = {"E1", "E2", "E3", "E4", "E5", "E6"};
  return kNames[static_cast<int>(rule)];
}
const char* RuleName(BlockRule rule) {
  static const char* const kNames[] = {"B1", "B2", "B3"};
  return kNames[static_cast<int>(rule)];
}
const char* RuleName(ReconnectRule rule) {
  static const char* const kNames[] = {"R1 replug, 2 s", "R2 replug, 5 s", "R3 power cycle",
                                       "R4 keeps link"};
  return kNames[static_cast<int>(rule)];
}
const char* RuleName(LoaderIdRule rule) {
  static const char* const kNames[] = {"L1", "L2", "L3"};
  return kNames[static_cast<int>(rule)];
}

void ListModels() {
  std::printf("%-14s %-4s %-6s %9s %-5s %-6s %-15s %s\n", "MODEL", "LINK", "ID", "LIMIT", "ERASE",
              "BLOCKS", "RECONNECT", "LOADER-ID");
  for (int i = 0; i < kModelCount; ++i) {
    const std::string_view name = ModelName(i);
    const BlockPlan plan = BlockPlanOf(name, 0);
    std::printf("%-14s %-4s 0x%04X %9u %-5s %-2s/%-3u %-15s %s\n", plcList[i],
                IsUsbModel(name) ? "USB" : "COM", plcID[i], SizeLimitOf(name).bytes,
                RuleName(EraseRuleOf(name)), RuleName(BlockRuleOf(name)), plan.dataBytes,
                RuleName(ReconnectRuleOf(name)), RuleName(LoaderIdRuleOf(name, plcID[i])));
  }
}

void PrintVersion() {
  const bool open = OpenImage();
  const std::string what =
      !open ? "cannot be loaded"
      : OpenImageIsDemo()
          ? std::to_string(fileLength) + " bytes, the DEMO image: it only updates a simulated PLC"
          : std::to_string(fileLength) + " bytes, firmware";
  std::printf("morvix-fwupdate-cli %s\nbuilt-in image: %.*s (%s)\n", MORVIX_VERSION,
              static_cast<int>(BuiltInImageName().size()), BuiltInImageName().data(), what.c_str());
  CloseFile();
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

int Burn(const CliOptions& options, const std::string& model, const std::string& imageName) {
  SelectModel(*FindModel(model));
  const std::string port = options.port;
  SetSelectedComPort(port);

  const Reporter::Mode mode = options.json         ? Reporter::Mode::kJson
                              : IsTerminal(stdout) ? Reporter::Mode::kTerminal
                                                   : Reporter::Mode::kPlain;
  Reporter reporter(std::cout, mode);
  OpenImage();
  const uint64_t imageSize = fileLength;
  CloseFile();
  const bool usb = IsUsbModel(model);
  reporter.Start(model, imageName, imageSize,
                 options.simulate      ? "simulated PLC"
                 : usb && port.empty() ? "USB"
                                       : port);

  LinkSource links =
      options.simulate
          ? SimulatedLinks(model, static_cast<uint32_t>(std::min<uint64_t>(imageSize, UINT32_MAX)))
          : PlcLinks(usb ? port : "");
  TerminalEnvironment environment(reporter, std::cin, options.yes || options.simulate,
                                  std::move(links));
  ClaimBurn();
  paramStruct.environment = &environment;
  const char* allowDemo = std::getenv("MORVIX_ALLOW_DEMO_IMAGE");
  paramStruct.demoImageAllowed =
      options.simulate || (allowDemo != nullptr && std::string(allowDemo) == "1");
  std::atomic<bool> done{false};
  std::thread burn([&] {
    StartBurn(&paramStruct);
    done = true;
  });

  using Clock = std::chrono::steady_clock;
  auto nextSecond = Clock::now() + std::chrono::seconds(1);
  while (!done) {
    if (interrupted) {
      reporter.Result("ERROR",
                      "Interrupted in " + environment.Whereabouts() +
                          ": the link is closed; the PLC may now be in its loader, and the next "
                          "run continues in phase 2",
                      kExitInterrupted);
      std::_Exit(kExitInterrupted);  // closes the link with the process
    }
    if (Clock::now() >= nextSecond) {
      environment.TickElapsedTimer();
      nextSecond += std::chrono::seconds(1);
    }
    reporter.Update(ReadStatus());
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  burn.join();
  return environment.ExitStatus();
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
  std::string imageName(BuiltInImageName());
  if (!options.image.empty()) {
    ImageFile image = LoadImageFile(options.image, SizeLimitOf(choice.model).bytes);
    if (!image.error.empty()) return Usage(image.error);
    UseImageFile(std::move(image.bytes), image.size);
    imageName = options.image;
  }
  if (!IsUsbModel(choice.model) && options.port.empty() && !options.simulate) {
    return Usage(choice.model +
                 " is a COM model: give its serial port with --port "
                 "(--list-ports shows them)");
  }

  std::signal(SIGINT, [](int) { interrupted = 1; });
  return Burn(options, choice.model, imageName);
}
