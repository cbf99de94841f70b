// SPDX-License-Identifier: MIT
// --info: what a PLC is, read without changing it.
#pragma once

#include <string>

#include "catalogue/model_table.h"
#include "cli/reporter.h"
#include "cli/terminal_environment.h"
#include "link/cancel.h"
#include "link/wire_trace.h"

struct InfoSetup {
  const ModelRules& model;  // how the PLC is spoken to: its link and sub-code
  LinkSource links;
  std::string comPort;    // a COM model's port
  std::string portLabel;  // the port as the output names it
  Reporter& reporter;
  WireTrace* trace = nullptr;
  const CancelToken& cancel;
};

// The exit status: 0 when the PLC answered, 1 when it did not, 4 when the
// link did not open.
int ShowPlcInfo(const InfoSetup& setup);
