// SPDX-License-Identifier: MIT
#include "cli/options.h"

#include <algorithm>
#include <filesystem>

#include "catalogue/model_table.h"
#include "image/image_source.h"
#include "util/same_device.h"
#include "util/text.h"

namespace {

// What is wrong with the units the options name, whatever the model; empty
// when nothing is.
std::string UnitsError(const CliOptions& options) {
  const auto& ports = options.ports;
  const auto& usb = options.usb;
  if (!ports.empty() && !usb.empty()) {
    return "--port and --usb together: give the units one way (--port for a COM model, --usb for "
           "a USB model)";
  }
  const bool all = std::find(usb.begin(), usb.end(), "all") != usb.end();
  if (all && usb.size() > 1) return "--usb all takes every USB PLC: give no other --usb";
  for (auto it = usb.begin(); it != usb.end(); ++it) {
    if (std::find(usb.begin(), it, *it) != it) return *it + " is given twice";
  }
  // Under --simulate a port name is only the label of a simulated PLC.
  for (auto it = ports.begin(); it != ports.end(); ++it) {
    for (auto before = ports.begin(); before != it; ++before) {
      if (*before == *it) return *it + " is given twice";
      if (!options.simulate && SameDevice(*before, *it)) {
        return *before + " and " + *it + " are the same port: give each port once";
      }
    }
  }
  // Silently left out, a --port would read as "the port was checked".
  if (options.doctor &&
      (!ports.empty() || !usb.empty() || !options.image.empty() || options.info ||
       options.station || options.simulate || !options.trace.empty() || !options.log.empty())) {
    return "--doctor checks the whole bench and talks to no PLC: give it no port, image or "
           "other action";
  }
  const bool several = ports.size() > 1 || !usb.empty();
  if (options.info && options.station) {
    return "--info reads one PLC and changes nothing, --station updates one PLC after another: "
           "give one of them";
  }
  if (options.info && several) {
    return "--info reads one PLC: give one --port (or none, for the USB PLC)";
  }
  if (options.station && (ports.size() > 1 || usb.size() > 1 || all)) {
    return "--station takes each PLC as it comes: give one --port for a COM model; for a USB "
           "model none, or one --usb LOCATION to take only the PLCs attached there";
  }
  if (options.station && options.simulate) {
    return "--station waits for PLCs to be attached, which a simulated PLC never is";
  }
  if (all && options.simulate) {
    return "--simulate has no USB PLCs to find: name each unit with --usb LOCATION or --port";
  }
  if (options.verify && options.info) {
    return "--verify checks an update, and --info writes nothing: give one of them";
  }
  if (!options.trace.empty() && several) {
    return "--trace records the wire of one unit: give one --port (or none, for the USB PLC)";
  }
  if (!options.label.empty() && (several || options.station)) {
    return "--label names the one unit of a run; a station asks each unit's label with "
           "--ask-label";
  }
  if (options.askLabel && !options.station) {
    return "--ask-label asks the label of each unit of a station: give --station, or --label "
           "TEXT for one unit";
  }
  return "";
}

// The options a listing or the version uses: --json. Anything else given
// with them would be dropped without a word.
std::string AloneError(const CliOptions& options, const std::vector<std::string>& given) {
  std::vector<std::string> alone;
  for (const char* name : {"--list-models", "--list-ports", "--version"}) {
    if (std::find(given.begin(), given.end(), name) != given.end()) alone.emplace_back(name);
  }
  if (alone.empty() || options.help) return "";
  if (alone.size() > 1) return alone[0] + " and " + alone[1] + ": give one of them";
  for (const std::string& name : given) {
    if (name != alone[0] && name != "--json") {
      return alone[0] + " takes no " + name + " (only --json): give it alone";
    }
  }
  return "";
}

// A day: longer is no time-out an operator waits for.
constexpr int kLongestVerifyTimeout = 86400;

std::optional<int> VerifyTimeoutOf(const std::string& text) {
  if (text.empty() || text.size() > 5 ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    return std::nullopt;
  }
  const int seconds = std::stoi(text);
  if (seconds < 1 || seconds > kLongestVerifyTimeout) return std::nullopt;
  return seconds;
}

}  // namespace

