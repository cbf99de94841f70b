// SPDX-License-Identifier: MIT
// morvix-plcsim: the simulated PLC on a pseudo-terminal (see --help).
//
// The PLC sits on the master side; the tool opens the slave through a stable
// symbolic link as it would open /dev/ttyUSB0 or a COM port. The tool
// closing and reopening the link is the replug or power cycle of the PLC;
// the program sees each open and close of the slave through inotify, so a
// close followed at once by a reopen is not missed (a pty master only shows
// POLLHUP while nobody has the slave open, and would not). The line speed
// the tool set is read from the master with tcgetattr; a pty forces 8 data
// bits without parity, so the speed is all that can be checked.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <string>
#include <vector>

#include "sim/plc_sim.h"
#include "sim/plcsim_options.h"
#include "sim/sim_report.h"
#include "sim/wire.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::nanoseconds;

volatile std::sig_atomic_t stopSignal = 0;

constexpr int kExitClean = 0;
constexpr int kExitViolations = 1;
constexpr int kExitUsage = 2;
constexpr int kExitSystem = 3;

// A request that stops halfway is given up after this much quiet, as a
// loader's inter-byte time-out would.
constexpr milliseconds kIdleGap{1000};
// The slave is closed but inotify has not said so yet: look again this soon.
constexpr milliseconds kHangupPoll{5};
constexpr milliseconds kCompletionGrace{5000};
// The longest wait with nothing due: how soon a signal or the time-out is seen.
constexpr milliseconds kLongestWait{100};
constexpr uint64_t kNanosPerMs = 1000000;

uint32_t Baud(speed_t speed) {
  switch (speed) {
    case B1200: return 1200;
    case B2400: return 2400;
    case B4800: return 4800;
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B57600: return 57600;
    case B115200: return 115200;
    case B230400: return 230400;
    default: return 0;
  }
}

bool WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(file);
}

class Verbose {
 public:
  explicit Verbose(bool on) : on_(on) {}
  void Note(const char* text) {
    if (on_) std::fprintf(stderr, "plcsim: %s\n", text);
  }
  void Report(const PlcSimulator& plc) {
    if (!on_) return;
    const PlcRecord& r = plc.record();
    for (; requests_ < r.requests.size(); ++requests_) {
      const PlcRequestRecord& q = r.requests[requests_];
      std::fprintf(stderr, "plcsim: #%zu %s %s (%u bytes) -> %zu bytes%s%s\n", requests_ + 1,
                   std::string(PlcModeName(q.mode)).c_str(),
                   std::string(PlcRequestName(q.request)).c_str(), q.length, q.reply.size(),
                   q.fault.empty() ? "" : " fault ", q.fault.c_str());
    }
    for (; violations_ < r.violations.size(); ++violations_) {
      std::fprintf(stderr, "plcsim: VIOLATION at #%zu: %s\n", r.violations[violations_].request,
                   r.violations[violations_].reason.c_str());
    }
  }

 private:
  bool on_;
  size_t requests_ = 0;
  size_t violations_ = 0;
};

