// SPDX-License-Identifier: MIT
// What an update's faults call for, and whether it ended so.
//
// The judge reads only the simulator's record: each request the PLC heard,
// the fault or noise that hit it, and the reply it sent. From the PLC's side
// it works out what the tool can have read:
//
// - Requests in a row to the same step (same request, same block, same
//   link) after a reply the tool may have refused are the attempts of one
//   exchange. An attempt is *bad* when the tool cannot have accepted what it
//   read (no reply, a short one, a refusal, a NAK, a damaged LRC or
//   hexadecimal, a loader reply not led by 0x06, a reply later than the tool
//   listens, a link that dropped), *maybe bad* when noise flipped bits the
//   tool may not look at. A reply later than the 3 s read but within the
//   200 ms the tool then listens is taken for its request; one later still
//   is read by the next attempt instead of that attempt's own reply.
// - An update MUST end at the first of: an exchange with as many bad
//   attempts as its budget (6; 1 for a GL30-family erase step); a link that
//   dropped with no reconnect to follow; a 0x16 read in the transfer; a
//   loader version the model refuses; a PLC still in its firmware at the
//   fourth pass. It must end there with that step's message, and nothing may
//   be sent after it.
// - It MAY end earlier, at its last exchange, with that step's message, when
//   its bad and maybe-bad attempts and the late replies around it (each can
//   spoil one read) add up to the budget.
// - Otherwise it must succeed, with the image in the flash.
//
// The messages are written here as the operator reads them, not taken from
// the tool, so that a wrong table in the tool cannot hide behind the judge.
#include <algorithm>
#include <cstdio>
#include <optional>
#include <set>

#include "catalogue/model_table.h"
#include "soak/soak.h"

