// SPDX-License-Identifier: MIT
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
  std::string label;  // --label: the operator's label of the one unit (a serial, an order number)
  std::string hostName;   // --host-name: the station's name in the records; empty: the machine's
  bool askLabel = false;  // --ask-label: a station asks each unit's label before it
  bool yes = false;
  bool json = false;
  bool verbose = false;
  bool quiet = false;
  bool info = false;
  bool doctor = false;   // the bench checks; no PLC, no port opened
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
  kExitNotVerified = 5,    // written, but the PLC did not confirm what it holds
  kExitNotRecorded = 6,    // updated, but the unit's record was not written to the log
  kExitInterrupted = 130,  // Ctrl-C (SIGINT)
  kExitTerminated = 143,   // SIGTERM
};

// Of several reasons to end with, the one a script must hear first: a usage
// error, a refused image, a link not opened, a failed unit, a unit not
// verified, a record not written, success. A stop signal's status beats them all.
int StrongestExitStatus(int a, int b);

struct ParsedOptions {
  std::optional<CliOptions> options;  // empty on a usage error
  std::string error;
};

ParsedOptions ParseOptions(const std::vector<std::string>& args);

// What is wrong with the files the options name, asked before any of them
// is opened: the image, --trace and --log must be three files (else one is
// written over another), and a trace or a log a regular file or a new name
// (a FIFO without a reader would hang the start, a device swallow the
// record, a folder never open). Empty when nothing is.
std::string FilesError(const CliOptions& options);
std::string UsageText();

// The model a burn is for: --model, else the image file name's text before
// its first '_', else the built-in image's model. Empty with `error` set
// when none of these names a model.
struct ModelChoice {
  std::string model;
  std::string error;
};
ModelChoice ChooseModel(const CliOptions& options);

// Why `label` cannot be a unit's label; empty when it can. At most 100
// characters of UTF-8 and no control characters but the group separator
// (0x1D) that GS1 barcode scanners send between fields.
std::string LabelError(const std::string& label);