// The simulated PLC on a pseudo-terminal: the link it makes, who has it
// open, what the tool sends and what goes back when.
class PtyPlc {
 public:
  explicit PtyPlc(const PlcsimOptions& options)
      : options_(options),
        plc_(options.settings),
        verbose_(options.verbose),
        toPlc_(options.settings.pacing),
        toHost_(options.settings.pacing) {}
  ~PtyPlc() {
    DropPty();
    if (inotify_ >= 0) close(inotify_);
    // Only the link this program made: never a file put there meanwhile.
    struct stat st {};
    if (made_ && lstat(options_.link.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
      unlink(options_.link.c_str());
    }
  }
  PtyPlc(const PtyPlc&) = delete;
  PtyPlc& operator=(const PtyPlc&) = delete;

  // Makes the link; false with the reason in `error`.
  bool Open(std::string& error) {
    // A paced byte is sent when it is due, not up to the kernel's default
    // 50 us of timer slack later.
    if (options_.settings.pacing) prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    inotify_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (inotify_ < 0) {
      error = "inotify_init1 failed";
      return false;
    }
    return MakePty(error);
  }

  // Serves the tool until a signal, the time-out or the completion ends it;
  // writes the report and the flash, and returns the exit status.
  int Run() {
    start_ = Clock::now();
    lastInput_ = start_;
    int status = kExitClean;
    while (stopSignal == 0 && !Done()) {
      if (!Step()) {
        status = kExitSystem;
        break;
      }
    }
    if (opens_ > 0) plc_.Disconnect();
    verbose_.Report(plc_);
    if (!WriteOutputs()) status = kExitSystem;
    if (status == kExitClean && !plc_.record().violations.empty()) status = kExitViolations;
    return status;
  }

 private:
  struct Scheduled {
    uint8_t byte;
    Clock::time_point due;
  };

  // Points the link at a new pseudo-terminal's slave and watches who opens
  // it. The link is replaced atomically, and only if it is a symbolic link
  // or absent: the program must never clobber a real file given by mistake.
  bool MakePty(std::string& error) {
    const std::string& link = options_.link;
    struct stat st {};
    if (lstat(link.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
      error = link + " exists and is not a symbolic link; not replacing it";
      return false;
    }
    int slave = -1;
    char name[256] = {};
    if (openpty(&master_, &slave, name, nullptr, nullptr) != 0) {
      error = std::string("openpty: ") + std::strerror(errno);
      return false;
    }
    termios raw{};
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
    close(slave);
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    watch_ = inotify_add_watch(inotify_, name, IN_OPEN | IN_CLOSE);
    const std::string temporary = link + ".new";
    unlink(temporary.c_str());
    if (watch_ < 0 || symlink(name, temporary.c_str()) != 0 ||
        rename(temporary.c_str(), link.c_str()) != 0) {
      error = "cannot make " + link + ": " + std::strerror(errno);
      unlink(temporary.c_str());
      DropPty();
      return false;
    }
    made_ = true;
    return true;
  }

  void DropPty() {
    if (watch_ >= 0) inotify_rm_watch(inotify_, watch_);
    if (master_ >= 0) close(master_);
    master_ = -1;
    watch_ = -1;
  }

  bool Done() {
    const auto now = Clock::now();
    if (options_.timeoutSeconds != 0 &&
        now - start_ >= std::chrono::seconds(options_.timeoutSeconds)) {
      verbose_.Note("time-out: ending");
      return true;
    }
    if (options_.exitWhenComplete && plc_.record().updateComplete) {
      if (!completedAt_) completedAt_ = now;
      if ((opens_ == 0 && output_.empty()) || now - *completedAt_ >= kCompletionGrace) return true;
    }
    return false;
  }

  // One turn: wait for the tool, the link's opens and closes, or the next
  // byte due; then take what came and send what is due. False on a failure
  // of the system.
  bool Step() {
    const auto now = Clock::now();
    Clock::duration wait = kLongestWait;
    if (!output_.empty()) wait = std::min(wait, output_.front().due - now);
    if (plc_.HasPartialRequest()) wait = std::min(wait, lastInput_ + kIdleGap - now);
    const bool due = !output_.empty() && output_.front().due <= now;
    // To the nanosecond: a wait rounded to whole milliseconds would put up
    // to a millisecond on every paced reply.
    const auto waitNs =
        std::chrono::duration_cast<nanoseconds>(std::max(wait, Clock::duration::zero())).count();
    const timespec timeout{static_cast<time_t>(waitNs / 1000000000),
                           static_cast<long>(waitNs % 1000000000)};
    // The master is only watched while the slave is open: without a reader
    // on the other side it reports POLLHUP without end.
    pollfd fds[2] = {{inotify_, POLLIN, 0},
                     {master_, static_cast<short>(POLLIN | (due ? POLLOUT : 0)), 0}};
    const int ready = ppoll(fds, opens_ > 0 ? 2 : 1, &timeout, nullptr);
    if (ready < 0) {
      if (errno == EINTR) return true;
      std::fprintf(stderr, "morvix-plcsim: ppoll: %s\n", std::strerror(errno));
      return false;
    }

    // What the tool wrote first, then who opened or closed the link: bytes
    // written just before a close belong to the connection they came on.
    if (opens_ > 0 && (fds[1].revents & POLLIN) != 0 && Hear() && plc_.LinkDropped()) {
      return Reenumerate();
    }
    if ((fds[0].revents & POLLIN) != 0) TakeOpensAndCloses();
    if (opens_ > 0 && (fds[1].revents & (POLLHUP | POLLIN)) == POLLHUP) {
      usleep(static_cast<useconds_t>(kHangupPoll.count() * 1000));  // its close is on its way
    }
    SendDue();
    if (plc_.HasPartialRequest() && Clock::now() - lastInput_ >= kIdleGap) {
      plc_.LineIdle();
      verbose_.Report(plc_);
    }
    return true;
  }

  // Feeds what the tool sent to the PLC and schedules the reply; false when
  // nothing came.
  bool Hear() {
    uint8_t buffer[4096];
    const ssize_t got = read(master_, buffer, sizeof buffer);
    if (got <= 0) return false;
    lastInput_ = Clock::now();
    termios tio{};
    tcgetattr(master_, &tio);
    // A pty carries 8 data bits without parity; only the speed is the tool's.
    const LineSettings line{Baud(cfgetospeed(&tio)), 8, 0, 0};
    const uint64_t requestEnd = toPlc_.Send(Since(lastInput_), static_cast<uint64_t>(got), line);
    plc_.Receive({buffer, static_cast<size_t>(got)}, line, true);
    verbose_.Report(plc_);
    if (plc_.LinkDropped()) return true;
    const PlcSimulator::Output reply = plc_.TakeOutput();
    toHost_.Send(requestEnd + reply.delayMs * kNanosPerMs, reply.bytes.size(), line);
    for (size_t i = 0; i < reply.bytes.size(); ++i) {
      output_.push_back({reply.bytes[i], start_ + nanoseconds(toHost_.ArrivalOf(i))});
    }
    return true;
  }

  // Nanoseconds since the start, the wires' clock.
  uint64_t Since(Clock::time_point t) const {
    return static_cast<uint64_t>(std::chrono::duration_cast<nanoseconds>(t - start_).count());
  }

  // What was still to go out is lost, and the line falls quiet.
  void DropOutput() {
    output_.clear();
    toPlc_.Clear();
    toHost_.Clear();
  }

  void TakeOpensAndCloses() {
    alignas(inotify_event) char buffer[4096];
    const ssize_t n = read(inotify_, buffer, sizeof buffer);
    std::vector<uint32_t> events;  // IN_OPEN or IN_CLOSE, in order
    for (ssize_t at = 0; at < n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      if (event->wd == watch_) events.push_back(event->mask);  // not a pty given up
    }
    for (size_t i = 0; i < events.size(); ++i) {
      if ((events[i] & IN_OPEN) != 0 && opens_++ == 0) {
        plc_.Connect();
        verbose_.Note("link opened by the host");
      }
      if ((events[i] & IN_CLOSE) != 0 && opens_ > 0 && --opens_ == 0) {
        const bool reopened =
            std::any_of(events.begin() + static_cast<std::ptrdiff_t>(i) + 1, events.end(),
                        [](uint32_t mask) { return (mask & IN_OPEN) != 0; });
        Closed(reopened);
      }
    }
  }

  // The tool closed the link. What it wrote just before still counts, unless
  // it has opened the link again already: then the bytes waiting may be the
  // new connection's, and they are left to it.
  void Closed(bool reopened) {
    if (!reopened) {
      while (Hear() && !plc_.LinkDropped()) {
      }
    }
    plc_.Disconnect();
    DropOutput();
    verbose_.Note("link closed by the host");
  }

  // The disconnect fault: the device goes away and comes back as a new one
  // under the same name, as a USB device that re-enumerates.
  bool Reenumerate() {
    verbose_.Note("disconnect fault: the link drops");
    plc_.Disconnect();
    DropOutput();
    opens_ = 0;
    DropPty();
    std::string error;
    if (!MakePty(error)) {
      std::fprintf(stderr, "morvix-plcsim: %s\n", error.c_str());
      return false;
    }
    return true;
  }

  // Everything due goes out in one write.
  void SendDue() {
    const auto now = Clock::now();
    std::vector<uint8_t> chunk;
    for (const Scheduled& s : output_) {
      if (s.due > now) break;
      chunk.push_back(s.byte);
    }
    if (opens_ > 0 && !chunk.empty()) {
      const ssize_t put = write(master_, chunk.data(), chunk.size());
      if (put > 0) output_.erase(output_.begin(), output_.begin() + put);
    }
  }

  bool WriteOutputs() {
    bool ok = true;
    const std::optional<bool> matches =
        options_.image ? std::optional<bool>(FlashMatchesImage(plc_, *options_.image))
                       : std::nullopt;
    if (!options_.report.empty() && !WriteFile(options_.report, PlcRecordJson(plc_, matches))) {
      std::fprintf(stderr, "morvix-plcsim: cannot write %s\n", options_.report.c_str());
      ok = false;
    }
    const auto& flash = plc_.record().flash;
    if (!options_.flashOut.empty() &&
        !WriteFile(options_.flashOut, std::string(flash.begin(), flash.end()))) {
      std::fprintf(stderr, "morvix-plcsim: cannot write %s\n", options_.flashOut.c_str());
      ok = false;
    }
    return ok;
  }

  const PlcsimOptions& options_;
  PlcSimulator plc_;
  Verbose verbose_;
  int inotify_ = -1;
  int master_ = -1;  // the pseudo-terminal's master
  int watch_ = -1;   // inotify's watch on its slave
  bool made_ = false;
  int opens_ = 0;  // open descriptors of the slave, as inotify tells them
  std::deque<Scheduled> output_;
  // The pacing clock: the line's two directions, in nanoseconds since start_.
  Wire toPlc_;
  Wire toHost_;
  Clock::time_point start_;
  Clock::time_point lastInput_;
  std::optional<Clock::time_point> completedAt_;
};

}  // namespace

int main(int argc, char** argv) {
  std::string error;
  const auto options = ParsePlcsimOptions(std::vector<std::string>(argv + 1, argv + argc), error);
  if (!options) {
    std::fprintf(stderr, "morvix-plcsim: %s\n", error.c_str());
    return kExitUsage;
  }
  if (options->help) {
    std::fputs(PlcsimHelp().c_str(), stdout);
    return kExitClean;
  }

  struct sigaction action {};
  action.sa_handler = [](int) { stopSignal = 1; };
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: poll must return to look at the flag
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);

  PtyPlc plc(*options);
  if (!plc.Open(error)) {
    std::fprintf(stderr, "morvix-plcsim: %s\n", error.c_str());
    return kExitSystem;
  }
  std::printf("ready %s\n", options->link.c_str());
  std::fflush(stdout);
  return plc.Run();
}