ParsedOptions ParseOptions(const std::vector<std::string>& args) {
  CliOptions options;
  std::string verifyTimeout;
  // An option that names units (--port, --usb) keeps every value, in order;
  // any other value is given once: a second one would silently win.
  struct Valued {
    const char* name;
    std::string* value;
    std::vector<std::string>* values;
  };
  const Valued valued[] = {
      {"--model", &options.model, nullptr},         {"--image", &options.image, nullptr},
      {"--port", nullptr, &options.ports},          {"--usb", nullptr, &options.usb},
      {"--trace", &options.trace, nullptr},         {"--log", &options.log, nullptr},
      {"--label", &options.label, nullptr},         {"--host-name", &options.hostName, nullptr},
      {"--verify-timeout", &verifyTimeout, nullptr}};
  struct Flag {
    const char* name;
    bool* value;
  };
  const Flag flags[] = {{"--yes", &options.yes},
                        {"--json", &options.json},
                        {"--simulate", &options.simulate},
                        {"--info", &options.info},
                        {"--doctor", &options.doctor},
                        {"--station", &options.station},
                        {"--verify", &options.verify},
                        {"--ask-label", &options.askLabel},
                        {"--verbose", &options.verbose},
                        {"-v", &options.verbose},
                        {"--quiet", &options.quiet},
                        {"-q", &options.quiet},
                        {"--list-models", &options.listModels},
                        {"--list-ports", &options.listPorts},
                        {"--help", &options.help},
                        {"-h", &options.help},
                        {"--version", &options.version}};

  std::vector<std::string> given;  // the options' names, as they came
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    bool known = false;
    for (const Flag& flag : flags) {
      if (arg == flag.name) {
        *flag.value = true;
        known = true;
        given.push_back(arg);
      }
    }
    for (const Valued& option : valued) {
      const std::string name = option.name;
      std::string value;
      if (arg == name) {
        if (i + 1 >= args.size()) return {std::nullopt, name + " needs a value"};
        value = args[++i];
      } else if (arg.rfind(name + "=", 0) == 0) {
        value = arg.substr(name.size() + 1);
      } else {
        continue;
      }
      // An empty value would silently mean "not given" (the default model,
      // the built-in image, the USB search): say so instead.
      if (value.empty()) return {std::nullopt, name + " needs a value"};
      if (option.values != nullptr) {
        option.values->push_back(std::move(value));
      } else if (!option.value->empty()) {
        return {std::nullopt, name + " is given twice: give it once"};
      } else {
        *option.value = std::move(value);
      }
      given.push_back(name);
      known = true;
    }
    if (!known) return {std::nullopt, "unknown option: " + arg};
  }
  if (!verifyTimeout.empty()) {
    const std::optional<int> seconds = VerifyTimeoutOf(verifyTimeout);
    if (!seconds) {
      return {std::nullopt, "--verify-timeout takes whole seconds from 1 to " +
                                std::to_string(kLongestVerifyTimeout) + ", not " + verifyTimeout};
    }
    if (!options.verify) return {std::nullopt, "--verify-timeout needs --verify"};
    options.verifyTimeoutSeconds = *seconds;
  }
  if (options.quiet && options.verbose) {
    return {std::nullopt, "--quiet and --verbose contradict each other"};
  }
  if (const std::string error = AloneError(options, given); !error.empty()) {
    return {std::nullopt, error};
  }
  if (!options.label.empty()) {
    if (const std::string error = LabelError(options.label); !error.empty()) {
      return {std::nullopt, "--label: " + error};
    }
  }
  if (const std::string error = UnitsError(options); !error.empty()) return {std::nullopt, error};
  return {options, ""};
}

std::string FilesError(const CliOptions& options) {
  struct Named {
    const char* option;
    const std::string& path;
  };
  const Named files[] = {
      {"--image", options.image}, {"--trace", options.trace}, {"--log", options.log}};
  for (size_t i = 0; i < std::size(files); ++i) {
    for (size_t j = i + 1; j < std::size(files); ++j) {
      if (files[i].path.empty() || files[j].path.empty()) continue;
      if (SameDevice(files[i].path, files[j].path)) {
        return std::string(files[i].option) + " " + files[i].path + " and " + files[j].option +
               " " + files[j].path + " are the same file, and " + files[j].option +
               " would write over it: give " + files[j].option + " a file of its own";
      }
    }
  }
  namespace fs = std::filesystem;
  for (const Named& file : {files[1], files[2]}) {
    if (file.path.empty()) continue;
    std::error_code error;
    const fs::file_status status = fs::status(file.path, error);
    if (!fs::exists(status) || fs::is_regular_file(status)) continue;
    const std::string what = fs::is_directory(status) ? "a folder"
                             : fs::is_fifo(status)    ? "a FIFO"
                             : fs::is_character_file(status) || fs::is_block_file(status)
                                 ? "a device"
                                 : "no regular file";
    return std::string(file.option) + " " + file.path + " is " + what + ": give " + file.option +
           " a regular file, or the name of a new one";
  }
  return "";
}

