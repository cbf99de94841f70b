// SPDX-License-Identifier: MIT
// One update of the soak as the operating system runs it: the burn talks
// through the POSIX serial link to morvix-plcsim, a process of its own on a
// pseudo-terminal, and every wait is real. The simulator is given the
// case's settings on its command line, and its record is read back from the
// report and the flash it writes when it ends.
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "catalogue/model_table.h"
#include "link/serial.h"
#include "soak/soak.h"
#include "support/child_process.h"
#include "support/instant_front_end.h"
#include "support/json_line.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::string Number(uint64_t value) { return std::to_string(value); }

// "--late block@5x2", "--refuse app-id@1:2:3", as morvix-plcsim takes them.
void AddFault(std::vector<std::string>& args, const PlcFault& fault) {
  if (fault.request == PlcRequest::kUnknown) {
    args.push_back("--silent");  // the only fault of every request
    return;
  }
  std::string target(PlcRequestName(fault.request));
  if (fault.nth != 0) target += "@" + Number(fault.nth) + "x" + Number(fault.times);
  if (fault.kind == FaultKind::kRefuse) {
    target += ":" + Number(fault.refusalClass) + ":" + Number(fault.refusalDetail);
  }
  args.push_back("--" + std::string(FaultKindName(fault.kind)));
  args.push_back(target);
}

std::vector<std::string> PlcsimArgs(const SoakCase& c, const std::string& link,
                                    const std::string& report, const std::string& flash,
                                    uint64_t timeoutSeconds) {
  const PlcSettings& s = c.plc;
  char rate[32];
  std::snprintf(rate, sizeof rate, "%.17g", s.bitErrorRate);
  std::vector<std::string> args = {
      "--link",           link,
      "--model",          ModelAt(c.model).name,
      "--image-size",     Number(c.imageSize),
      "--start-mode",     s.startMode == PlcMode::kLoader ? "loader" : "application",
      "--app-id",         Number(s.applicationId),
      "--loader-id",      Number(s.loaderId),
      "--app-version",    Number(s.applicationVersion),
      "--loader-version", Number(s.loaderVersion[0]) + "," + Number(s.loaderVersion[1]),
      "--d1386",          Number(s.d1386),
      "--d1001",          Number(s.d1001),
      "--d1148",          Number(s.d1148),
      "--reply-delay",    Number(s.replyDelayMs),
      "--late-by",        Number(s.lateReplyMs),
      "--repeated-block", s.refuseRepeatedBlock ? "refuse" : "ack",
      "--bit-errors",     rate,
      "--seed",           Number(s.bitErrorSeed),
      "--report",         report,
      "--flash-out",      flash,
      "--timeout",        Number(timeoutSeconds)};
  args.push_back(s.eraseRestartsSilently ? "--silent-erase" : "--erase-reply");
  if (!s.answerWakeUp) args.push_back("--no-wake-reply");
  if (!s.checkLineSpeed) args.push_back("--no-speed-check");
  if (s.staysInApplication) args.push_back("--stays-in-application");
  for (const PlcFault& fault : s.faults) AddFault(args, fault);
  return args;
}

