// morvix-fwupdate-cli: the window's burn from a terminal.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
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
  std::printf("morvix-fwupdate-cli %s\nbuilt-in image: %.*s (%s)\n", MORVIX_VERSION,
              static_cast<int>(BuiltInImageName().size()), BuiltInImageName().data(),
              open ? (std::to_string(fileLength) + " bytes").c_str() : "cannot be loaded");
  CloseFile();
}

// Read through istream::read, which turns a failing read (a directory, an
// I/O error) into badbit; a stream buffer iterator lets it escape as an
// exception and the program would abort.
bool ReadImageFile(const std::string& path, std::vector<uint8_t>& bytes) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return false;
  char chunk[64 * 1024];
  while (file.read(chunk, sizeof chunk) || file.gcount() > 0) {
    bytes.insert(bytes.end(), chunk, chunk + file.gcount());
  }
  return !file.bad();
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
  const uint32_t imageSize = fileLength;
  CloseFile();
  const bool usb = IsUsbModel(model);
  reporter.Start(model, imageName, imageSize,
                 options.simulate      ? "simulated PLC"
                 : usb && port.empty() ? "USB"
                                       : port);

  LinkSource links =
      options.simulate ? SimulatedLinks(model, imageSize) : PlcLinks(usb ? port : "");
  TerminalEnvironment environment(reporter, std::cin, options.yes || options.simulate,
                                  std::move(links));
  ClaimBurn();
  paramStruct.environment = &environment;
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
    std::vector<uint8_t> bytes;
    if (!ReadImageFile(options.image, bytes)) {
      return Usage("cannot read the image file " + options.image);
    }
    UseImageFile(std::move(bytes));
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
