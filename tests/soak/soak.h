// SPDX-License-Identifier: MIT
// The soak: complete updates on the in-process simulated PLC, each with
// faults drawn from its own seed, each judged against what its faults call
// for. A seed is the whole update: model, start mode, image, faults, noise
// and the loader's habits all come from it, so any update replays exactly.
//
// The update runs the burn as a front end does, with prompts answered and
// sleeps instant. A disconnect is the PLC's USB device vanishing: the link
// dies and moves no byte again; the next open (the reconnect step's reopen)
// finds the PLC again as a device that re-enumerated, still running what it
// ran (its firmware, or its loader, which begins its dialogue afresh).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "burn/burn.h"
#include "sim/plc_sim.h"

struct SoakCase {
  uint64_t seed = 0;
  int model = 0;  // row of the model table
  uint32_t imageSize = 0;
  PlcSettings plc;  // start mode, faults, noise, the loader's habits
};

// Over a pseudo-terminal every wait is real: `overPty` draws images of at
// most 16 KiB and an unpaced wire.
SoakCase MakeSoakCase(uint64_t seed, bool overPty = false);
// The case in words, one fault a line.
std::string DescribeSoakCase(const SoakCase& soakCase);

// The image every update sends the first `size` bytes of.
std::span<const uint8_t> SoakImage(uint32_t size);
// What the PLC's flash holds after the update wrote `size` bytes of it: the
// bytes the model's rules send, the last block filled with 0x1A.
std::vector<uint8_t> SoakExpectedFlash(int model, uint32_t size);

// SoakImage(size) as the burn reads it, without a copy per update.
class SoakImageSource final : public ImageSource {
 public:
  explicit SoakImageSource(uint32_t size) : bytes_(SoakImage(size)) {}
  std::string Name() const override { return "soak.bin"; }
  std::unique_ptr<ImageReader> OpenImage() override;

 private:
  std::span<const uint8_t> bytes_;
};

// The longest an update of this case may take in simulated time: every
// exchange it can make, each using its whole retry budget with every write
// and read running to its time-out and every late reply waited for as long
// as the tool listens. Reconnect waits are not counted (they are instant
// here, as they do not touch the simulated clock).
uint64_t SoakBoundNanos(const SoakCase& soakCase);

struct SoakRun {
  PlcRecord record;  // the simulated PLC's, once the update ended
  BurnResult result;
  std::vector<std::string> prompts;
  uint64_t simulatedNanos = 0;
  uint64_t boundNanos = 0;
  bool boundExceeded = false;  // the update was stopped at its bound
};
// Stopped at `boundNanos` of simulated time when given, else at the case's
// own bound.
SoakRun RunSoakCase(const SoakCase& soakCase, std::optional<uint64_t> boundNanos = {});

// The same update through the POSIX serial link, against `plcsim` (the
// morvix-plcsim program) on a pseudo-terminal of its own under `folder`, in
// real time: the case's image capped at 16 KiB and its wire unpaced (see
// MakeSoakCase), the reconnect waits skipped. The record is read back from
// the simulator's report and flash. The bound is the case's, in real time;
// simulatedNanos is the wall time the update took.
SoakRun RunSoakCaseOverPty(const SoakCase& soakCase, const std::string& plcsim,
                           const std::string& folder);

struct SoakVerdict {
  // What the faults that hit called for, in words: "success", or the step
  // and the messages allowed there.
  std::string calledFor;
  std::vector<std::string> problems;  // empty: the update ended as it should
  // Violations of the simulator's record that the faults cause by design,
  // each by its cause.
  std::vector<std::string> excused;
};
SoakVerdict JudgeSoakRun(const SoakCase& soakCase, const SoakRun& run);

// The simulator's record of one update, a request a line, for a replay.
std::string DescribeSoakRecord(const PlcRecord& record);
