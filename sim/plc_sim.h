// SPDX-License-Identifier: MIT
// A simulated PLC: the PLC's side of both dialogues, for tests and for
// anyone without a PLC on the desk.
//
// The simulator takes the bytes the tool sends and produces the PLC's
// replies. It plays one model of the table, by that model's rules, and is
// strict: anything a real PLC would reject, and anything that breaks the
// order or the counts of the dialogue, is recorded as a violation with its
// reason. Faults are settings, so a test can make the PLC misbehave in every
// way the tool must survive.
//
// Transports (the in-process link, the pseudo-terminal program) feed it and
// drain its output; it knows nothing of time except what they tell it.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "link/link.h"
#include "sim/plc_model.h"

enum class PlcMode {
  kApplication,  // its normal firmware: Modbus ASCII
  kRestarting,   // told to start its loader, waiting for the replug or power cycle
  kLoader,
};
std::string_view PlcModeName(PlcMode mode);

// What the PLC can be sent, as the PLC tells requests apart.
enum class PlcRequest : uint8_t {
  // Modbus ASCII frames (both modes answer the first two).
  kWakeUp,     // function 0x7F
  kCommCheck,  // 0x64, command 0x01
  kIdentityA,  // 0x64, "ID"
  kReadD1386,  // 0x03
  kReadD1001,  // 0x03
  kReadD1148,  // 0x03
  kVersionA,   // 0x64, command 0x05
  kEraseA,     // 0x64, "ERASE"
  kConfirmA,   // 0x64, command 0x06
  // The loader's commands.
  kId,           // "ID"
  kVersion,      // "VERSION"
  kErase,        // "ERASE"
  kEraseEnd,     // 0x04 after the erase steps
  kUpdate,       // "UPDATE"
  kBlock,        // a block packet
  kTransferEnd,  // 0x04 after the blocks
  kUnknown,      // bytes the PLC could not make out
};
inline constexpr int kPlcRequestKinds = static_cast<int>(PlcRequest::kUnknown) + 1;
// Short names used by the record, the report and the command line:
// wake, check, app-id, d1386, d1001, d1148, app-version, app-erase,
// app-confirm, id, version, erase, erase-eot, update, block, final-eot, unknown.
std::string_view PlcRequestName(PlcRequest request);
std::optional<PlcRequest> PlcRequestByName(std::string_view name);

enum class FaultKind : uint8_t {
  kSilence,          // the request is not heard: no action, no reply
  kRefuse,           // function 0x64: status 0x15 with a class and detail; 0x03: an exception reply
  kGarbleLrc,        // Modbus replies: the LRC is off by one
  kLowerCase,        // Modbus replies: hexadecimal letters in lower case
  kShortReply,       // the reply loses its last byte
  kNak,              // loader requests: 0x15 instead of the reply, no action
  kFlashWriteError,  // block packets and the final 0x04: 0x16, nothing written
  kDisconnect,       // the link drops when the request arrives
  kLate,             // the PLC acts, but its reply goes out lateReplyMs after the request
};
std::string_view FaultKindName(FaultKind kind);

struct PlcFault {
  FaultKind kind;
  PlcRequest request;  // kUnknown: every request
  // Block packets: the block it hits (1 = the image's first block), on the
  // first `times` packets that carry it. Every other request: the n-th time
  // the PLC hears it (1 = the first) and the `times` - 1 that follow.
  // 0: every one. Both count over the simulator's whole life, across
  // connections, so a fault hits once and a later burn goes through.
  uint32_t nth = 0;
  uint32_t times = 1;
  uint8_t refusalClass = 0;   // kRefuse
  uint8_t refusalDetail = 0;  // kRefuse
};

enum class RestartAfterUpdate : uint8_t {
  kNewFirmware,
  kLoader,  // the firmware does not start: only the loader answers
  kSilent,  // the firmware does not start and nothing answers
};

struct PlcSettings {
  int model = 0;           // plcList row the PLC is
  uint32_t imageSize = 0;  // S: the image the tool will send, for the erase and block counts
  PlcMode startMode = PlcMode::kApplication;