std::string LabelError(const std::string& label) {
  constexpr size_t kLongest = 100;
  constexpr char kGroupSeparator = 0x1D;
  if (label.empty()) return "a label cannot be empty";
  size_t characters = 0;
  for (size_t at = 0; at < label.size(); ++characters) {
    const size_t length = Utf8SequenceAt(label, at);
    if (length == 0) return "a label is UTF-8 text, and this one has other bytes in it";
    const auto first = static_cast<unsigned char>(label[at]);
    const bool c0 = first < 0x20 && label[at] != kGroupSeparator;
    const bool c1 =
        length == 2 && first == 0xC2 && static_cast<unsigned char>(label[at + 1]) < 0xA0;
    if (c0 || first == 0x7F || c1) {
      return "a label has no control characters (only the group separator 0x1D of a GS1 "
             "scanner), and this one has " +
             PrintableText(label.substr(at, length));
    }
    at += length;
  }
  if (characters > kLongest) {
    return "a label is at most 100 characters, and this one has " + std::to_string(characters);
  }
  return "";
}

int StrongestExitStatus(int a, int b) {
  // Strongest first; a stop signal's status is not in the list and beats it.
  constexpr int kOrder[] = {kExitUsage,      kExitImageRefused, kExitLinkNotOpened,
                            kExitBurnFailed, kExitNotVerified,  kExitNotRecorded,
                            kExitSuccess};
  const auto rank = [&](int status) {
    const auto at = std::find(std::begin(kOrder), std::end(kOrder), status);
    return at == std::end(kOrder) ? -1 : static_cast<int>(at - std::begin(kOrder));
  };
  return rank(a) <= rank(b) ? a : b;
}

ModelChoice ChooseModel(const CliOptions& options) {
  if (!options.model.empty()) {
    if (!FindModel(options.model)) {
      return {"", "unknown model: " + options.model + " (--list-models shows the 32 models)"};
    }
    // A file named for another model is the wrong firmware for this PLC.
    const std::string name = std::filesystem::path(options.image).filename().string();
    const std::string prefix = name.substr(0, name.find('_'));
    if (!options.image.empty() && name.find('_') != std::string::npos && FindModel(prefix) &&
        prefix != options.model) {
      return {"", "--model " + options.model + ", but the image file " + name + " is for " +
                      prefix + "; give the image for " + options.model + ", or no --model"};
    }
    return {options.model, ""};
  }
  if (!options.image.empty()) {
    const std::string name = std::filesystem::path(options.image).filename().string();
    const std::string prefix = name.substr(0, name.find('_'));
    if (name.find('_') != std::string::npos && FindModel(prefix)) return {prefix, ""};
    return {"", "the image file name " + name +
                    " does not start with a model name and '_'; give the model with --model"};
  }
  const std::string builtIn(DefaultModelName());
  if (FindModel(builtIn)) return {builtIn, ""};
  return {"", "the built-in image names no model; give one with --model"};
}

