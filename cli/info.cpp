// SPDX-License-Identifier: MIT
#include "cli/info.h"

#include <cstdio>

#include "burn/diagnosis.h"
#include "burn/messages.h"
#include "burn/plc_info.h"
#include "cli/options.h"
#include "util/json_text.h"
#include "util/text.h"

namespace {

// High four bits the major number, low four the minor: 0x12 is V1.2.
// Appended piece by piece: GCC 12 at -O3 takes "V" + std::string for an
// overlapping copy (-Wrestrict, a false positive).
std::string VersionText(uint8_t version) {
  std::string text = "V";
  text += std::to_string(version >> 4);
  text += '.';
  text += std::to_string(version & 0x0F);
  return text;
}

std::string JsonNames(const std::vector<const ModelRules*>& models) {
  std::string names = "[";
  for (size_t i = 0; i < models.size(); ++i) {
    if (i > 0) names += ',';
    names += JsonString(models[i]->name);
  }
  return names + "]";
}

const char* FirmwareWord(RunningFirmware firmware) {
  switch (firmware) {
    case RunningFirmware::kApplication: return "application";
    case RunningFirmware::kLoader: return "loader";
    case RunningFirmware::kNone: break;
  }
  return "none";
}

struct Register {
  const char* name;
  const std::optional<uint16_t>& value;
};

std::string JsonMembers(const PlcInfo& info, const InfoSetup& setup) {
  // "schema" comes with the stream's first event, which this is.
  std::string members = "\"port\":" + JsonString(setup.portLabel) +
                        ",\"firmware\":" + JsonString(FirmwareWord(info.firmware));
  if (info.identityCode) {
    members += ",\"identityCode\":" + JsonString(Hex4(*info.identityCode)) +
               ",\"models\":" + JsonNames(info.models) + ",\"fitting\":" + JsonNames(info.fitting);
  }
  const VariantReadings& readings = info.readings;
  for (const Register& reg : {Register{"d1386", readings.d1386}, Register{"d1001", readings.d1001},
                              Register{"d1148", readings.d1148}}) {
    if (reg.value) members += ",\"" + std::string(reg.name) + "\":" + JsonString(Hex4(*reg.value));
  }
  if (readings.loaderVersion) {
    members += ",\"loaderVersion\":" + JsonString(VersionText(*readings.loaderVersion));
  }
  return members;
}

std::string Text(const PlcInfo& info, const InfoSetup& setup) {
  std::string text = "PLC on " + PrintableText(setup.portLabel) + ", asked as " + setup.model.name +
                     " would be:\n";
  text += info.firmware == RunningFirmware::kLoader
              ? "  running:        its loader (an update was left unfinished; the next update "
                "goes straight to phase 2)\n"
              : "  running:        the application firmware\n";
  if (!info.identityCode) {
    return text + "  identity code:  no answer to the identity query\n";
  }
  text += "  identity code:  " + Hex4(*info.identityCode) + " (" + ModelNames(info.models) + ")\n";
  const VariantReadings& readings = info.readings;
  for (const Register& reg : {Register{"D1386", readings.d1386}, Register{"D1001", readings.d1001},
                              Register{"D1148", readings.d1148}}) {
    if (reg.value) text += "  " + std::string(reg.name) + ":          " + Hex4(*reg.value) + "\n";
  }
  if (readings.loaderVersion) {
    text += "  loader version: " + VersionText(*readings.loaderVersion) + "\n";
  }
  if (!info.models.empty()) {
    text += "  it is:          " +
            (info.fitting.empty() ? std::string("none of these: the readings fit no model")
                                  : ModelNames(info.fitting)) +
            "\n";
  }
  return text;
}

}  // namespace

int ShowPlcInfo(const InfoSetup& setup) {
  const bool usb = setup.model.link == LinkKind::kUsb;
  LinkOpening opening = usb ? setup.links.openUsb() : setup.links.openSerial(setup.comPort);
  if (!opening) {
    setup.reporter.Result("ERROR", CannotOpenMessage(usb ? "USB" : setup.comPort),
                          kExitLinkNotOpened,
                          DiagnoseOpening(opening.failure, opening.detail, setup.portLabel));
    return kExitLinkNotOpened;
  }
  std::unique_ptr<Link> link = std::move(opening.link);
  if (setup.trace != nullptr) link = setup.trace->Traced(std::move(link));
  WireWatch watch(setup.reporter, setup.trace);
  ExchangeRecorder recorder(watch);
  StatusBoard status;
  const PlcInfo info = ReadPlcInfo({*link, status, setup.cancel, &recorder}, setup.model);
  if (info.firmware == RunningFirmware::kNone) {
    if (setup.cancel.Requested()) return kExitBurnFailed;
    setup.reporter.Result("ERROR", info.failure, kExitBurnFailed,
                          DiagnoseExchange(recorder.last(), setup.model, setup.portLabel));
    return kExitBurnFailed;
  }
  setup.reporter.Answer("info", JsonMembers(info, setup), Text(info, setup));
  return kExitSuccess;
}