  uint16_t applicationId = 0;      // reported to the identity query
  uint16_t loaderId = 0;           // reported to "ID"
  uint8_t applicationVersion = 0;  // byte 4 of the reply to the version query
  uint8_t loaderVersion[2] = {};   // the two bytes after 0x06 in the reply to "VERSION"
  uint16_t d1386 = 0, d1001 = 0, d1148 = 0;

  bool answerWakeUp = true;            // the 11-byte exception reply to each wake-up frame
  bool eraseRestartsSilently = false;  // restart at the erase request, without a reply
  bool checkLineSpeed = true;          // COM models: requests at the wrong speed are noise
  bool pacing = false;                 // transports deliver bytes at the line's byte time
  uint32_t replyDelayMs = 0;           // transports hold each reply back this long
  // A late reply (the kLate fault) goes out this long after its request:
  // after the tool's 3000 ms read has given up on it.
  uint32_t lateReplyMs = 3100;
  // A block already written that comes again (the host did not take the
  // acknowledgement): acknowledged again, or refused with 0x15.
  bool refuseRepeatedBlock = false;
  // Takes the command to start its loader, but goes on running its
  // application firmware.
  bool staysInApplication = false;
  // What starts at the replug or power cycle after a completed update: the
  // new firmware, or it does not start and the loader answers again, or
  // nothing answers at all.
  RestartAfterUpdate restartAfterUpdate = RestartAfterUpdate::kNewFirmware;

  double bitErrorRate = 0;  // chance that a reply bit arrives flipped
  uint64_t bitErrorSeed = 1;

  std::vector<PlcFault> faults;
};

// Why `fault` cannot work (a kind that does not fit the request, no hit);
// empty when it can. A request of kUnknown stands for every request.
std::string PlcFaultProblem(const PlcFault& fault);

// Settings with which the PLC passes every check of the tool for `model`:
// its own identity code in application mode, a loader code its loader rule
// accepts, version V1.2, registers that pass the compatibility check, and for
// the models that may restart without answering the erase request (R3),
// that silent restart.
PlcSettings DefaultPlcSettings(int model, uint32_t imageSize);

struct PlcRequestRecord {
  PlcMode mode;  // the PLC's mode when the request arrived
  PlcRequest request;
  uint32_t connection;         // 1 for the first time the host opened the link
  uint32_t length;             // bytes the request had
  std::vector<uint8_t> bytes;  // as received; block packets keep only their header
  std::vector<uint8_t> reply;  // what the PLC sent, faults included
  std::string fault;           // the fault that hit it, if any
  bool noisy = false;          // bit errors (bitErrorRate) flipped bits of the reply
};

struct PlcViolation {
  size_t request;  // the request it concerns, counted from 1; 0 before any request
  std::string reason;
};

struct PlcRecord {
  std::vector<PlcRequestRecord> requests;
  size_t requestsDropped = 0;  // beyond what the record keeps
  std::vector<PlcViolation> violations;
  size_t violationsDropped = 0;
  std::vector<uint8_t> flash;  // every block written, fill included, from address 0
  uint32_t eraseSteps = 0;     // acknowledged "ERASE" steps of the last erase
  uint32_t blocksWritten = 0;  // acknowledged blocks of the last transfer
  bool updateComplete = false;
  uint32_t connections = 0;
};

// A moment of simulated time, exact to the nanosecond so that character
// times at any line speed add up without rounding. It reads as whole
// microseconds.
struct SimTime {
  uint64_t nanos = 0;
  constexpr operator uint64_t() const { return nanos / 1000; }
};

namespace sim {
struct FramedRequest;
struct Listening;
}  // namespace sim

class PlcSimulator {
 public:
  explicit PlcSimulator(PlcSettings settings);

  const PlcSettings& settings() const { return settings_; }
  const PlcRecord& record() const { return record_; }
  PlcMode mode() const { return mode_; }
  std::string_view model() const { return model_.name; }
  bool IsComModel() const { return model_.com; }
  // N and M of the model's rules for the image size.
  uint32_t expectedEraseSteps() const { return plan_.eraseSteps; }
  uint32_t expectedBlocks() const { return plan_.blocks; }
  uint32_t blockBytes() const { return plan_.blockBytes; }

  // The host opened the link; false while it is open already (a port is
  // exclusive). Opening it again is the replug or power cycle.
  bool Connect();
  // The host closed the link, or it dropped.
  void Disconnect();
  bool connected() const { return connected_; }

