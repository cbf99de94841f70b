// The command line of morvix-fwupdate-cli.
#pragma once

#include <optional>
#include <string>
#include <vector>

struct CliOptions {
  std::string model;  // empty: from the image's name
  std::string image;  // empty: the built-in image
  // --port, as often as given: the units on serial ports (one, for a USB
  // model: its device path).
  std::vector<std::string> ports;
  // --usb, as often as given: "all", or the USB locations of the units.
  std::vector<std::string> usb;
  std::string trace;  // --trace: the file the wire is recorded in
  std::string log;    // --log: the file every finished unit's record is appended to
  bool yes = false;
  bool json = false;
  bool verbose = false;
  bool quiet = false;
  bool info = false;
  bool station = false;  // one PLC after another, until Ctrl-C
  bool simulate = false;
  // --verify: after a successful update, ask the PLC whether it runs its
  // application again, for up to --verify-timeout seconds.
  bool verify = false;
  int verifyTimeoutSeconds = 60;
  bool listModels = false;
  bool listPorts = false;
  bool help = false;
  bool version = false;
};

// Exit statuses a script can rely on.
enum ExitStatus : int {
  kExitSuccess = 0,
  kExitBurnFailed = 1,     // the burn ended with an error after the link opened; of several
                           // units, any that did not succeed
  kExitUsage = 2,          // unknown option or model, unreadable image file
  kExitImageRefused = 3,   // the image does not fit the model
  kExitLinkNotOpened = 4,  // the port or the USB PLC could not be opened
  kExitNotVerified = 5,    // --verify: written, but the PLC did not confirm it runs the firmware
  kExitInterrupted = 130,  // Ctrl-C (SIGINT)
  kExitTerminated = 143,   // SIGTERM
};

struct ParsedOptions {
  std::optional<CliOptions> options;  // empty on a usage error
  std::string error;
};

ParsedOptions ParseOptions(const std::vector<std::string>& args);
std::string UsageText();

// The model a burn is for: --model, else the image file name's text before
// its first '_', else the built-in image's model. Empty with `error` set
// when none of these names a model.
struct ModelChoice {
  std::string model;
  std::string error;
};
ModelChoice ChooseModel(const CliOptions& options);
