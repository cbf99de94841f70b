#include "sim/plc_sim.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <limits>

#include "catalogue/model_table.h"
#include "link/app_protocol.h"

namespace {

constexpr uint8_t kStx = 0x02;
constexpr uint8_t kEot = 0x04;
constexpr uint8_t kAck = 0x06;
constexpr uint8_t kNakByte = 0x15;
constexpr uint8_t kFlashError = 0x16;
constexpr uint8_t kFill = 0x1A;
constexpr uint8_t kRefusal = 0x15;

constexpr uint16_t kD1386 = 0x1000 + 1386;
constexpr uint16_t kD1001 = 0x1000 + 1001;
constexpr uint16_t kD1148 = 0x1000 + 1148;

// The longest Modbus ASCII frame: ':' , 256 bytes as hex, CR LF.
constexpr size_t kMaxFrame = 1 + 2 * 256 + 2;
// What the record keeps, so that a long run of noise cannot eat the memory.
constexpr size_t kMaxRequests = 500000;
constexpr size_t kMaxViolations = 10000;
constexpr size_t kMaxKeptBytes = 600;
constexpr size_t kBlockHeader = 3;

struct RequestInfo {
  PlcRequest request;
  const char* name;
};

constexpr RequestInfo kRequests[kPlcRequestKinds] = {
    {PlcRequest::kWakeUp, "wake"},          {PlcRequest::kCommCheck, "check"},
    {PlcRequest::kIdentityA, "app-id"},     {PlcRequest::kReadD1386, "d1386"},
    {PlcRequest::kReadD1001, "d1001"},      {PlcRequest::kReadD1148, "d1148"},
    {PlcRequest::kVersionA, "app-version"}, {PlcRequest::kEraseA, "app-erase"},
    {PlcRequest::kConfirmA, "app-confirm"}, {PlcRequest::kId, "id"},
    {PlcRequest::kVersion, "version"},      {PlcRequest::kErase, "erase"},
    {PlcRequest::kEraseEnd, "erase-eot"},   {PlcRequest::kUpdate, "update"},
    {PlcRequest::kBlock, "block"},          {PlcRequest::kTransferEnd, "final-eot"},
    {PlcRequest::kUnknown, "unknown"},
};

std::string Format(const char* format, ...) __attribute__((format(gnu_printf, 1, 2)));
std::string Format(const char* format, ...) {
  char buffer[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  return buffer;
}

std::string LineText(const LineSettings& line, bool speedOnly) {
  if (line.baudRate == 0) return "a line never configured";
  if (speedOnly) return Format("%u baud", line.baudRate);
  const char parity = line.parity == 0 ? 'N' : line.parity == 1 ? 'O' : 'E';
  const char* stop = line.stopBits == 0 ? "1" : line.stopBits == 1 ? "1.5" : "2";
  return Format("%u baud %u%c%s", line.baudRate, line.byteSize, parity, stop);
}

bool SameLine(const LineSettings& a, const LineSettings& b, bool speedOnly) {
  if (a.baudRate != b.baudRate) return false;
  return speedOnly ||
         (a.byteSize == b.byteSize && a.parity == b.parity && a.stopBits == b.stopBits);
}

bool IsModbusRequest(PlcRequest request) { return request <= PlcRequest::kConfirmA; }
bool IsLoaderRequest(PlcRequest request) {
  return request >= PlcRequest::kId && request <= PlcRequest::kTransferEnd;
}
bool IsApplicationOnly(PlcRequest request) {
  return request >= PlcRequest::kIdentityA && request <= PlcRequest::kConfirmA;
}
// Loader steps that change the PLC's state: a repeat is a new step unless
// the PLC damaged its reply to the first.
bool IsLoaderStep(PlcRequest request) {
  switch (request) {
    case PlcRequest::kErase:
    case PlcRequest::kEraseEnd:
    case PlcRequest::kUpdate:
    case PlcRequest::kBlock:
    case PlcRequest::kTransferEnd: return true;
    default: return false;
  }
}

int HexDigit(uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::vector<uint8_t> Function64Reply(uint8_t subCode, uint8_t status, uint8_t b5, uint8_t b6) {
  const uint8_t message[] = {0x00, 0x64, 0x01, subCode, status, b5, b6};
  return ModbusAsciiFrame(message);
}

std::vector<uint8_t> RegisterReply(uint16_t value) {
  const uint8_t message[] = {0x00, 0x03, 0x02, static_cast<uint8_t>(value >> 8),
                             static_cast<uint8_t>(value)};
  return ModbusAsciiFrame(message);
}

std::vector<uint8_t> ExceptionReply(uint8_t function, uint8_t code) {
  const uint8_t message[] = {0x00, static_cast<uint8_t>(function | 0x80), code};
  return ModbusAsciiFrame(message);
}

uint64_t SplitMix(uint64_t& state) {
  uint64_t z = (state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

}  // namespace

std::string_view PlcModeName(PlcMode mode) {
  switch (mode) {
    case PlcMode::kApplication: return "application";
    case PlcMode::kRestarting: return "restarting";
    case PlcMode::kLoader: return "loader";
  }
  return "?";
}

std::string_view PlcRequestName(PlcRequest request) {
  return kRequests[static_cast<int>(request)].name;
}

std::optional<PlcRequest> PlcRequestByName(std::string_view name) {
  for (const RequestInfo& info : kRequests) {
    if (name == info.name) return info.request;
  }
  return std::nullopt;
}

std::string_view FaultKindName(FaultKind kind) {
  switch (kind) {
    case FaultKind::kSilence: return "silence";
    case FaultKind::kRefuse: return "refuse";
    case FaultKind::kGarbleLrc: return "garble-lrc";
    case FaultKind::kLowerCase: return "lower-case";
    case FaultKind::kShortReply: return "short-reply";
    case FaultKind::kNak: return "nak";
    case FaultKind::kFlashWriteError: return "flash-error";
    case FaultKind::kDisconnect: return "disconnect";
    case FaultKind::kLate: return "late";
  }
  return "?";
}

std::string PlcFaultProblem(const PlcFault& fault) {
  const PlcRequest r = fault.request;
  const bool any = r == PlcRequest::kUnknown;
  bool fits = false;
  switch (fault.kind) {
    case FaultKind::kSilence:
    case FaultKind::kDisconnect: fits = true; break;
    case FaultKind::kLate: fits = r != PlcRequest::kConfirmA; break;
    case FaultKind::kRefuse:
      fits = r == PlcRequest::kCommCheck || r == PlcRequest::kIdentityA ||
             r == PlcRequest::kVersionA || r == PlcRequest::kEraseA ||
             r == PlcRequest::kReadD1386 || r == PlcRequest::kReadD1001 ||
             r == PlcRequest::kReadD1148;
      break;
    case FaultKind::kGarbleLrc:
    case FaultKind::kLowerCase: fits = IsModbusRequest(r) && r != PlcRequest::kConfirmA; break;
    case FaultKind::kShortReply: fits = !any && r != PlcRequest::kConfirmA; break;
    case FaultKind::kNak: fits = IsLoaderRequest(r); break;
    case FaultKind::kFlashWriteError:
      fits = r == PlcRequest::kBlock || r == PlcRequest::kTransferEnd;
      break;
  }
  if (!fits) {
    return Format("fault %.*s does not apply to %s",
                  static_cast<int>(FaultKindName(fault.kind).size()),
                  FaultKindName(fault.kind).data(),
                  any ? "every request" : std::string(PlcRequestName(r)).c_str());
  }
  if (fault.times == 0) return "a fault must hit at least once (times 0)";
  return {};
}

uint16_t SimCrc16(std::span<const uint8_t> data) {
  uint16_t crc = 0;
  for (uint8_t byte : data) {
    crc = static_cast<uint16_t>(crc ^ (byte << 8));
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 0x8000) != 0 ? static_cast<uint16_t>((crc << 1) ^ 0x1021)
                                : static_cast<uint16_t>(crc << 1);
    }
  }
  return crc;
}

PlcSettings DefaultPlcSettings(int model, uint32_t imageSize) {
  PlcSettings s;
  s.model = model;
  s.imageSize = imageSize;
  const ModelRules& rules = ModelAt(model);
  const std::string_view name = rules.name;
  s.applicationId = rules.code;
  s.loaderId =
      LoaderIdRuleOf(name, rules.code) == LoaderIdRule::kL3 ? rules.code & 0x7FFF : rules.code;
  // V1.2: above every loader-version requirement.
  s.applicationVersion = 0x12;
  s.loaderVersion[0] = 0x01;
  s.loaderVersion[1] = 0x20;
  // The variant registers that make the model's own check pass: the "set"
  // model of a pair reads V4 (D1001) or non-zero (D1148).
  const bool kr2c = name == kKr2CPair.modelWhenSet || name == kKr2CPair.modelWhenClear;
  const bool set = (rules.pair != nullptr && name == rules.pair->modelWhenSet) ||
                   name == kKr2CPair.modelWhenSet || name == kKr2Pw2Pair.modelWhenSet;
  s.d1386 = kr2c ? 0x4138 : 0x0000;
  s.d1001 = rules.variant != VariantCheck::kD1148 && set ? 0x0040 : 0x0030;
  s.d1148 = rules.variant == VariantCheck::kD1148 && set ? 0x0001 : 0x0000;
  s.eraseRestartsSilently = rules.reconnect == ReconnectRule::kR3;
  return s;
}

PlcSimulator::PlcSimulator(PlcSettings settings)
    : settings_(std::move(settings)), mode_(settings_.startMode), rng_(settings_.bitErrorSeed) {
  if (settings_.model < 0 || settings_.model >= kModelCount) settings_.model = 0;
  if (mode_ == PlcMode::kRestarting) mode_ = PlcMode::kApplication;
  const std::string_view name = model();
  const uint32_t s = settings_.imageSize;
  if (ImageTooSmall(name, s)) {
    Violation(
        Format("an image of %u bytes is below the 4096 bytes this model needs; the tool "
               "refuses it, so no count can be checked",
               s));
  } else {
    expectedErases_ = EraseCount(name, s);
    const BlockPlan plan = BlockPlanOf(name, s);
    blockBytes_ = plan.dataBytes;
    blockCount_ = plan.blocks;
    imageBytes_ = plan.imageBytes;
  }
  if (blockBytes_ == 0) blockBytes_ = BlockPlanOf(name, kMinimumSectorImage).dataBytes;
  blockTries_.assign(blockCount_, 0);
  for (const PlcFault& fault : settings_.faults) {
    const std::string problem = PlcFaultProblem(fault);
    if (!problem.empty()) Violation("settings: " + problem);
  }
}

std::string_view PlcSimulator::model() const { return ModelName(settings_.model); }

bool PlcSimulator::IsComModel() const { return !IsUsbModel(model()); }

bool PlcSimulator::Connect() {
  if (connected_) return false;
  connected_ = true;
  linkDropped_ = false;
  ++record_.connections;
  pending_.clear();
  output_.clear();
  outputLate_ = false;
  lastReplyLost_ = false;
  eraseAccepted_ = false;
  // The replug or power cycle: a PLC told to start its loader now does; a
  // loader whose update completed starts the new firmware; a loader
  // otherwise begins its dialogue afresh.
  if (mode_ == PlcMode::kRestarting) {
    mode_ = PlcMode::kLoader;
  } else if (mode_ == PlcMode::kLoader && restartPending_) {
    mode_ = PlcMode::kApplication;
    restartPending_ = false;
  }
  step_ = Step::kFresh;
  versionRead_ = false;
  return true;
}

void PlcSimulator::Disconnect() {
  if (!connected_) return;
  if (!pending_.empty() && !linkDropped_) {
    Violation(
        Format("the link was closed with %zu bytes of an incomplete request", pending_.size()));
  }
  connected_ = false;
  pending_.clear();
  output_.clear();
  outputLate_ = false;
}

void PlcSimulator::Receive(std::span<const uint8_t> bytes, const LineSettings& line,
                           bool speedOnly) {
  if (!connected_ || linkDropped_) return;
  if (pending_.empty()) {
    pendingLine_ = line;
    pendingSpeedOnly_ = speedOnly;
  }
  pending_.insert(pending_.end(), bytes.begin(), bytes.end());
  while (!pending_.empty() && !linkDropped_) {
    const Parsed parsed = ParseNext();
    if (parsed.length == 0) break;
    Handle(parsed);
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(parsed.length));
    // Whatever is left arrived with this call.
    pendingLine_ = line;
    pendingSpeedOnly_ = speedOnly;
  }
  if (linkDropped_) pending_.clear();
}

void PlcSimulator::LineIdle() {
  if (pending_.empty()) return;
  Parsed parsed{
      pending_.size(), PlcRequest::kUnknown,
      Format("incomplete request of %zu bytes given up when the line went quiet", pending_.size())};
  Handle(parsed);
  pending_.clear();
}

PlcSimulator::Output PlcSimulator::TakeOutput() {
  Output out{{output_.begin(), output_.end()},
             settings_.replyDelayMs + (outputLate_ ? settings_.lateReplyMs : 0)};
  output_.clear();
  outputLate_ = false;
  return out;
}

// --- Framing ---------------------------------------------------------------

PlcSimulator::Parsed PlcSimulator::ParseNext() const {
  const uint8_t first = pending_.front();
  if (first == ':') return ParseModbus();
  if (mode_ == PlcMode::kLoader) {
    if (first == kStx) return ParseBlock();
    if (first == kEot) {
      const bool transfer = step_ == Step::kUpdating || step_ == Step::kComplete;
      return {1, transfer ? PlcRequest::kTransferEnd : PlcRequest::kEraseEnd, {}};
    }
    if (first == 'I' || first == 'V' || first == 'E' || first == 'U') return ParseLoaderCommand();
  }
  const size_t length = GarbageLength();
  return {length, PlcRequest::kUnknown,
          Format("%zu bytes that begin no request (first 0x%02X)", length, first)};
}

size_t PlcSimulator::GarbageLength() const {
  auto startsRequest = [this](uint8_t c) {
    if (c == ':') return true;
    if (mode_ != PlcMode::kLoader) return false;
    return c == kStx || c == kEot || c == 'I' || c == 'V' || c == 'E' || c == 'U';
  };
  size_t n = 1;
  while (n < pending_.size() && !startsRequest(pending_[n])) ++n;
  return n;
}

PlcSimulator::Parsed PlcSimulator::ParseModbus() const {
  size_t end = 1;
  while (end < pending_.size() && pending_[end] != '\n' && pending_[end] != ':') ++end;
  if (end == pending_.size()) {
    if (pending_.size() > kMaxFrame) {
      return {pending_.size(), PlcRequest::kUnknown,
              Format("Modbus frame longer than %zu characters without LF", kMaxFrame)};
    }
    return {0, PlcRequest::kUnknown, {}};
  }
  if (pending_[end] == ':') {
    return {end, PlcRequest::kUnknown,
            Format("Modbus frame of %zu characters cut short by a new ':'", end)};
  }
  const size_t length = end + 1;
  if (pending_[end - 1] != '\r') {
    return {length, PlcRequest::kUnknown, "Modbus frame ends in LF without CR"};
  }
  const size_t chars = end - 2;  // between ':' and CR
  if (chars % 2 != 0) {
    return {length, PlcRequest::kUnknown,
            Format("Modbus frame with an odd number (%zu) of hexadecimal characters", chars)};
  }
  std::vector<uint8_t> message;
  for (size_t i = 1; i + 1 < end; i += 2) {
    const int high = HexDigit(pending_[i]);
    const int low = HexDigit(pending_[i + 1]);
    if (high < 0 || low < 0) {
      const uint8_t bad = high < 0 ? pending_[i] : pending_[i + 1];
      const bool lower = bad >= 'a' && bad <= 'f';
      return {length, PlcRequest::kUnknown,
              lower ? Format("Modbus frame with lower-case hexadecimal '%c'", bad)
                    : Format("Modbus frame with a character 0x%02X that is not hexadecimal", bad)};
    }
    message.push_back(static_cast<uint8_t>(high * 16 + low));
  }
  if (message.size() < 3) {
    return {length, PlcRequest::kUnknown, "Modbus frame too short for station, function and LRC"};
  }
  uint8_t sum = 0;
  for (uint8_t b : message) sum = static_cast<uint8_t>(sum + b);
  if (sum != 0) {
    return {length, PlcRequest::kUnknown,
            Format("Modbus frame whose LRC 0x%02X does not match (bytes sum to 0x%02X)",
                   message.back(), sum)};
  }
  if (message[0] != 0x00) {
    return {length, PlcRequest::kUnknown,
            Format("Modbus frame to station 0x%02X, not 0x00", message[0])};
  }
  const uint8_t function = message[1];
  const size_t size = message.size();
  if (function == 0x7F) {
    if (size != 3) return {length, PlcRequest::kWakeUp, "wake-up frame carries data"};
    return {length, PlcRequest::kWakeUp, {}};
  }
  if (function == 0x03) {
    if (size != 7) {
      return {length, PlcRequest::kUnknown,
              Format("function 0x03 frame of %zu bytes, not 7", size)};
    }
    const uint16_t address = static_cast<uint16_t>(message[2] << 8 | message[3]);
    const uint16_t quantity = static_cast<uint16_t>(message[4] << 8 | message[5]);
    PlcRequest request = PlcRequest::kUnknown;
    if (address == kD1386) request = PlcRequest::kReadD1386;
    if (address == kD1001) request = PlcRequest::kReadD1001;
    if (address == kD1148) request = PlcRequest::kReadD1148;
    if (request == PlcRequest::kUnknown) {
      return {length, request,
              Format("register address 0x%04X is none of D1386, D1001, D1148", address)};
    }
    if (quantity != 1) {
      return {length, request, Format("register quantity %u, not 1", quantity)};
    }
    return {length, request, {}};
  }
  if (function != 0x64) {
    return {length, PlcRequest::kUnknown, Format("Modbus function 0x%02X", function)};
  }
  if (size < 6) return {length, PlcRequest::kUnknown, "function 0x64 frame without a command"};
  const std::span<const uint8_t> command(message.data() + 4, size - 5);
  auto is = [&command](std::initializer_list<uint8_t> bytes) {
    return command.size() == bytes.size() &&
           std::equal(bytes.begin(), bytes.end(), command.begin());
  };
  PlcRequest request = PlcRequest::kUnknown;
  if (is({0x01})) request = PlcRequest::kCommCheck;
  if (is({'I', 'D'})) request = PlcRequest::kIdentityA;
  if (is({0x05})) request = PlcRequest::kVersionA;
  if (is({'E', 'R', 'A', 'S', 'E'})) request = PlcRequest::kEraseA;
  if (is({0x06})) request = PlcRequest::kConfirmA;
  if (request == PlcRequest::kUnknown) {
    return {length, request,
            Format("function 0x64 command of %zu bytes beginning 0x%02X is unknown", command.size(),
                   command[0])};
  }
  if (message[2] != 0x01) {
    return {length, request,
            Format("function 0x64 frame with 0x%02X where 0x01 belongs", message[2])};
  }
  const bool aio = IsAioModel(model());
  const uint8_t wanted = request == PlcRequest::kVersionA || !aio ? kSubCode : kAioSubCode;
  if (message[3] != wanted) {
    return {length, request,
            Format("sub-code 0x%02X, the PLC takes 0x%02X for this request", message[3], wanted)};
  }
  return {length, request, {}};
}

PlcSimulator::Parsed PlcSimulator::ParseLoaderCommand() const {
  static constexpr std::pair<PlcRequest, std::string_view> kWords[] = {
      {PlcRequest::kId, "ID"},
      {PlcRequest::kVersion, "VERSION"},
      {PlcRequest::kErase, "ERASE"},
      {PlcRequest::kUpdate, "UPDATE"},
  };
  for (const auto& [request, word] : kWords) {
    if (pending_.front() != static_cast<uint8_t>(word.front())) continue;
    size_t i = 1;
    while (i < word.size() && i < pending_.size() && pending_[i] == static_cast<uint8_t>(word[i])) {
      ++i;
    }
    if (i == word.size()) return {i, request, {}};
    if (i == pending_.size()) return {0, request, {}};  // more to come
    return {i, PlcRequest::kUnknown,
            Format("unknown loader command beginning \"%.*s\" followed by 0x%02X",
                   static_cast<int>(i), word.data(), pending_[i])};
  }
  return {1, PlcRequest::kUnknown, "unknown loader command"};
}

PlcSimulator::Parsed PlcSimulator::ParseBlock() const {
  const size_t length = blockBytes_ + 5;
  if (pending_.size() < length) return {0, PlcRequest::kBlock, {}};
  return {length, PlcRequest::kBlock, {}};
}

// --- Requests --------------------------------------------------------------

void PlcSimulator::Handle(const Parsed& parsed) {
  const std::span<const uint8_t> bytes(pending_.data(), parsed.length);
  const PlcRequest request = parsed.request;
  const bool kept = record_.requests.size() < kMaxRequests;
  if (kept) {
    PlcRequestRecord entry{
        mode_, request, record_.connections, static_cast<uint32_t>(parsed.length), {}, {}, {}};
    const size_t keep = request == PlcRequest::kBlock ? kBlockHeader : kMaxKeptBytes;
    entry.bytes.assign(bytes.begin(),
                       bytes.begin() + static_cast<std::ptrdiff_t>(std::min(keep, bytes.size())));
    record_.requests.push_back(std::move(entry));
  } else {
    ++record_.requestsDropped;
  }
  auto noteFault = [&](const PlcFault& fault) {
    if (kept) record_.requests.back().fault = std::string(FaultKindName(fault.kind));
  };
  auto send = [&](const std::vector<uint8_t>& reply) {
    output_.insert(output_.end(), reply.begin(), reply.end());
    if (kept) record_.requests.back().reply = reply;
  };

  const bool confirmExpected = eraseAccepted_;
  eraseAccepted_ = false;
  ++totalReceptions_;
  const uint32_t reception = ++receptions_[static_cast<int>(request)];

  if (!parsed.problem.empty()) {
    Violation(parsed.problem);
    return;  // what a PLC cannot read it does not answer
  }
  if (mode_ == PlcMode::kRestarting) {
    Violation(
        Format("%s while the PLC restarts into its loader: it waits for the link to be "
               "closed and opened again (replug or power cycle)",
               std::string(PlcRequestName(request)).c_str()));
    return;
  }
  if (settings_.checkLineSpeed && IsComModel()) {
    const LineSettings wanted = request == PlcRequest::kBlock || request == PlcRequest::kTransferEnd
                                    ? kLoaderLineSettings
                                    : kApplicationLineSettings;
    if (!SameLine(pendingLine_, wanted, pendingSpeedOnly_)) {
      Violation(Format("%s sent at %s while the PLC listens at %s: heard as noise",
                       std::string(PlcRequestName(request)).c_str(),
                       LineText(pendingLine_, pendingSpeedOnly_).c_str(),
                       LineText(wanted, pendingSpeedOnly_).c_str()));
      return;
    }
  }

  const bool retry = lastReplyLost_ && request == lastRequest_ && IsLoaderStep(request) &&
                     (request != PlcRequest::kBlock || bytes[1] == lastBlockNumber_);
  if (!retry) {
    const std::string order = OutOfOrder(request, confirmExpected);
    if (!order.empty()) {
      Violation(order);
      return;
    }
  }

  uint32_t faultCount = reception;
  uint32_t faultTarget = 0;  // blocks: the block index the fault is matched on
  if (request == PlcRequest::kBlock) {
    faultTarget = record_.blocksWritten + 1;
    faultCount = faultTarget <= blockTries_.size() ? ++blockTries_[faultTarget - 1] : 1;
  }
  const PlcFault* fault = FaultFor(request, faultCount, faultTarget);
  if (fault != nullptr) {
    noteFault(*fault);
    switch (fault->kind) {
      case FaultKind::kSilence: return;
      case FaultKind::kDisconnect:
        linkDropped_ = true;
        output_.clear();
        return;
      case FaultKind::kNak: send({kNakByte}); return;
      case FaultKind::kFlashWriteError: send({kFlashError}); return;
      case FaultKind::kRefuse:
        if (request == PlcRequest::kReadD1386 || request == PlcRequest::kReadD1001 ||
            request == PlcRequest::kReadD1148) {
          send(ExceptionReply(0x03, fault->refusalDetail));
        } else {
          const uint8_t sub =
              request != PlcRequest::kVersionA && IsAioModel(model()) ? kAioSubCode : kSubCode;
          send(Function64Reply(sub, kRefusal, fault->refusalClass, fault->refusalDetail));
        }
        return;
      default: break;  // the PLC acts; its reply is damaged below
    }
  }

  std::vector<uint8_t> reply = Act(request, bytes, retry);
  const std::vector<uint8_t> intended = reply;
  const bool late = fault != nullptr && fault->kind == FaultKind::kLate;
  if (fault != nullptr && !late) {
    Damage(fault->kind, reply);
    if (kept && reply == intended) record_.requests.back().fault += " (left the reply unchanged)";
  }
  FlipBits(reply);
  lastRequest_ = request;
  lastReplyLost_ = reply != intended || late;
  outputLate_ = outputLate_ || late;
  send(reply);
}

std::string PlcSimulator::OutOfOrder(PlcRequest request, bool confirmExpected) const {
  const std::string name(PlcRequestName(request));
  if (mode_ == PlcMode::kApplication) {
    if (request == PlcRequest::kConfirmA && !confirmExpected) {
      return "erase confirmation not right after an accepted erase request";
    }
    return {};
  }
  if (IsApplicationOnly(request)) {
    return name + " (an application-mode request) while the PLC runs its loader";
  }
  const bool needsVersion = ModelAt(settings_.model).variant == VariantCheck::kLoaderVersion;
  auto before = [&](const char* what) { return name + " before " + what; };
  switch (request) {
    case PlcRequest::kWakeUp:
    case PlcRequest::kCommCheck:
      if (step_ == Step::kFresh || step_ == Step::kChecked) return {};
      return name + " in the middle of the loader dialogue";
    case PlcRequest::kId:
      if (step_ == Step::kFresh) return before("the communication check");
      if (step_ == Step::kChecked || step_ == Step::kIdentified) return {};
      return "ID after the erase began";
    case PlcRequest::kVersion:
      if (!needsVersion) return "VERSION, which this model's dialogue does not have";
      if (step_ == Step::kFresh || step_ == Step::kChecked) return before("ID");
      if (step_ == Step::kIdentified) return {};
      return "VERSION after the erase began";
    case PlcRequest::kErase:
    case PlcRequest::kEraseEnd:
      if (step_ == Step::kFresh || step_ == Step::kChecked) return before("ID");
      if (step_ == Step::kIdentified && needsVersion && !versionRead_) {
        return before("VERSION, which this model needs");
      }
      if (step_ == Step::kIdentified || step_ == Step::kErasing) return {};
      return name + " after the erase was closed";
    case PlcRequest::kUpdate:
      if (step_ == Step::kErased) return {};
      if (step_ == Step::kUpdating || step_ == Step::kComplete) return "UPDATE a second time";
      return "UPDATE before the erase was closed with 0x04";
    case PlcRequest::kBlock:
      if (step_ == Step::kUpdating) return {};
      if (step_ == Step::kComplete) return "block after the final 0x04";
      return "block before UPDATE";
    case PlcRequest::kTransferEnd:
      if (step_ == Step::kUpdating) return {};
      return "final 0x04 a second time";
    default: return {};
  }
}

std::vector<uint8_t> PlcSimulator::Act(PlcRequest request, std::span<const uint8_t> bytes,
                                       bool retry) {
  if (mode_ == PlcMode::kApplication) return ActApplication(request);
  return ActLoader(request, bytes, retry);
}

std::vector<uint8_t> PlcSimulator::ActApplication(PlcRequest request) {
  const uint8_t sub = SubCodeOf(ModelAt(settings_.model));
  switch (request) {
    case PlcRequest::kWakeUp:
      return settings_.answerWakeUp ? ExceptionReply(0x7F, 0x01) : std::vector<uint8_t>{};
    case PlcRequest::kCommCheck: return Function64Reply(sub, 0x05, 0, 0);
    case PlcRequest::kIdentityA:
      return Function64Reply(sub, kAck, static_cast<uint8_t>(settings_.applicationId >> 8),
                             static_cast<uint8_t>(settings_.applicationId));
    case PlcRequest::kReadD1386: return RegisterReply(settings_.d1386);
    case PlcRequest::kReadD1001: return RegisterReply(settings_.d1001);
    case PlcRequest::kReadD1148: return RegisterReply(settings_.d1148);
    case PlcRequest::kVersionA:
      return Function64Reply(kSubCode, settings_.applicationVersion, 0, 0);
    case PlcRequest::kEraseA:
      if (settings_.eraseRestartsSilently) {
        Restart();
        return {};
      }
      eraseAccepted_ = true;
      return Function64Reply(sub, kAck, 0, 0);
    case PlcRequest::kConfirmA: Restart(); return {};
    default: return {};
  }
}

std::vector<uint8_t> PlcSimulator::ActLoader(PlcRequest request, std::span<const uint8_t> bytes,
                                             bool retry) {
  const std::string_view name = model();
  switch (request) {
    case PlcRequest::kWakeUp:
      return settings_.answerWakeUp ? ExceptionReply(0x7F, 0x01) : std::vector<uint8_t>{};
    case PlcRequest::kCommCheck:
      step_ = Step::kChecked;
      return Function64Reply(SubCodeOf(ModelAt(settings_.model)), kAck, 0, 0);
    case PlcRequest::kId:
      step_ = Step::kIdentified;
      return {kAck, static_cast<uint8_t>(settings_.loaderId >> 8),
              static_cast<uint8_t>(settings_.loaderId)};
    case PlcRequest::kVersion:
      versionRead_ = true;
      return {kAck, settings_.loaderVersion[0], settings_.loaderVersion[1]};
    case PlcRequest::kErase:
      if (retry) return {kAck};
      if (step_ != Step::kErasing) {
        step_ = Step::kErasing;
        record_.eraseSteps = 0;
        record_.blocksWritten = 0;
        record_.updateComplete = false;
        record_.flash.clear();
      }
      ++record_.eraseSteps;
      if (record_.eraseSteps > expectedErases_) {
        Violation(Format("erase step %u, but %s erases %u times for an image of %u bytes",
                         record_.eraseSteps, std::string(name).c_str(), expectedErases_,
                         settings_.imageSize));
      }
      return {kAck};
    case PlcRequest::kEraseEnd:
      if (retry) return {kAck};
      if (step_ != Step::kErasing) {  // no erase step at all
        record_.eraseSteps = 0;
        record_.blocksWritten = 0;
        record_.updateComplete = false;
        record_.flash.clear();
      }
      if (record_.eraseSteps != expectedErases_) {
        Violation(Format(
            "erase closed after %u steps, but %s erases %u times for an image of %u "
            "bytes",
            record_.eraseSteps, std::string(name).c_str(), expectedErases_, settings_.imageSize));
      }
      step_ = Step::kErased;
      return {kAck};
    case PlcRequest::kUpdate:
      if (retry) return {kAck};
      step_ = Step::kUpdating;
      record_.blocksWritten = 0;
      return {kAck};
    case PlcRequest::kBlock: return ActBlock(bytes, retry);
    case PlcRequest::kTransferEnd:
      if (retry) return {kAck};
      step_ = Step::kComplete;
      if (record_.blocksWritten != blockCount_) {
        Violation(Format("transfer closed after %u blocks, but an image of %u bytes takes %u",
                         record_.blocksWritten, settings_.imageSize, blockCount_));
      } else {
        record_.updateComplete = true;
        restartPending_ = true;
      }
      return {kAck};
    default: return {};
  }
}

std::vector<uint8_t> PlcSimulator::ActBlock(std::span<const uint8_t> packet, bool retry) {
  const uint32_t d = blockBytes_;
  const uint8_t number = packet[1];
  const uint8_t complement = packet[2];
  if (complement != static_cast<uint8_t>(255 - number)) {
    Violation(Format("block number 0x%02X with complement 0x%02X, not 0x%02X", number, complement,
                     255 - number));
    return {kNakByte};
  }
  const std::span<const uint8_t> data = packet.subspan(3, d);
  const uint16_t crc = SimCrc16(data);
  const uint16_t sent = static_cast<uint16_t>(packet[3 + d] << 8 | packet[4 + d]);
  if (crc != sent) {
    Violation(
        Format("block number 0x%02X carries CRC 0x%04X, its data give 0x%04X", number, sent, crc));
    return {kNakByte};
  }
  // The host did not take the first acknowledgement and sent the block again.
  if (retry) return {settings_.refuseRepeatedBlock ? kNakByte : kAck};
  const uint8_t expected = static_cast<uint8_t>(record_.blocksWritten + 1);
  if (number != expected) {
    Violation(Format("block number 0x%02X where block %u (number 0x%02X) belongs", number,
                     record_.blocksWritten + 1, expected));
    return {kNakByte};
  }
  const uint32_t index = record_.blocksWritten;
  if (index >= blockCount_) {
    Violation(Format("block %u, but an image of %u bytes takes %u", index + 1, settings_.imageSize,
                     blockCount_));
  } else if (index + 1 == blockCount_) {
    const uint32_t imageInLast = imageBytes_ - index * d;
    for (uint32_t i = imageInLast; i < d; ++i) {
      if (data[i] != kFill) {
        Violation(
            Format("last block: data byte %u is 0x%02X where the 0x1A fill belongs", i, data[i]));
        break;
      }
    }
  }
  const size_t at = static_cast<size_t>(index) * d;
  if (record_.flash.size() < at + d) record_.flash.resize(at + d, 0xFF);
  std::copy(data.begin(), data.end(), record_.flash.begin() + static_cast<std::ptrdiff_t>(at));
  ++record_.blocksWritten;
  lastBlockNumber_ = number;
  return {kAck};
}

void PlcSimulator::Restart() {
  if (settings_.staysInApplication) return;
  // R4 models keep the link and start the loader at once; the others wait
  // for the replug or the power cycle.
  if (ReconnectRuleOf(model()) == ReconnectRule::kR4) {
    mode_ = PlcMode::kLoader;
    step_ = Step::kFresh;
    versionRead_ = false;
  } else {
    mode_ = PlcMode::kRestarting;
  }
  restartPending_ = false;
}

const PlcFault* PlcSimulator::FaultFor(PlcRequest request, uint32_t count,
                                       uint32_t blockIndex) const {
  for (const PlcFault& fault : settings_.faults) {
    if (!PlcFaultProblem(fault).empty()) continue;
    const bool any = fault.request == PlcRequest::kUnknown;
    if (!any && fault.request != request) continue;
    if (fault.nth == 0) return &fault;
    if (request == PlcRequest::kBlock && !any) {
      if (fault.nth == blockIndex && count <= fault.times) return &fault;
      continue;
    }
    const uint32_t n = any ? totalReceptions_ : count;
    if (n >= fault.nth && n - fault.nth < fault.times) return &fault;
  }
  return nullptr;
}

void PlcSimulator::Damage(FaultKind kind, std::vector<uint8_t>& reply) const {
  if (reply.empty()) return;
  switch (kind) {
    case FaultKind::kShortReply: reply.pop_back(); break;
    case FaultKind::kLowerCase:
      for (size_t i = 1; i + 2 < reply.size(); ++i) {
        if (reply[i] >= 'A' && reply[i] <= 'F') reply[i] = static_cast<uint8_t>(reply[i] + 32);
      }
      break;
    case FaultKind::kGarbleLrc: {
      if (reply.size() < 5) break;
      static constexpr char kHex[] = "0123456789ABCDEF";
      const size_t at = reply.size() - 4;  // the LRC's two characters before CR LF
      const int high = HexDigit(reply[at]);
      const int low = HexDigit(reply[at + 1]);
      if (high < 0 || low < 0) break;
      const auto lrc = static_cast<uint8_t>(high * 16 + low + 1);
      reply[at] = static_cast<uint8_t>(kHex[lrc >> 4]);
      reply[at + 1] = static_cast<uint8_t>(kHex[lrc & 0x0F]);
      break;
    }
    default: break;
  }
}

bool PlcSimulator::FlipBits(std::vector<uint8_t>& reply) {
  if (settings_.bitErrorRate <= 0) return false;
  bool flipped = false;
  for (uint8_t& byte : reply) {
    for (int bit = 0; bit < 8; ++bit) {
      const double draw = static_cast<double>(SplitMix(rng_) >> 11) * 0x1.0p-53;
      if (draw < settings_.bitErrorRate) {
        byte = static_cast<uint8_t>(byte ^ (1u << bit));
        flipped = true;
      }
    }
  }
  return flipped;
}

void PlcSimulator::Violation(std::string reason) {
  if (record_.violations.size() >= kMaxViolations) {
    ++record_.violationsDropped;
    return;
  }
  record_.violations.push_back({totalReceptions_, std::move(reason)});
}
