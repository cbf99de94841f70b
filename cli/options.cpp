#include "cli/options.h"

#include <filesystem>

#include "catalogue/model_table.h"
#include "image/image_source.h"

ParsedOptions ParseOptions(const std::vector<std::string>& args) {
  CliOptions options;
  struct Valued {
    const char* name;
    std::string* value;
  };
  const Valued valued[] = {{"--model", &options.model},
                           {"--image", &options.image},
                           {"--port", &options.port},
                           {"--trace", &options.trace}};
  struct Flag {
    const char* name;
    bool* value;
  };
  const Flag flags[] = {{"--yes", &options.yes},
                        {"--json", &options.json},
                        {"--simulate", &options.simulate},
                        {"--info", &options.info},
                        {"--verbose", &options.verbose},
                        {"-v", &options.verbose},
                        {"--quiet", &options.quiet},
                        {"-q", &options.quiet},
                        {"--list-models", &options.listModels},
                        {"--list-ports", &options.listPorts},
                        {"--help", &options.help},
                        {"-h", &options.help},
                        {"--version", &options.version}};

  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    bool known = false;
    for (const Flag& flag : flags) {
      if (arg == flag.name) {
        *flag.value = true;
        known = true;
      }
    }
    for (const Valued& option : valued) {
      const std::string name = option.name;
      if (arg == name) {
        if (i + 1 >= args.size()) return {std::nullopt, name + " needs a value"};
        *option.value = args[++i];
      } else if (arg.rfind(name + "=", 0) == 0) {
        *option.value = arg.substr(name.size() + 1);
      } else {
        continue;
      }
      // An empty value would silently mean "not given" (the default model,
      // the built-in image, the USB search): say so instead.
      if (option.value->empty()) return {std::nullopt, name + " needs a value"};
      known = true;
    }
    if (!known) return {std::nullopt, "unknown option: " + arg};
  }
  if (options.quiet && options.verbose) {
    return {std::nullopt, "--quiet and --verbose contradict each other"};
  }
  return {options, ""};
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
                  replug prompt)
  --yes           answer the replug and power-cycle prompts without waiting
                  for Enter (the waits before reopening still happen)
  --json          one JSON object per line on stdout for every event
  --simulate      burn a simulated PLC of the model instead of real hardware
  --list-models   the 32 models and their rules
  --list-ports    the serial ports and, if present, the USB PLC
  --version       the version and the built-in image's name and size
  --help          this text

Every message box of the window becomes one line "CAPTION: text", for example
"ERROR: PLC type is WRONG" or "INFORMATION: Firmware update is SUCCESSFUL".
A prompt waits for Enter; end of input at a prompt aborts the burn.

Exit status:
  0    the update succeeded
  1    the burn ended with an error after the link was opened
  2    usage error: unknown option or model, unreadable image file
  3    the image was refused (too large or too small for the model)
  4    the link could not be opened
  130  interrupted (Ctrl-C); the PLC may be left in its loader, and the next
       run then goes straight to phase 2
)";
}
