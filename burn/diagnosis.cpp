// SPDX-License-Identifier: MIT
#include "burn/diagnosis.h"

#include <algorithm>
#include <cstdio>

#include "burn/messages.h"
#include "image/image_source.h"
#include "link/app_protocol.h"
#include "link/loader_protocol.h"

std::string Hex4(uint16_t code) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%04X", code);
  return text;
}

namespace {

std::string Times(int count) { return count == 1 ? "once" : std::to_string(count) + " times"; }

}  // namespace

Diagnosis DiagnoseOpening(OpenFailure failure, const std::string& detail, const std::string& port) {
  const std::string said = detail.empty() ? "" : " (" + detail + ")";
  switch (failure) {
    case OpenFailure::kMissing:
      return {port + " does not exist" + said + ".",
              "Check the port's name: --list-ports lists the serial ports this computer has. A "
              "USB serial adapter has a port only while it is plugged in.",
              std::nullopt};
    case OpenFailure::kPermissionDenied:
      return {"You may not open " + port + said + ".",
              "Serial ports belong to the dialout group: add yourself with 'sudo usermod -aG "
              "dialout $USER', then log out and in again. The package's udev rule also gives "
              "the PLC's USB links to that group.",
              std::nullopt};
    case OpenFailure::kBusy:
      return {port + " is in use by another program" + (detail.empty() ? "" : ": " + detail) + ".",
              "Close the program that has it open (a terminal program, another update, on Linux "
              "also ModemManager, which the package's udev rule keeps away from PLCs) and start "
              "again.",
              std::nullopt};
    case OpenFailure::kNotASerialPort:
      return {port + " is not a serial port" + said + ".",
              "Give the PLC's serial port (--list-ports lists them).", std::nullopt};
    case OpenFailure::kNoDevice:
      return {"No USB PLC was found" + said + ".",
              "Plug in the PLC's USB cable and power the PLC; --list-ports shows whether it is "
              "seen.",
              std::nullopt};
    case OpenFailure::kNone:
    case OpenFailure::kOther: break;
  }
  return {port + " did not open" + said + ".", "", std::nullopt};
}

namespace {

Diagnosis ImageRefused(const BurnResult& result, const ModelRules& model) {
  const std::string& message = result.message;
  if (message == kImageLoadFailedMessage) {
    return {"The image could not be read.", "Check the image file.", std::nullopt};
  }
  if (message == SizeLimitOf(model.name).message) {
    return {"The image is larger than a " + std::string(model.name) + " takes (at most " +
                std::to_string(SizeLimitOf(model.name).bytes) + " bytes).",
            "Use the firmware image made for " + std::string(model.name) + ".", std::nullopt};
  }
  if (message == kImageTooSmallMessage || message == MessageText(BurnMessage::kNothingToWrite)) {
    return {"The image is too small to be firmware for " + std::string(model.name) + ".",
            "Use the firmware image made for " + std::string(model.name) + ".", std::nullopt};
  }
  return {};
}

// The identity the PLC gave when the identity check refused it.
std::optional<uint16_t> ReportedIdentity(const LastExchange& exchange) {
  if (exchange.operation == Operation::kCheckID_A) return IdentityInReply(exchange.reply);
  if (exchange.operation == Operation::kCheckID_B) return LoaderIdentityInReply(exchange.reply);
  return std::nullopt;
}

Diagnosis WrongModel(const ModelRules& model, const LastExchange& exchange, uint16_t reported) {
  const bool loader = exchange.operation == Operation::kCheckID_B;
  const auto models = loader ? ModelsWhoseLoaderAcceptsId(reported) : ModelsAcceptingId(reported);
  std::string reason = std::string("The PLC") + (loader ? "'s loader" : "") +
                       " reported identity code " + Hex4(reported) + ", ";
  reason +=
      models.empty() ? "which no model in the table has" : "the code of " + ModelNames(models);
  reason += "; " + std::string(model.name) + " has " + Hex4(model.code) + ".";
  const std::string hint =
      models.empty() ? "This PLC is no model this tool updates."
                     : "Update it as its own model, with that model's firmware image (--model " +
                           std::string(models.front()->name) + " --image FILE).";
  return {reason, hint, reported};
}

std::string Checklist(const ModelRules& model, const std::string& port) {
  if (model.link == LinkKind::kUsb) {
    return "Check: the USB cable is plugged in at both ends; the PLC is powered; the PLC is in "
           "STOP, not RUN; --list-ports shows the USB PLC.";
  }
  return "Check: the cable between the PLC and " + port +
         " is plugged in at both ends; the PLC is powered; " + port +
         " is the port the PLC is on (--list-ports); anything between them passes 9600 baud 7E1 "
         "(the PLC's application speed); the PLC is in STOP, not RUN.";
}

Diagnosis ExchangeFailed(const BurnResult& result, const ModelRules& model,
                         const std::string& port) {
  if (result.message == MessageText(BurnMessage::kFlashWriteError)) {
    return {"The loader reported a flash write error (0x16) while taking the image.", "",
            std::nullopt};
  }
  if (const auto byte = result.lastExchange.outOfStep) {
    return {"The loader answered " + ShowBytes({&*byte, 1}) + " to " +
                OperationPurpose(*result.lastExchange.operation) +
                " where only an answer to a request sent again could come, so the tool cannot "
                "tell which request the line answers; it did not close the transfer, and the "
                "PLC waits in its loader.",
            "Run the same command again: it continues with phase 2. " + Checklist(model, port),
            std::nullopt};
  }
  return DiagnoseExchange(result.lastExchange, model, port);
}

}  // namespace

