// SPDX-License-Identifier: MIT
// Why a burn ended as it did and what the operator can do about it, read
// from its result: the final box's text stays as it is; this says what lay
// behind it.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "burn/burn.h"
#include "catalogue/model_table.h"

struct Diagnosis {
  std::string reason;  // empty when there is nothing to add to the message
  std::string hint;    // empty when there is nothing to do but what the message says
  // The identity code the PLC reported, when that is what stopped the burn.
  std::optional<uint16_t> reportedCode;
};

// `port` is the port the burn used ("USB" for a USB model).
Diagnosis Diagnose(const BurnResult& result, const ModelRules& model, const std::string& port);
// A link that did not open.
Diagnosis DiagnoseOpening(OpenFailure failure, const std::string& detail, const std::string& port);
// A conversation that ended without the answer it waited for.
Diagnosis DiagnoseExchange(const LastExchange& exchange, const ModelRules& model,
                           const std::string& port);

// Bytes as an operator can read them: the text of a Modbus ASCII or loader
// command ("\":006401590141\\r\\n\""), hexadecimal for anything else; long
// runs are cut short with their length.
std::string ShowBytes(std::span<const uint8_t> bytes);

// An identity code as the displays show it: "0x0017".
std::string Hex4(uint16_t code);

// "GL30" or "KR2-PW2-V2, KR2-C-V2 or KR2-PW2-V4"; "no model" for none.
std::string ModelNames(const std::vector<const ModelRules*>& models);