namespace {

constexpr char kNoResponse1[] = "NO RESPONSE @ State 1";
constexpr char kNoResponse2[] = "NO RESPONSE @ State 2";
constexpr char kNoResponse3[] = "NO RESPONSE @ State 3";
constexpr char kWrongType[] = "PLC type is WRONG";
constexpr char kRunMode[] = "PLC in RUN MODE";
constexpr char kVersionUnread[] = "PLC DOES NOT respond to the version read";
constexpr char kEraseUnanswered[] = "PLC DOES NOT respond to the erasing signal";
constexpr char kUpdateUnanswered[] = "PLC DOES NOT respond to the update signal";
constexpr char kTransferFailed[] = "Firmware update is FAILED";
constexpr char kFlashWrite[] =
    "Flash write error, maybe due to flash write protection. RE-POWER PLC and update FW again";
constexpr char kNoLoader[] =
    "PLC DOES NOT restart into its loader (asked 3 times). RE-POWER PLC and update FW again";
constexpr char kUsbSuccess[] = "Firmware update is SUCCESSFUL!, please REPLUG the USB cable";
constexpr char kComSuccess[] = "Firmware update is SUCCESSFUL";
constexpr char kReplugPrompt[] = "Please REPLUG the USB Cable, and then press OK to continue";
constexpr char kOutOfStep[] = "a reply behind after two late replies in a row";
constexpr char kPowerCyclePrompt[] = "Please POWER OFF=>ON the PLC, and then press OK to continue";

// The first reply bytes of every loader reply: its acknowledgement.
constexpr uint8_t kAck = 0x06;
constexpr uint8_t kFlashError = 0x16;
// The tool reads for 3 s and then listens until the line has been quiet for
// 200 ms: a reply later than this after its request is not taken for it.
constexpr uint32_t kListensMs = 3200;

using Messages = std::set<std::string>;

struct Judging {
  const SoakCase& c;
  const ModelRules& rules;
  bool r3;  // restarts on the erase request, perhaps without a reply
};

uint32_t ReplySize(PlcRequest request) {
  switch (request) {
    case PlcRequest::kCommCheck:
    case PlcRequest::kIdentityA:
    case PlcRequest::kVersionA:
    case PlcRequest::kEraseA: return 19;
    case PlcRequest::kReadD1386:
    case PlcRequest::kReadD1001:
    case PlcRequest::kReadD1148: return 15;
    case PlcRequest::kId:
    case PlcRequest::kVersion: return 3;
    default: return 1;
  }
}

bool IsLoaderStep(PlcRequest request) {
  return request >= PlcRequest::kId && request <= PlcRequest::kTransferEnd;
}

// Requests the tool sends as exchanges with a retry budget (not the wake-up
// burst, whose replies it ignores, nor the erase confirmation, which has
// none).
bool IsExchange(PlcRequest request) {
  return request != PlcRequest::kWakeUp && request != PlcRequest::kConfirmA &&
         request != PlcRequest::kUnknown;
}

std::string FaultKindOf(const PlcRequestRecord& r) { return r.fault.substr(0, r.fault.find(' ')); }

struct JudgedAttempt {
  size_t number;                   // in the record, from 1
  const PlcRequestRecord* record;  // what the PLC heard and sent
  const PlcRequestRecord* taken;   // whose reply the tool read: its own, or a late one's
  bool bad = false;
  bool maybeBad = false;
  bool late = false;            // a late fault held its reply back
  bool lateBeyond = false;      // later than the tool listens
  bool dropped = false;         // the link dropped on it
  bool restartAssumed = false;  // R3: no full reply to the erase request is the restart
};

// What the tool read for `a` from the reply of `a.taken`.
void JudgeReply(const Judging& j, JudgedAttempt& a) {
  const PlcRequestRecord& r = *a.taken;
  const std::string kind = FaultKindOf(*a.record);
  const bool unchanged = a.record->fault.find("unchanged") != std::string::npos;
  const std::vector<uint8_t>& reply = r.reply;
  const PlcRequest request = a.record->request;
  if (j.r3 && request == PlcRequest::kEraseA &&
      (a.dropped || (a.lateBeyond && a.taken == a.record) || reply.size() < ReplySize(request))) {
    a.restartAssumed = true;
    return;
  }
  bool bad =
      a.dropped || (a.lateBeyond && a.taken == a.record) || reply.size() < ReplySize(request);
  if (!bad && IsLoaderStep(request)) bad = reply[0] != kAck;
  // The PLC's own damage, unless the fault left the reply as it was. A
  // refused version query is read as version 0x15, by design.
  if (a.taken == a.record && !unchanged &&
      (kind == "garble-lrc" || kind == "lower-case" ||
       (kind == "refuse" && request != PlcRequest::kVersionA))) {
    bad = true;
  }
  a.bad = bad;
  a.maybeBad = bad || r.noisy;
}

struct ExchangeRun {
  PlcRequest request;
  uint32_t connection;
  int block;  // block number, -1 for other requests
  bool application;
  std::vector<JudgedAttempt> attempts;

