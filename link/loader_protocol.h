// SPDX-License-Identifier: MIT
// Phase 2: the PLC's loader. Short ASCII commands and single control bytes,
// then the image in numbered, CRC-checked blocks.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "catalogue/model_table.h"
#include "image/image_source.h"
#include "link/dialogue.h"

enum class LoaderStatus : uint8_t {
  kDone = 0x00,
  kNoReply = 0x10,          // no acceptable reply within the attempts allowed
  kFlashWriteError = 0x16,  // the loader could not write a block (SendFW)
  // A reply came that answers no request the tool can name: the loader is
  // left without the closing 0x04 and waits in its loader.
  kOutOfStep = 0x20,
};

// The identity code in a reply to the loader's identity query as it came
// off the line (0x06 and the code, high byte first); nothing for any other.
std::optional<uint16_t> LoaderIdentityInReply(std::span<const uint8_t> reply);

LoaderStatus CheckID_B(const Dialogue& dialogue, const ModelRules& model);
// The loader's identity query without a check: the code it reports, or
// nothing without an acknowledged reply. Reads only.
std::optional<uint16_t> QueryID_B(const Dialogue& dialogue);
// Stores the version into `GL_fu_version` (high four bits major, low four
// bits minor: 0x10 is V1.0); leaves it as it was without a reply.
LoaderStatus read_fu_version_B(const Dialogue& dialogue, uint8_t& GL_fu_version);
// The erase and block counts follow the model and the image's size, which
// the burn has checked against the model's limit.
LoaderStatus SendErase_B(const Dialogue& dialogue, const ModelRules& model, uint32_t imageSize);
LoaderStatus SendUpdate(const Dialogue& dialogue);
// Reads the image with FileRead from where its cursor stands.
LoaderStatus SendFW(const Dialogue& dialogue, const ModelRules& model, ImageReader& image);