std::string UsageText() {
  return R"(Usage: morvix-fwupdate-cli [options]

Writes a firmware image into a Morvix PLC, the same update as the window's
"Start Burn": phase 1 talks the PLC into its loader, phase 2 erases the flash
and writes the image in CRC-checked blocks.

Options:
  --model NAME    the PLC model, one of --list-models (default: the image
                  file name's text before its first '_', else the built-in
                  image's model)
  --image FILE    burn this image file instead of the built-in image; it is
                  read whole before the burn starts
  --port PORT     the serial port of a COM model (COM3, /dev/ttyUSB0); for a
                  USB model, the device to use as the PLC's USB link instead
                  of finding it (the same path is opened again after the
                  replug prompt). Given more than once (COM models), every
                  port is a unit of its own, all updated at the same time
  --usb LOCATION  a USB model's PLC at this USB location (1-1.2, as shown
                  by --list-ports), reopened there after the replug whatever
                  the system calls it then; more than once for several PLCs
                  at the same time, or "all" for every USB PLC attached
  --station       one PLC after another: wait for a PLC (attached on USB, at
                  one --usb LOCATION if given, or answering on --port),
                  update it, say the outcome and ring the bell, wait for it
                  to be removed (USB) or for Enter, and again; Ctrl-C ends
                  the day with its counts
  --log FILE      append one JSON line per finished unit to FILE: time,
                  host, unit, label, serial, model, image, size, SHA-256,
                  outcome, message, seconds and retry counters; the image,
                  --trace and --log must be three different files
  --label TEXT    the operator's label of the one unit of this run (a serial
                  or order number, at most 100 characters), in its record
                  and its JSON events
  --ask-label     in station mode, ask each unit's label before it (a
                  barcode scanner types it and Enter)
  --host-name NAME  the station's name in the records (default: the
                  machine's name)
  --yes           answer the replug and power-cycle prompts without waiting
                  for Enter (the waits before reopening still happen)
  --verify        after a successful update, wait for the PLC to run its
                  application again and ask it what --info asks (nothing
                  else is sent): a COM model's port is reopened and asked,
                  a USB PLC is asked once it has been replugged (seen gone
                  and back at its location), a KR2-C or PW2-CAR after the
                  power-cycle prompt. The last line is then "Verified: ..."
                  or "NOT verified: ..."; a unit passes only when verified
  --verify-timeout S
                  how long --verify waits for the PLC (default 60 seconds;
                  after the power-cycle prompt is answered)
  --info          read what the PLC is (firmware running, identity code and
                  model, variant registers, loader version) without writing
                  anything; nothing is erased, the PLC is not restarted
  --doctor        check the bench without opening a port or touching a PLC:
                  who may open each port, the udev rule, ModemManager,
                  brltty, programs holding a port, the USB PLCs attached,
                  FTDI latency; one line per check, "ok", "advice" or
                  "problem", with the command that mends it (--json: one
                  "check" event each)
  --json          one JSON object per line on stdout for every event
  --trace FILE    record every byte sent and received, with its time in
                  microseconds, its direction and its exchange, in FILE
  --verbose, -v   every exchange and retry on standard error
  --quiet, -q     only the final line (a prompt that waits is still shown)
  --simulate      burn a simulated PLC of the model instead of real hardware
  --list-models   the 32 models and their rules, with a legend of the rule
                  codes (--json: one JSON object)
  --list-ports    the serial ports and, if present, the USB PLC (--json: one
                  JSON object)
  --version       the version and the built-in image's name and size
  --help          this text

Standard output carries the display and, last, the final line: every message
box of the window becomes one line "CAPTION: text", for example
"ERROR: PLC type is WRONG" or "INFORMATION: Firmware update is SUCCESSFUL";
with --verify, a successful update's last line is the verdict instead:
"Verified: ..." or, after its "Why:" and "What to do:", "NOT verified: ...".
Before a failure's line, standard error says why ("Why: ...") and what to do
("What to do: ..."). A prompt waits for Enter; end of input at a prompt
aborts the burn.

Several units at once show one status line each (lines prefixed with the
unit when not on a terminal; a "unit" member in every JSON event), ask each
prompt once for all units that wait at it, and end with a summary table.

Exit status (of several reasons, the first in the order 2, 3, 4, 1, 5, 6, 0):
  0    the update succeeded (of several units: every unit; of a station's
       day: no unit failed; --info: the PLC answered; with --doctor, no
       check found a problem)
  1    the burn ended with an error after the link was opened; of several
       units, any unit that did not succeed (--info: the PLC did not answer;
       with --doctor, a check found a problem)
  2    usage error: unknown option or model, an option given twice,
       unreadable image file, one file or port named twice
  3    the image was refused (too large or too small for the model)
  4    the link could not be opened
  5    --verify: the image was written, but the PLC did not confirm that it
       runs its application again
  6    updated, but the unit's record could not be written to --log
  130  interrupted (Ctrl-C); the PLC may be left in its loader, and the next
       run then goes straight to phase 2
  143  stopped by SIGTERM, as by Ctrl-C
)";
}
