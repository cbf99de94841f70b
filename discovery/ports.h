// SPDX-License-Identifier: MIT
// What this machine offers to reach a PLC, as the port list and the command
// line show it. Each platform answers from its own device registry: SetupAPI
// on Windows, sysfs on Linux.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "discovery/usb_plc.h"

// Names of the serial ports present, sorted: "COM3" on Windows (from the
// devices' friendly names), "/dev/ttyUSB0" on Linux. nullopt when the
// system's device list could not be read at all.
std::optional<std::vector<std::string>> ListComPorts();

struct PortSurvey {
  std::optional<std::vector<std::string>> ports;  // as ListComPorts gives them
  std::vector<UsbPlc> usbPlcs;                    // every USB PLC, as ListUsbPlcs gives them
};

// Everything `--list-ports` reports.
PortSurvey SurveyPorts();