Diagnosis DiagnoseExchange(const LastExchange& exchange, const ModelRules& model,
                           const std::string& port) {
  if (!exchange.operation) return {};
  if (const auto reported = ReportedIdentity(exchange)) {
    if (!(exchange.operation == Operation::kCheckID_A
              ? ApplicationIdAccepts(model.code, *reported)
              : LoaderIdAccepts(model.name, model.code, *reported))) {
      return WrongModel(model, exchange, *reported);
    }
  }
  if (exchange.attempts == 0) return {};
  const std::string what = std::string(OperationPurpose(*exchange.operation)) + " (" +
                           OperationName(*exchange.operation) + ")";
  const std::string sent = ShowBytes(exchange.request);
  if (exchange.attemptsUnsent == exchange.attempts) {
    return {what + " could not be sent: " + port +
                " took no bytes (it did not reopen after the reconnection, or the device went "
                "away).",
            Checklist(model, port), std::nullopt};
  }
  if (exchange.attemptsAnswered == 0) {
    return {"The PLC did not answer " + what + ": " + sent + " was sent " +
                Times(exchange.attempts) + ", and no byte came back.",
            Checklist(model, port), std::nullopt};
  }
  return {"The PLC answered " + what + " in " + std::to_string(exchange.attemptsAnswered) + " of " +
              std::to_string(exchange.attempts) +
              " attempts, but never as expected; the last reply was " + ShowBytes(exchange.reply) +
              " (" + std::to_string(exchange.reply.size()) + " bytes).",
          "A damaged reply points at the line: a loose cable, noise, or a converter set to "
          "another speed. " +
              Checklist(model, port),
          std::nullopt};
}

std::string ModelNames(const std::vector<const ModelRules*>& models) {
  if (models.empty()) return "no model";
  std::string names;
  for (size_t i = 0; i < models.size(); ++i) {
    if (i > 0) names += i + 1 == models.size() ? " or " : ", ";
    names += models[i]->name;
  }
  return names;
}

std::string ShowBytes(std::span<const uint8_t> bytes) {
  if (bytes.empty()) return "nothing";
  constexpr size_t kShown = 24;
  const bool text = std::all_of(bytes.begin(), bytes.end(), [](uint8_t byte) {
    return (byte >= 0x20 && byte < 0x7F) || byte == '\r' || byte == '\n';
  });
  std::string shown;
  const size_t count = std::min(bytes.size(), kShown);
  if (text) {
    shown = "\"";
    for (size_t i = 0; i < count; ++i) {
      shown += bytes[i] == '\r' ? "\\r" : bytes[i] == '\n' ? "\\n" : std::string(1, bytes[i]);
    }
    shown += "\"";
  } else {
    char hex[4];
    for (size_t i = 0; i < count; ++i) {
      std::snprintf(hex, sizeof hex, i == 0 ? "%02X" : " %02X", bytes[i]);
      shown += hex;
    }
  }
  if (bytes.size() > kShown) shown += "... (" + std::to_string(bytes.size()) + " bytes)";
  return shown;
}

Diagnosis Diagnose(const BurnResult& result, const ModelRules& model, const std::string& port) {
  switch (result.outcome) {
    case BurnOutcome::kSucceeded:
    case BurnOutcome::kCancelled: return {};
    case BurnOutcome::kImageRefused: return ImageRefused(result, model);
    case BurnOutcome::kLinkNotOpened:
      return DiagnoseOpening(result.openFailure, result.openDetail, port);
    case BurnOutcome::kFailed: return ExchangeFailed(result, model, port);
  }
  return {};
}