std::vector<uint8_t> ReadBytes(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

std::vector<uint8_t> BytesOf(const std::string& text) { return {text.begin(), text.end()}; }

// The record as the simulator's report gives it; a report that cannot be
// read leaves a violation that says so, so that the update is judged wrong.
PlcRecord ReadRecord(const fs::path& report, const fs::path& flash) {
  PlcRecord record;
  const std::vector<uint8_t> text = ReadBytes(report);
  const auto members = json_line::ParseObjectLine(std::string(text.begin(), text.end()));
  auto unreadable = [&](const std::string& why) {
    record.violations.push_back({0, "the simulator's report " + why});
    return record;
  };
  if (!members) return unreadable("is missing or no JSON object");
  const auto& m = *members;
  for (const char* key : {"connections", "updateComplete", "violationCount", "violations",
                          "requestsDropped", "requests"}) {
    if (m.count(key) == 0) return unreadable(std::string("has no ") + key);
  }
  record.connections = static_cast<uint32_t>(std::stoul(m.at("connections")));
  record.updateComplete = m.at("updateComplete") == "true";
  record.requestsDropped = std::stoul(m.at("requestsDropped"));
  for (const std::string& element :
       json_line::ParseArray(m.at("violations")).value_or(std::vector<std::string>{})) {
    const auto v = json_line::ParseObjectLine(element);
    if (!v) return unreadable("has a violation that is no object");
    record.violations.push_back({std::stoul(v->at("request")), v->at("reason")});
  }
  const size_t violations = std::stoul(m.at("violationCount"));
  record.violationsDropped =
      violations > record.violations.size() ? violations - record.violations.size() : 0;
  for (const std::string& element :
       json_line::ParseArray(m.at("requests")).value_or(std::vector<std::string>{})) {
    const auto r = json_line::ParseObjectLine(element);
    if (!r) return unreadable("has a request that is no object");
    PlcRequestRecord entry{};
    entry.mode = r->at("mode") == PlcModeName(PlcMode::kLoader)       ? PlcMode::kLoader
                 : r->at("mode") == PlcModeName(PlcMode::kRestarting) ? PlcMode::kRestarting
                                                                      : PlcMode::kApplication;
    entry.request = PlcRequestByName(r->at("request")).value_or(PlcRequest::kUnknown);
    entry.connection = static_cast<uint32_t>(std::stoul(r->at("connection")));
    entry.length = static_cast<uint32_t>(std::stoul(r->at("length")));
    // A block keeps its header only: STX and its number are what is judged.
    entry.bytes = r->count("block") != 0
                      ? std::vector<uint8_t>{0x02, static_cast<uint8_t>(std::stoul(r->at("block")))}
                      : BytesOf(r->at("bytes"));
    entry.reply = BytesOf(r->at("reply"));
    if (r->count("fault") != 0) entry.fault = r->at("fault");
    entry.noisy = r->count("noisy") != 0;
    record.requests.push_back(std::move(entry));
  }
  record.flash = ReadBytes(flash);
  return record;
}

// Past its bound the update's link moves nothing and the burn is asked to
// stop, as in process.
class DeadlineLink final : public Link {
 public:
  DeadlineLink(std::unique_ptr<Link> inner, Clock::time_point deadline, CancelToken& cancel,
               bool& exceeded)
      : inner_(std::move(inner)), deadline_(deadline), cancel_(cancel), exceeded_(exceeded) {}
  size_t Write(const uint8_t* data, size_t n) override {
    return Allows() ? inner_->Write(data, n) : 0;
  }
  size_t Read(uint8_t* data, size_t n) override { return Allows() ? inner_->Read(data, n) : 0; }
  size_t Drain(uint8_t* data, size_t n, uint32_t quietMs) override {
    return Allows() ? inner_->Drain(data, n, quietMs) : 0;
  }
  void SetTimeouts(const Timeouts& timeouts) override { inner_->SetTimeouts(timeouts); }
  void ApplyLineSettings(const LineSettings& settings) override {
    inner_->ApplyLineSettings(settings);
  }

 private:
  bool Allows() {
    if (!exceeded_ && Clock::now() > deadline_) {
      exceeded_ = true;
      cancel_.Request();
    }
    return !exceeded_;
  }
  std::unique_ptr<Link> inner_;
  Clock::time_point deadline_;
  CancelToken& cancel_;
  bool& exceeded_;
};

}  // namespace

SoakRun RunSoakCaseOverPty(const SoakCase& c, const std::string& plcsim,
                           const std::string& folder) {
  SoakRun run;
  run.boundNanos = SoakBoundNanos(c);
  const fs::path dir = folder;
  const std::string link = (dir / "ttyPLC").string();
  const fs::path report = dir / "report.json";
  const fs::path flash = dir / "flash.bin";
  // The simulator outlives the update's bound by a margin, never for ever.
  const uint64_t boundSeconds = run.boundNanos / 1000000000 + 1;
  ChildProcess plc(plcsim, PlcsimArgs(c, link, report.string(), flash.string(), boundSeconds + 60));
  if (plc.NextLine(std::chrono::seconds(10)) != "ready " + link) {
    run.record.violations.push_back({0, "morvix-plcsim did not start"});
    return run;
  }

  const auto start = Clock::now();
  CancelToken cancel;
  bool opened = false;
  InstantFrontEnd environment([&]() -> LinkOpening {
    // The simulator tells a new connection from the old by the close and
    // open it sees; a reopen in the same moment could be taken for neither.
    if (opened) std::this_thread::sleep_for(std::chrono::milliseconds(200));
    opened = true;
    LinkOpening opening = OpenSerialLink(link);
    if (!opening) return opening;
    opening.link = std::make_unique<DeadlineLink>(std::move(opening.link),
                                                  start + std::chrono::nanoseconds(run.boundNanos),
                                                  cancel, run.boundExceeded);
    return opening;
  });
  SoakImageSource image(c.imageSize);
  run.result = StartBurn({ModelAt(c.model), image, environment, environment, cancel, false});
  run.prompts = std::move(environment.prompts);
  run.simulatedNanos = static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count());
  // What it still sends after the end is no longer heard by anybody.
  if (plc.Stop(SIGTERM) < 0) run.record.violations.push_back({0, "morvix-plcsim did not end"});
  PlcRecord record = ReadRecord(report, flash);
  record.violations.insert(record.violations.begin(), run.record.violations.begin(),
                           run.record.violations.end());
  run.record = std::move(record);
  return run;
}
