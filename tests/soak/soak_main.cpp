// SPDX-License-Identifier: MIT
// soak: N complete updates on the simulated PLC with seeded faults, each
// judged against what its faults call for, then one table. Every update
// judged wrong is printed with the command that replays exactly it.
//
//   soak [COUNT] [--first SEED]   updates with seeds SEED .. SEED+COUNT-1 (default 500 from 1)
//   soak --replay SEED            one update, its faults and the simulator's record in full
//   --pty [--jobs N]              each update through the POSIX serial link against
//                                 morvix-plcsim on a pseudo-terminal, in real time, N at once
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "catalogue/model_table.h"
#include "soak/soak.h"

namespace {

constexpr int kShownFailures = 20;
constexpr size_t kListedSeeds = 200;

double Seconds(uint64_t nanos) { return static_cast<double>(nanos) / 1e9; }

class Tally {
 public:
  void Add(const SoakCase& c, const SoakRun& run, const SoakVerdict& verdict) {
    ++updates_;
    ++(c.plc.startMode == PlcMode::kApplication ? fromFirmware_ : fromLoader_);
    models_[c.model] = true;
    for (const PlcFault& f : c.plc.faults) ++injected_[std::string(FaultKindName(f.kind))];
    if (c.plc.bitErrorRate > 0) ++noisyUpdates_;
    if (c.plc.refuseRepeatedBlock) ++refusingUpdates_;
    if (c.plc.staysInApplication) ++stayingUpdates_;
    if (c.plc.pacing) ++pacedUpdates_;
    for (const PlcRequestRecord& r : run.record.requests) {
      if (!r.fault.empty()) ++hits_[r.fault.substr(0, r.fault.find(' '))];
      if (r.noisy) ++noisyReplies_;
      if (r.request == PlcRequest::kBlock && r.fault.empty() && r.reply.size() == 1 &&
          r.reply[0] == 0x15) {
        ++repeatsRefused_;
      }
    }
    if (run.result.outcome == BurnOutcome::kSucceeded) {
      ++successes_;
    } else {
      ++endings_[run.result.message.empty() ? "(no message: stopped)" : run.result.message];
    }
    if (run.simulatedNanos > longest_) {
      longest_ = run.simulatedNanos;
      longestCase_ = c;
      longestBound_ = run.boundNanos;
    }
    for (const std::string& cause :
         std::set<std::string>(verdict.excused.begin(), verdict.excused.end())) {
      ++excused_[cause];
    }
    if (!verdict.problems.empty()) {
      ++wrong_;
      if (wrongSeeds_.size() < kListedSeeds) wrongSeeds_.push_back(c.seed);
    }
  }

  void Print(uint64_t first, double cpuSeconds) const {
    std::printf("\nSoak of %llu updates, seeds %llu to %llu, %.1f s of CPU\n",
                static_cast<unsigned long long>(updates_), static_cast<unsigned long long>(first),
                static_cast<unsigned long long>(first + updates_ - 1), cpuSeconds);
    std::printf(
        "  %-34s %8llu  (%llu from the firmware, %llu from the loader; %zu models; "
        "%llu on a paced wire)\n",
        "updates", static_cast<unsigned long long>(updates_),
        static_cast<unsigned long long>(fromFirmware_),
        static_cast<unsigned long long>(fromLoader_), models_.size(),
        static_cast<unsigned long long>(pacedUpdates_));
    std::printf("  %-34s %8s  %s\n", "faults by kind", "injected", "requests hit");
    for (FaultKind kind : {FaultKind::kSilence, FaultKind::kRefuse, FaultKind::kGarbleLrc,
                           FaultKind::kLowerCase, FaultKind::kShortReply, FaultKind::kNak,
                           FaultKind::kFlashWriteError, FaultKind::kDisconnect, FaultKind::kLate}) {
      const std::string name(FaultKindName(kind));
      std::printf("    %-32s %8llu  %llu\n", name.c_str(),
                  static_cast<unsigned long long>(Get(injected_, name)),
                  static_cast<unsigned long long>(Get(hits_, name)));
    }
    std::printf("    %-32s %8llu  %llu replies\n", "bit errors (updates)",
                static_cast<unsigned long long>(noisyUpdates_),
                static_cast<unsigned long long>(noisyReplies_));
    std::printf("    %-32s %8llu  %llu blocks refused\n", "repeated blocks refused (updates)",
                static_cast<unsigned long long>(refusingUpdates_),
                static_cast<unsigned long long>(repeatsRefused_));
    std::printf("    %-32s %8llu\n", "never starts its loader (updates)",
                static_cast<unsigned long long>(stayingUpdates_));
    std::printf("  %-34s %8llu\n", "successes", static_cast<unsigned long long>(successes_));
    std::printf("  failures, by message\n");
    for (const auto& [message, count] : endings_) {
      std::printf("    %8llu  %s\n", static_cast<unsigned long long>(count), message.c_str());
    }
    std::printf("  updates with what their faults cause by design, excused\n");
    for (const auto& [cause, count] : excused_) {
      std::printf("    %8llu  %s\n", static_cast<unsigned long long>(count), cause.c_str());
    }
    std::printf("  %-34s %8.1f s simulated (seed %llu, %s, %u bytes; its bound %.0f s)\n",
                "longest update", Seconds(longest_),
                static_cast<unsigned long long>(longestCase_.seed),
                ModelAt(longestCase_.model).name, longestCase_.imageSize, Seconds(longestBound_));
    std::printf("  %-34s %8llu\n", "updates judged wrong", static_cast<unsigned long long>(wrong_));
    if (!wrongSeeds_.empty()) {
      std::printf("  their seeds%s:", wrong_ > wrongSeeds_.size() ? " (the first)" : "");
      for (uint64_t seed : wrongSeeds_) std::printf(" %llu", static_cast<unsigned long long>(seed));
      std::printf("\n");
    }
  }

