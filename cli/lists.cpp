// SPDX-License-Identifier: MIT
#include "cli/lists.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "burn/diagnosis.h"
#include "catalogue/model_table.h"
#include "cli/reporter.h"
#include "discovery/ports.h"
#include "util/json_text.h"
#include "util/text.h"

namespace {

struct LegendEntry {
  const char* code;
  const char* meaning;
};

// What the rule codes of the listing mean.
constexpr LegendEntry kLegend[] = {
    {"E1", "erase: one command per 128 KiB of image, plus one"},
    {"E2", "erase: one command per 16 KiB of image, plus one"},
    {"E3", "erase: one command per 4 KiB sector but the image's last; one attempt each"},
    {"E4", "erase: one command per started 2 KiB of image"},
    {"E5", "erase: one command per 2 KiB of image, plus one"},
    {"E6", "erase: always 4 commands"},
    {"B1", "blocks of 256 data bytes, the whole image"},
    {"B2", "blocks of 256 data bytes, all but the image's last 4 KiB"},
    {"B3", "blocks of 128 data bytes, the whole image"},
    {"R1", "between the phases: replug the USB cable, then 2 s"},
    {"R2", "between the phases: replug the USB cable, then 5 s"},
    {"R3", "between the phases: power the PLC off and on, then 2 s"},
    {"R4", "between the phases: nothing to do, 1 s"},
    {"L1", "the loader reports the model's identity code"},
    {"L2", "the loader reports 0x000C or 0x000D"},
    {"L3", "the loader reports the identity code without its top bit"},
};

}  // namespace

void ListModels(std::ostream& out, bool json) {
  if (json) {
    out << "{\"schema\":" << kJsonSchema << ",\"models\":[";
    for (int i = 0; i < kModelCount; ++i) {
      const ModelRules& model = ModelAt(i);
      const std::string_view name = model.name;
      out << (i == 0 ? "" : ",") << "{\"model\":" << JsonString(model.name)
          << ",\"link\":" << (IsUsbModel(name) ? "\"USB\"" : "\"COM\"")
          << ",\"code\":" << JsonString(Hex4(model.code))
          << ",\"aio\":" << (model.aio ? "true" : "false")
          << ",\"limit\":" << SizeLimitOf(name).bytes
          << ",\"erase\":" << JsonString(RuleLabel(EraseRuleOf(name)))
          << ",\"blocks\":" << JsonString(RuleLabel(BlockRuleOf(name)))
          << ",\"blockBytes\":" << BlockPlanOf(name, 0).dataBytes
          << ",\"reconnect\":" << JsonString(RuleLabel(ReconnectRuleOf(name)))
          << ",\"loaderId\":" << JsonString(RuleLabel(LoaderIdRuleOf(name, model.code))) << "}";
    }
    out << "],\"legend\":{";
    bool first = true;
    for (const LegendEntry& entry : kLegend) {
      out << (first ? "" : ",") << JsonString(entry.code) << ":" << JsonString(entry.meaning);
      first = false;
    }
    out << "}}\n";
    return;
  }
  char line[160];
  std::snprintf(line, sizeof line, "%-14s %-4s %-6s %9s %-5s %-6s %-9s %s\n", "MODEL", "LINK", "ID",
                "LIMIT", "ERASE", "BLOCKS", "RECONNECT", "LOADER-ID");
  out << line;
  for (int i = 0; i < kModelCount; ++i) {
    const ModelRules& model = ModelAt(i);
    const std::string_view name = model.name;
    std::snprintf(line, sizeof line, "%-14s %-4s %-6s %9u %-5s %-2s/%-3u %-9s %s\n", model.name,
                  IsUsbModel(name) ? "USB" : "COM", Hex4(model.code).c_str(),
                  SizeLimitOf(name).bytes, RuleLabel(EraseRuleOf(name)),
                  RuleLabel(BlockRuleOf(name)), BlockPlanOf(name, 0).dataBytes,
                  RuleLabel(ReconnectRuleOf(name)), RuleLabel(LoaderIdRuleOf(name, model.code)));
    out << line;
  }
  out << "\nLINK: COM a serial port, at 9600 baud 7E1 in phase 1; USB the PLC's USB link.\n"
         "ID: the identity code the PLC reports. LIMIT: the largest image, in bytes.\n"
         "BLOCKS: the rule and the data bytes per block.\n";
  for (const LegendEntry& entry : kLegend) out << entry.code << "  " << entry.meaning << "\n";
}

void ListPorts(std::ostream& out, bool json) {
  const PortSurvey survey = SurveyPorts();
  if (json) {
    out << "{\"schema\":" << kJsonSchema << ",\"ports\":";
    if (!survey.ports) {
      out << "null";
    } else {
      out << "[";
      for (size_t i = 0; i < survey.ports->size(); ++i) {
        out << (i == 0 ? "" : ",") << JsonString((*survey.ports)[i]);
      }
      out << "]";
    }
    out << ",\"usbPlcs\":[";
    for (size_t i = 0; i < survey.usbPlcs.size(); ++i) {
      const UsbPlc& plc = survey.usbPlcs[i];
      out << (i == 0 ? "" : ",") << "{\"location\":" << JsonString(plc.location)
          << ",\"device\":" << JsonString(plc.devicePath)
          << ",\"vendorId\":" << JsonString(plc.vendorId)
          << ",\"productId\":" << JsonString(plc.productId)
          << ",\"serial\":" << JsonString(plc.serial)
          << ",\"manufacturer\":" << JsonString(plc.manufacturer)
          << ",\"product\":" << JsonString(plc.product) << "}";
    }
    out << "]}\n";
    return;
  }
  if (!survey.ports) {
    out << "Serial ports: the system's device list cannot be read\n";
  } else if (survey.ports->empty()) {
    out << "Serial ports: none\n";
  } else {
    out << "Serial ports:\n";
    for (const std::string& port : *survey.ports) out << "  " << PrintableText(port) << "\n";
  }
  if (survey.usbPlcs.empty()) {
    out << "USB PLCs: none\n";
    return;
  }
  // A location is what --usb takes; the device path the system gives it now.
  out << "USB PLCs (--usb LOCATION):\n";
  size_t width = 0;
  for (const UsbPlc& plc : survey.usbPlcs)
    width = std::max(width, PrintableText(plc.location).size());
  for (const UsbPlc& plc : survey.usbPlcs) {
    std::string location = plc.location.empty() ? "(no location)" : PrintableText(plc.location);
    location.resize(std::max(width, location.size()), ' ');
    std::string described = PrintableText(plc.manufacturer);
    if (!plc.product.empty())
      described += (described.empty() ? "" : " ") + PrintableText(plc.product);
    out << "  " << location << "  " << PrintableText(plc.vendorId) << ":"
        << PrintableText(plc.productId) << "  "
        << (plc.serial.empty() ? "no serial" : "serial " + PrintableText(plc.serial)) << "  "
        << PrintableText(plc.devicePath) << (described.empty() ? "" : "  (" + described + ")")
        << "\n";
  }
}
