// SPDX-License-Identifier: MIT
// The command line of morvix-plcsim, kept apart from the pseudo-terminal
// so that it can be tested anywhere.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/plc_sim.h"

struct PlcsimOptions {
  PlcSettings settings;
  std::string link;                           // the symbolic link made to the pseudo-terminal
  std::string report;                         // JSON record written on exit; empty: none
  std::string flashOut;                       // the flash written on exit; empty: none
  std::optional<std::vector<uint8_t>> image;  // --image: compared with the flash
  bool exitWhenComplete = false;
  uint32_t timeoutSeconds = 0;  // 0: runs until a signal ends it
  bool verbose = false;
  bool help = false;
};

// nullopt with the reason in `error` when the command line is wrong.
std::optional<PlcsimOptions> ParsePlcsimOptions(const std::vector<std::string>& args,
                                                std::string& error);

// A fault written as the command line takes it: OP, OP@N or OP@NxK.
std::optional<PlcFault> ParseFaultTarget(FaultKind kind, const std::string& text,
                                         std::string& error);

// The --help text, made from the same table as the parser.
std::string PlcsimHelp();