  int Bad() const {
    return static_cast<int>(std::count_if(attempts.begin(), attempts.end(),
                                          [](const JudgedAttempt& a) { return a.bad; }));
  }
  int MaybeBad() const {
    return static_cast<int>(std::count_if(attempts.begin(), attempts.end(),
                                          [](const JudgedAttempt& a) { return a.maybeBad; }));
  }
  int Late() const {
    return static_cast<int>(std::count_if(attempts.begin(), attempts.end(),
                                          [](const JudgedAttempt& a) { return a.late; }));
  }
  const JudgedAttempt& Last() const { return attempts.back(); }
  bool Dropped() const { return Last().dropped; }
};

std::vector<ExchangeRun> ExchangesOf(const Judging& j, const PlcRecord& record) {
  std::vector<ExchangeRun> runs;
  for (size_t i = 0; i < record.requests.size(); ++i) {
    const PlcRequestRecord& r = record.requests[i];
    JudgedAttempt a{i + 1, &r, &r};
    const std::string kind = FaultKindOf(r);
    a.dropped = kind == "disconnect";
    a.late = kind == "late";
    a.lateBeyond = a.late && j.c.plc.lateReplyMs + j.c.plc.replyDelayMs >= kListensMs;
    const int block = r.request == PlcRequest::kBlock && r.bytes.size() > 1 ? r.bytes[1] : -1;
    ExchangeRun* run = runs.empty() ? nullptr : &runs.back();
    const bool sameStep = run != nullptr && run->request == r.request &&
                          run->connection == r.connection && run->block == block;
    // The tool never sends a request twice in a row but to retry it (the
    // wake-up frames of a pass are one burst; passes are apart), except
    // "ERASE", whose steps are alike: one is a retry only after a reply the
    // tool may have refused.
    const bool joins = sameStep && (r.request != PlcRequest::kErase || run->Last().maybeBad);
    if (joins && run->Last().lateBeyond && !a.dropped) a.taken = run->Last().taken;
    JudgeReply(j, a);
    if (!joins) {
      runs.push_back({r.request, r.connection, block, r.mode == PlcMode::kApplication, {}});
      run = &runs.back();
    }
    run->attempts.push_back(a);
  }
  return runs;
}

// The first exchange after which the tool may be a reply behind, if any:
// one that ended by taking an earlier attempt's late reply while its last
// attempt's own reply was late as well, and so still on its way. Nothing in
// a 1-byte acknowledgement or a register's value says which request it
// answers, so no rule of the tool can tell that reply from the next
// request's: two late replies in a row are a limit of the protocol.
std::optional<size_t> OutOfStepFrom(const std::vector<ExchangeRun>& xs) {
  for (size_t i = 0; i < xs.size(); ++i) {
    const JudgedAttempt& last = xs[i].Last();
    if (IsExchange(xs[i].request) && last.lateBeyond && last.taken != last.record && !last.bad &&
        !last.restartAssumed) {
      return i;
    }
  }
  return std::nullopt;
}

// The message a refusal of an application-mode step ends with: class 0x02
// is the wrong PLC type whatever its detail, class 0x01 at the
// communication check a PLC in RUN mode, anything else an unknown code.
std::optional<std::string> RefusalMessage(int state, const PlcRequestRecord& r) {
  // ':' then station, function, 0x01, sub-code, status, class, detail as hex.
  if (r.reply.size() != 19) return std::nullopt;
  auto byte = [&](size_t at) {
    return std::stoi(std::string(r.reply.begin() + static_cast<std::ptrdiff_t>(at),
                                 r.reply.begin() + static_cast<std::ptrdiff_t>(at) + 2),
                     nullptr, 16);
  };
  if (byte(9) != 0x15) return std::nullopt;
  const int refusalClass = byte(11);
  if (refusalClass == 2) return kWrongType;
  if (refusalClass == 1 && state == 1) return kRunMode;
  return "UNKNOWN ERROR CODE @ State " + std::to_string(state);
}

// The messages an exchange of this step ends with when it runs out of
// attempts; none when running out does not end the update.
Messages ExhaustedMessages(const Judging& j, const ExchangeRun& x) {
  // The tool words the exhaustion from the last reply it read: a refusal by
  // its class, anything else as no response. Noise may have made a refusal
  // unreadable, or made one out of another reply.
  auto withRefusals = [&](int state, const char* noResponse) {
    const PlcRequestRecord& last = *x.Last().taken;
    std::optional<std::string> refusal;
    try {
      refusal = RefusalMessage(state, last);
    } catch (const std::exception&) {  // noise made the hexadecimal unreadable
    }
    if (last.noisy) return refusal ? Messages{noResponse, *refusal} : Messages{noResponse};
    return refusal ? Messages{*refusal} : Messages{noResponse};
  };
  switch (x.request) {
    case PlcRequest::kCommCheck: return withRefusals(1, kNoResponse1);
    case PlcRequest::kIdentityA: return withRefusals(2, kNoResponse2);
    case PlcRequest::kReadD1386:
    case PlcRequest::kReadD1001:
    case PlcRequest::kReadD1148: return {kNoResponse2};
    case PlcRequest::kVersionA: {
      // Unanswered, the version reads 0.
      const char* refusal = LoaderVersionRefusal(j.rules.name, 0);
      return refusal != nullptr ? Messages{refusal} : Messages{};
    }
    case PlcRequest::kEraseA: return withRefusals(3, kNoResponse3);
    case PlcRequest::kId: return {kWrongType};
    case PlcRequest::kVersion: return {kVersionUnread};
    case PlcRequest::kErase:
    case PlcRequest::kEraseEnd: return {kEraseUnanswered};
    case PlcRequest::kUpdate: return {kUpdateUnanswered};
    case PlcRequest::kBlock:
    case PlcRequest::kTransferEnd: return {kTransferFailed};
    default: return {};
  }
}

int BudgetOf(const Judging& j, const ExchangeRun& x) {
  return x.request == PlcRequest::kErase && EraseStepHasOneAttempt(j.rules.name) ? 1 : 6;
}

// What follows a link that dropped on a request of `x`: the message of the
// step that then runs out of attempts on the dead link, or nothing when the
// reconnect step opens the link anew.
Messages AfterTheDrop(const Judging& j, const ExchangeRun& x) {
  const bool keepsLink = ReconnectRuleOf(j.rules.name) == ReconnectRule::kR4;
  switch (x.request) {
    case PlcRequest::kWakeUp: return {kNoResponse1};
    case PlcRequest::kConfirmA: return keepsLink ? Messages{kNoResponse1} : Messages{};
    case PlcRequest::kVersionA:
      if (const char* refusal = LoaderVersionRefusal(j.rules.name, 0)) return {refusal};
      // Read as 0 and accepted: the erase request meets the dead link.
      return j.r3 ? Messages{} : Messages{kNoResponse3};
    case PlcRequest::kEraseA: return j.r3 ? Messages{} : Messages{kNoResponse3};
    default: return ExhaustedMessages(j, x);
  }
}

struct Requirement {
  size_t exchange;  // index of the exchange the update must end at
  Messages messages;
  std::string why;
};

std::string Join(const Messages& messages) {
  std::string out;
  for (const std::string& m : messages) out += (out.empty() ? "\"" : " or \"") + m + "\"";
  return out.empty() ? "(no message)" : out;
}

std::string Where(const ExchangeRun& x) {
  char text[80];
  if (x.block >= 0) {
    std::snprintf(text, sizeof text, "block 0x%02X at request #%zu", x.block,
                  x.attempts.front().number);
  } else {
    std::snprintf(text, sizeof text, "%s at request #%zu",
                  std::string(PlcRequestName(x.request)).c_str(), x.attempts.front().number);
  }
  return text;
}

// The first place the update must end, if any.
std::optional<Requirement> FirstRequiredEnd(const Judging& j, const std::vector<ExchangeRun>& xs) {
  int applicationPasses = 0;
  for (size_t i = 0; i < xs.size(); ++i) {
    const ExchangeRun& x = xs[i];
    if (x.Dropped()) {
      const Messages after = AfterTheDrop(j, x);
      if (!after.empty()) return Requirement{i, after, "the link dropped on " + Where(x)};
      continue;
    }
    if (!IsExchange(x.request)) continue;
    if (x.request == PlcRequest::kBlock || x.request == PlcRequest::kTransferEnd) {
      // Read as the reply, or heard while the line was let go quiet after
      // a late one was taken: the tool sees every byte of the transfer.
      for (const JudgedAttempt& a : x.attempts) {
        for (const PlcRequestRecord* r : {a.taken, a.record}) {
          if (std::find(r->reply.begin(), r->reply.end(), kFlashError) != r->reply.end()) {
            return Requirement{i, {kFlashWrite}, "the loader's 0x16 on " + Where(x)};
          }
        }
      }
    }
    if (x.request == PlcRequest::kVersion && !x.Last().bad) {
      const auto& reply = x.Last().taken->reply;
      const auto version = static_cast<uint8_t>(reply[1] << 4 | reply[2] >> 4);
      if (const char* refusal = LoaderVersionRefusal(j.rules.name, version)) {
        char why[80];
        std::snprintf(why, sizeof why, "loader version 0x%02X read at ", version);
        return Requirement{i, {refusal}, why + Where(x)};
      }
    }
    if (x.request == PlcRequest::kCommCheck && x.application && !x.Last().maybeBad &&
        ++applicationPasses == 4) {
      return Requirement{i, {kNoLoader}, "the firmware still running at " + Where(x)};
    }
    const Messages exhausted = ExhaustedMessages(j, x);
    if (!exhausted.empty() && x.Bad() >= BudgetOf(j, x)) {
      return Requirement{i, exhausted, std::to_string(x.Bad()) + " bad replies to " + Where(x)};
    }
  }
  return std::nullopt;
}

// Whether the update may have ended at `x`, the last exchange, with
// `message`, though nothing required it: the attempts that may have failed,
// and the late replies around it that may each have spoilt one read, fill
// its budget.
bool MayEndAt(const Judging& j, const std::vector<ExchangeRun>& xs, size_t i,
              const std::string& message) {
  const ExchangeRun& x = xs[i];
  if (message == kNoLoader) {
    const auto passes = std::count_if(
        xs.begin(), xs.begin() + static_cast<std::ptrdiff_t>(i) + 1,
        [](const ExchangeRun& e) { return e.request == PlcRequest::kCommCheck && e.application; });
    return x.request == PlcRequest::kCommCheck && passes >= 4;
  }
  // After a late reply the tool waits for the replies still owed; one that
  // comes damaged answers nothing it can name, and the update ends unclosed.
  const bool owedReplyDamaged =
      std::any_of(x.attempts.begin(), x.attempts.end(), [](const JudgedAttempt& a) {
        return a.taken != a.record && (a.record->noisy || !a.record->fault.empty());
      });
  if (message == kTransferFailed && IsLoaderStep(x.request) && ReplySize(x.request) == 1 &&
      owedReplyDamaged) {
    return true;
  }
  if (!ExhaustedMessages(j, x).contains(message)) return false;
  int late = x.Late();
  for (size_t k = i >= 2 ? i - 2 : 0; k < i; ++k) late += xs[k].Late();
  return x.MaybeBad() + late >= BudgetOf(j, x);
}

// The block number of a block packet, -1 for any other request.
int BlockNumberOf(const PlcRequestRecord& r) {
  return r.request == PlcRequest::kBlock && r.bytes.size() > 1 ? r.bytes[1] : -1;
}

// Whether the step of request `at`, sent again, never had an acknowledgement
// the tool could take: every earlier attempt's reply was refused, or never
// reached the tool as the PLC sent it (damaged, delayed, or let go behind a
// damaged late reply that attempt read instead: `carried`), and at least one
// was lost so.
bool AcknowledgementLost(const PlcRecord& record, const std::vector<bool>& carried, size_t at) {
  const PlcRequestRecord& r = record.requests[at];
  bool lost = false;
  for (size_t k = at; k-- > 0;) {
    const PlcRequestRecord& e = record.requests[k];
    if (e.request != r.request || e.connection != r.connection ||
        BlockNumberOf(e) != BlockNumberOf(r)) {
      break;
    }
    const bool mangled = !e.fault.empty() || e.noisy || carried[k];
    if (!mangled && e.reply == std::vector<uint8_t>{kAck}) return false;
    lost = lost || mangled;
  }
  return lost;
}

// Violations the faults cause by design, with their cause; empty for one
// that is the tool's.
//
// - A step the PLC completed but whose acknowledgement the tool never read
//   as sent is, rightly, sent again until its attempts run out; the
//   simulator takes only the first repeat for the retry it is and calls
//   each later one out of order (a block it has written, UPDATE or the
//   final 0x04 a second time). A loader that refuses repeated blocks makes
//   this certain once a block's acknowledgement is lost.
// - After two late replies in a row the tool may be a reply behind (see
//   OutOfStepFrom), and what it sends from then on may be out of order.
// - "ERASE" again after a reply the simulator damaged or delayed is, to it,
//   the retry of the same step. When the tool did take that reply (late, but
//   while it still listened), the next "ERASE" was the next step, and the
//   simulator counts one step too few. So it does when a damaged or
//   delayed reply is followed by a step the PLC did not hear: the step
//   after it is taken for the retry. The tool's steps are counted here.
// - An erase request whose acceptance came late and whose retry the PLC
//   refused (or did not hear): the tool, rightly, confirms the acceptance it
//   read, which the PLC no longer waits for.
std::string ExcusedBecause(const Judging& j, const PlcRecord& record,
                           const std::vector<ExchangeRun>& xs, const std::vector<bool>& carried,
                           const PlcViolation& v, size_t outOfStepFrom) {
  if (v.request >= outOfStepFrom) return kOutOfStep;
  if (v.request == 0 || v.request > record.requests.size()) return {};
  const size_t at = v.request - 1;
  const PlcRequestRecord& r = record.requests[at];
  unsigned number = 0, expected = 0, steps = 0, due = 0;
  const bool repeatedBlock =
      r.request == PlcRequest::kBlock &&
      std::sscanf(v.reason.c_str(), "block number 0x%X where block %*u (number 0x%X) belongs",
                  &number, &expected) == 2 &&
      static_cast<int>(number) == BlockNumberOf(r) && static_cast<uint8_t>(number + 1) == expected;
  const bool repeatedStep = v.reason == "final 0x04 a second time" ||
                            v.reason == "UPDATE a second time" ||
                            v.reason == "erase-eot after the erase was closed";
  if (repeatedBlock || repeatedStep) {
    if (!AcknowledgementLost(record, carried, at)) return {};
    return repeatedBlock && j.c.plc.refuseRepeatedBlock
               ? "a repeated block refused after its acknowledgement was lost"
               : "a completed step sent again, its acknowledgement lost";
  }
  if (r.request == PlcRequest::kConfirmA && at > 0 &&
      v.reason.starts_with("erase confirmation not right after") &&
      record.requests[at - 1].request == PlcRequest::kEraseA &&
      !record.requests[at - 1].fault.empty()) {
    for (size_t k = at - 1; k-- > 0 && record.requests[k].request == PlcRequest::kEraseA;) {
      if (FaultKindOf(record.requests[k]) == "late") {
        return "an erase confirmed on a late acceptance, its retry refused";
      }
    }
    return {};
  }
  if (r.request == PlcRequest::kEraseEnd &&
      std::sscanf(v.reason.c_str(), "erase closed after %u steps, but %*s erases %u times", &steps,
                  &due) == 2) {
    // The steps the tool made: the exchanges of "ERASE" just before this
    // 0x04 (and its retries), each ended by a reply it took.
    size_t end = at;
    while (end > 0 && record.requests[end - 1].request == PlcRequest::kEraseEnd) --end;
    size_t begin = end;
    while (begin > 0 && record.requests[begin - 1].request == PlcRequest::kErase) --begin;
    const auto made = std::count_if(xs.begin(), xs.end(), [&](const ExchangeRun& x) {
      const size_t first = x.attempts.front().number - 1;
      return x.request == PlcRequest::kErase && first >= begin && first < end;
    });
    if (steps < due && made == static_cast<std::ptrdiff_t>(due)) {
      return "an erase step the simulator took for a retry";
    }
    return {};
  }
  return {};
}

}  // namespace