  uint64_t wrong() const { return wrong_; }

 private:
  static uint64_t Get(const std::map<std::string, uint64_t>& m, const std::string& key) {
    const auto it = m.find(key);
    return it == m.end() ? 0 : it->second;
  }

  uint64_t updates_ = 0, fromFirmware_ = 0, fromLoader_ = 0, pacedUpdates_ = 0;
  std::map<int, bool> models_;
  std::map<std::string, uint64_t> injected_, hits_, endings_, excused_;
  uint64_t noisyUpdates_ = 0, noisyReplies_ = 0, refusingUpdates_ = 0, repeatsRefused_ = 0;
  uint64_t stayingUpdates_ = 0, successes_ = 0, wrong_ = 0;
  uint64_t longest_ = 0, longestBound_ = 0;
  SoakCase longestCase_;
  std::vector<uint64_t> wrongSeeds_;
};

void PrintOutcome(const SoakRun& run, const SoakVerdict& verdict) {
  std::printf("ended: %s: %s, after %.3f s of simulated time (bound %.0f s)\n",
              run.result.caption.c_str(), run.result.message.c_str(), Seconds(run.simulatedNanos),
              Seconds(run.boundNanos));
  std::printf("called for: %s\n", verdict.calledFor.c_str());
  for (const std::string& e : verdict.excused) std::printf("excused violation: %s\n", e.c_str());
  for (const std::string& p : verdict.problems) std::printf("PROBLEM: %s\n", p.c_str());
}

// How each update runs: in process, or over a pseudo-terminal against
// morvix-plcsim (`plcsim` names it).
struct Line {
  bool pty = false;
  std::string plcsim;

  SoakCase Case(uint64_t seed) const { return MakeSoakCase(seed, pty); }
  SoakRun Run(const SoakCase& c) const {
    if (!pty) return RunSoakCase(c);
    char folder[] = "/tmp/soak-pty-XXXXXX";
    if (mkdtemp(folder) == nullptr) {
      SoakRun run;
      run.record.violations.push_back({0, "no folder for the pseudo-terminal"});
      return run;
    }
    SoakRun run = RunSoakCaseOverPty(c, plcsim, folder);
    std::filesystem::remove_all(folder);
    return run;
  }
};

int Replay(const Line& line, uint64_t seed) {
  const SoakCase c = line.Case(seed);
  const SoakRun run = line.Run(c);
  const SoakVerdict verdict = JudgeSoakRun(c, run);
  std::printf("%s\n", DescribeSoakCase(c).c_str());
  std::printf("what the PLC heard:\n%s", DescribeSoakRecord(run.record).c_str());
  PrintOutcome(run, verdict);
  return verdict.problems.empty() ? 0 : 1;
}

bool ParseNumber(std::string_view text, uint64_t& value) {
  if (text.empty()) return false;
  char* end = nullptr;
  const std::string s(text);
  value = std::strtoull(s.c_str(), &end, 10);
  return *end == '\0' && s[0] != '-';
}

int Usage() {
  std::fprintf(stderr,
               "usage: soak [COUNT] [--first SEED] [--pty [--jobs N]]\n"
               "       soak --replay SEED [--pty]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t count = 500, first = 1, replay = 0, jobs = 0;
  bool replaying = false;
  Line line;
  // morvix-plcsim is built beside this program's folder's parent.
  line.plcsim = (std::filesystem::absolute(argv[0]).parent_path().parent_path().parent_path() /
                 "sim" / "morvix-plcsim")
                    .string();
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if ((arg == "--first" || arg == "--replay" || arg == "--jobs") && i + 1 < argc) {
      uint64_t& target = arg == "--first" ? first : arg == "--jobs" ? jobs : replay;
      if (!ParseNumber(argv[++i], target)) return Usage();
      replaying = replaying || arg == "--replay";
    } else if (arg == "--pty") {
      line.pty = true;
    } else if (!ParseNumber(arg, count) || count == 0) {
      return Usage();
    }
  }
  if (jobs > 1 && !line.pty) return Usage();  // in process an update never waits
  if (jobs == 0) jobs = line.pty ? 8 : 1;
  if (replaying) return Replay(line, replay);

  const auto wallStart = std::chrono::steady_clock::now();
  const std::clock_t start = std::clock();
  Tally tally;
  std::mutex mutex;
  std::atomic<uint64_t> next{first};
  // Over a pseudo-terminal an update mostly waits: several run at once.
  auto worker = [&] {
    for (uint64_t seed; (seed = next++) < first + count;) {
      const SoakCase c = line.Case(seed);
      const SoakRun run = line.Run(c);
      const SoakVerdict verdict = JudgeSoakRun(c, run);
      std::lock_guard<std::mutex> lock(mutex);
      tally.Add(c, run, verdict);
      if (!verdict.problems.empty() && tally.wrong() <= kShownFailures) {
        std::printf("\nWRONG: %s\n", DescribeSoakCase(c).c_str());
        PrintOutcome(run, verdict);
        std::printf("replay: scripts/soak --replay %llu%s\n", static_cast<unsigned long long>(seed),
                    line.pty ? " --pty" : "");
      }
    }
  };
  std::vector<std::thread> workers;
  for (uint64_t i = 1; i < jobs; ++i) workers.emplace_back(worker);
  worker();
  for (std::thread& w : workers) w.join();
  tally.Print(first, static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC);
  if (line.pty) {
    std::printf("  %-34s %8.0f s wall, over a pseudo-terminal, %llu at once\n", "took",
                std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count(),
                static_cast<unsigned long long>(jobs));
  }
  return tally.wrong() == 0 ? 0 : 1;
}