  // Bytes from the host, sent with `line` in force. A pseudo-terminal shows
  // only the speed; `speedOnly` says so and the frame format goes unchecked.
  void Receive(std::span<const uint8_t> bytes, const LineSettings& line, bool speedOnly = false);
  // The line went quiet: a request still incomplete is given up.
  void LineIdle();
  // Reply bytes waiting to go to the host, and how long after the request
  // they go out; taking them empties the queue.
  struct Output {
    std::vector<uint8_t> bytes;
    uint32_t delayMs = 0;
  };
  Output TakeOutput();
  bool HasOutput() const { return !output_.empty(); }
  bool HasPartialRequest() const { return !pending_.empty(); }
  // The disconnect fault fired: the transport drops the link. Cleared by the
  // next Connect.
  bool LinkDropped() const { return linkDropped_; }

  // Simulated time, kept here so it runs on across connections; only the
  // in-process transport advances it. It reads as whole microseconds;
  // `nowMicros.nanos` is exact.
  SimTime nowMicros;

 private:
  enum class Step {  // the loader dialogue within one connection
    kFresh,
    kChecked,
    kIdentified,
    kErasing,
    kErased,
    kUpdating,
    kComplete,
  };

  // The order in which a request is taken: recorded, then judged (framing,
  // restart, line speed, the dialogue's order), hit by a fault, acted on by
  // the dialogue of the mode the PLC is in, and its reply damaged.
  void Handle(const sim::FramedRequest& framed);
  sim::Listening ListensFor() const;
  std::string LineProblem(PlcRequest request) const;
  void Violation(std::string reason);

  // The dialogues: why a request breaks the order here (empty when it does
  // not), and the reply to a sound request, with the step it takes (none
  // for a retry).
  // The application firmware's (application_dialogue.cpp).
  std::string ApplicationOutOfOrder(PlcRequest request, bool confirmExpected) const;
  std::vector<uint8_t> ActApplication(PlcRequest request);
  std::vector<uint8_t> WakeUpReply() const;
  void Restart();

  // The loader's (loader_dialogue.cpp).
  void StartLoaderDialogue();
  // The same request again after the host may have missed the reply.
  bool IsRetry(PlcRequest request, std::span<const uint8_t> bytes) const;
  std::string LoaderOutOfOrder(PlcRequest request) const;
  std::vector<uint8_t> ActLoader(PlcRequest request, std::span<const uint8_t> bytes, bool retry);
  std::vector<uint8_t> ActBlock(std::span<const uint8_t> packet, bool retry);
  void ForgetLastUpdate();

  PlcSettings settings_;
  sim::PlcModel model_;
  sim::ImagePlan plan_;
  PlcRecord record_;
  PlcMode mode_;
  bool connected_ = false;
  bool linkDropped_ = false;

  // Input not yet taken apart, and the line it came at.
  std::vector<uint8_t> pending_;
  LineSettings pendingLine_{};
  bool pendingSpeedOnly_ = false;
  std::deque<uint8_t> output_;
  bool outputLate_ = false;  // the output queued now is a late reply

  // The application firmware's dialogue.
  bool eraseAccepted_ = false;  // the erase request was answered

  // The loader's dialogue.
  Step step_ = Step::kFresh;
  bool versionRead_ = false;
  bool restartPending_ = false;  // the update completed: the next open boots it
  bool dead_ = false;            // the new firmware did not start, and nothing answers
  // The host may not have taken the last reply (a fault or a bit error
  // damaged it, or it went out late): the same request again is the host's
  // retry, not a new step.
  bool lastReplyLost_ = false;
  PlcRequest lastRequest_ = PlcRequest::kUnknown;
  uint8_t lastBlockNumber_ = 0;

  // What faults are matched on, over the simulator's whole life.
  uint32_t requestsHeard_ = 0;
  uint32_t heard_[kPlcRequestKinds] = {};
  std::vector<uint32_t> blockTries_;  // per block index, packets heard
  uint64_t noise_;                    // the bit errors' generator
};

// CRC-16/XMODEM, bit by bit: the simulator checks blocks with its own
// implementation so that a wrong table in the tool cannot hide behind it.
uint16_t SimCrc16(std::span<const uint8_t> data);
