// SPDX-License-Identifier: MIT
// The command line's options on any arguments: the input is the arguments,
// each ended by a NUL (as in argv).
// Properties: a parse gives options or an error, never both; every value
// and flag it reports was given; the model choice gives a model of the table
// or an error, never both.
#include <algorithm>
#include <string>
#include <vector>

#include "catalogue/model_table.h"
#include "cli/options.h"
#include "fuzz/fuzz_support.h"

namespace {

bool Given(const std::vector<std::string>& args, const std::string& name) {
  return std::find(args.begin(), args.end(), name) != args.end();
}

// A value comes from "NAME VALUE" or "NAME=VALUE".
bool ValueGiven(const std::vector<std::string>& args, const std::string& name,
                const std::string& value) {
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == name + "=" + value) return true;
    if (args[i] == name && i + 1 < args.size() && args[i + 1] == value) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> args;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  for (size_t start = 0; start < text.size();) {
    const size_t end = std::min(text.find('\0', start), text.size());
    args.emplace_back(text.substr(start, end - start));
    start = end + 1;
  }

  const ParsedOptions parsed = ParseOptions(args);
  Require(parsed.options.has_value() == parsed.error.empty(), "options or an error, not both");
  if (!parsed.options) return 0;
  const CliOptions& options = *parsed.options;
  for (const auto& [name, value] :
       {std::pair{"--model", &options.model}, std::pair{"--image", &options.image},
        std::pair{"--trace", &options.trace}, std::pair{"--log", &options.log},
        std::pair{"--label", &options.label}, std::pair{"--host-name", &options.hostName}}) {
    Require(value->empty() || ValueGiven(args, name, *value), "every value was given");
  }
  Require(options.label.empty() || LabelError(options.label).empty(), "a label accepted is valid");
  for (const auto& [name, values] :
       {std::pair{"--port", &options.ports}, std::pair{"--usb", &options.usb}}) {
    for (const std::string& value : *values) {
      Require(ValueGiven(args, name, value), "every value was given");
    }
  }
  Require(!options.yes || Given(args, "--yes"), "--yes was given");
  Require(!options.json || Given(args, "--json"), "--json was given");
  Require(!options.simulate || Given(args, "--simulate"), "--simulate was given");
  Require(!options.info || Given(args, "--info"), "--info was given");
  Require(!options.station || Given(args, "--station"), "--station was given");
  Require(!options.verbose || Given(args, "--verbose") || Given(args, "-v"), "-v was given");
  Require(!options.quiet || Given(args, "--quiet") || Given(args, "-q"), "-q was given");
  Require(!options.listModels || Given(args, "--list-models"), "--list-models was given");
  Require(!options.listPorts || Given(args, "--list-ports"), "--list-ports was given");
  Require(!options.version || Given(args, "--version"), "--version was given");
  Require(!options.help || Given(args, "--help") || Given(args, "-h"), "--help was given");
  Require(!options.verify || Given(args, "--verify"), "--verify was given");
  Require(options.verifyTimeoutSeconds >= 1 && options.verifyTimeoutSeconds <= 86400,
          "--verify waits from a second to a day");

  const ModelChoice choice = ChooseModel(options);
  Require(choice.model.empty() != choice.error.empty(), "a model or an error, not both");
  Require(choice.model.empty() || FindModel(choice.model).has_value(),
          "the chosen model is one of the table");
  return 0;
}