SoakVerdict JudgeSoakRun(const SoakCase& c, const SoakRun& run) {
  const ModelRules& rules = ModelAt(c.model);
  const Judging j{c, rules, ReconnectRuleOf(rules.name) == ReconnectRule::kR3};
  const PlcRecord& record = run.record;
  SoakVerdict verdict;
  auto problem = [&](std::string text) { verdict.problems.push_back(std::move(text)); };

  const std::vector<ExchangeRun> xs = ExchangesOf(j, record);
  const std::optional<Requirement> required = FirstRequiredEnd(j, xs);
  const std::optional<size_t> outOfStep = OutOfStepFrom(xs);
  std::vector<bool> carried(record.requests.size(), false);
  for (const ExchangeRun& x : xs) {
    for (const JudgedAttempt& a : x.attempts) carried[a.number - 1] = a.taken != a.record;
  }
  // The requests from the one after which the tool may be a reply behind.
  const size_t outOfStepFrom =
      outOfStep ? xs[*outOfStep].attempts.front().number : record.requests.size() + 1;
  // An end the faults called for, unless the tool may be a reply behind by
  // then: where and how it ends is then no longer up to the tool.
  const bool anyEnd = outOfStep && (!required || required->exchange > *outOfStep);
  auto wrongEnd = [&](std::string text) {
    if (anyEnd) {
      verdict.excused.push_back(std::string("an end out of step: ") + kOutOfStep);
    } else {
      problem(std::move(text));
    }
  };
  verdict.calledFor =
      required ? "an end at " + required->why + ": " + Join(required->messages) : "success";

  if (run.boundExceeded) {
    char text[120];
    std::snprintf(text, sizeof text, "stopped at its bound of %.1f s of simulated time",
                  static_cast<double>(run.boundNanos) / 1e9);
    problem(text);
  }
  size_t shown = 0;
  for (const PlcViolation& v : record.violations) {
    const std::string excuse = ExcusedBecause(j, record, xs, carried, v, outOfStepFrom);
    if (!excuse.empty()) {
      verdict.excused.push_back(excuse);
    } else if (shown++ < 5) {
      problem("violation at request #" + std::to_string(v.request) + ": " + v.reason);
    }
  }
  if (record.violationsDropped > 0) problem("the record dropped violations");
  if (record.requestsDropped > 0) problem("the record overflowed");

  // One prompt before each reopen, worded by the reconnect rule.
  const ReconnectRule reconnect = ReconnectRuleOf(rules.name);
  const std::string prompt = reconnect == ReconnectRule::kR3 ? kPowerCyclePrompt : kReplugPrompt;
  if (run.prompts.size() + 1 != record.connections) {
    problem(std::to_string(run.prompts.size()) + " prompts for " +
            std::to_string(record.connections) + " links opened");
  }
  for (const std::string& p : run.prompts) {
    if (p != prompt) problem("prompt \"" + p + "\", not \"" + prompt + "\"");
  }

  const BurnResult& result = run.result;
  const bool usb = rules.link == LinkKind::kUsb;
  switch (result.outcome) {
    case BurnOutcome::kSucceeded: {
      if (required) wrongEnd("succeeded, though " + verdict.calledFor);
      const std::string text = usb ? kUsbSuccess : kComSuccess;
      const std::string caption = usb ? "Information" : "INFORMATION";
      if (result.message != text || result.caption != caption) {
        problem("success worded \"" + result.caption + ": " + result.message + "\"");
      }
      // The closing 0x04 goes out only after every block's own
      // acknowledgement, and success only on the close's: late replies or
      // not, a success the PLC did not confirm is never excused.
      if (!record.updateComplete) problem("succeeded, but the PLC never completed the update");
      if (record.flash != SoakExpectedFlash(c.model, c.imageSize)) {
        problem("succeeded, but the flash is not the image");
      }
      break;
    }
    case BurnOutcome::kFailed: {
      if (result.caption != "ERROR") problem("failure captioned \"" + result.caption + "\"");
      if (xs.empty()) {
        problem("failed with \"" + result.message + "\" before the PLC heard anything");
        break;
      }
      const size_t last = xs.size() - 1;
      if (required && required->exchange < last) {
        wrongEnd("went on past " + required->why + " to " + Where(xs[last]));
      } else if (required && required->exchange == last &&
                 required->messages.contains(result.message)) {
        break;
      } else if (!MayEndAt(j, xs, last, result.message)) {
        wrongEnd("failed with \"" + result.message + "\" at " + Where(xs[last]) + " (" +
                 std::to_string(xs[last].MaybeBad()) + " of its attempts may have failed), where " +
                 verdict.calledFor + " was called for");
      }
      break;
    }
    case BurnOutcome::kCancelled:
      if (!run.boundExceeded) problem("cancelled, though nobody asked it to stop");
      break;
    case BurnOutcome::kImageRefused:
    case BurnOutcome::kLinkNotOpened:
      problem("ended before the PLC was reached: " + result.message);
      break;
  }
  return verdict;
}
