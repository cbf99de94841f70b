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

#include "catalogue/model_table.h"
#include "sim/plc_sim.h"
#include "sim/plcsim_options.h"
#include "sim/sim_report.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

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

struct Pty {
  int master = -1;
  int watch = -1;  // inotify watch on the slave
};

// Points `link` at a new pseudo-terminal's slave and watches who opens it.
// The link is replaced atomically, and only if it is a symbolic link or
// absent: the program must never clobber a real file given by mistake.
bool MakePty(const std::string& link, int inotify, Pty& pty, std::string& error) {
  struct stat st {};
  if (lstat(link.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
    error = link + " exists and is not a symbolic link; not replacing it";
    return false;
  }
  int slave = -1;
  char name[256] = {};
  if (openpty(&pty.master, &slave, name, nullptr, nullptr) != 0) {
    error = std::string("openpty: ") + std::strerror(errno);
    return false;
  }
  termios raw{};
  tcgetattr(slave, &raw);
  cfmakeraw(&raw);
  tcsetattr(slave, TCSANOW, &raw);
  close(slave);
  fcntl(pty.master, F_SETFL, fcntl(pty.master, F_GETFL) | O_NONBLOCK);
  fcntl(pty.master, F_SETFD, FD_CLOEXEC);
  pty.watch = inotify_add_watch(inotify, name, IN_OPEN | IN_CLOSE);
  const std::string temporary = link + ".new";
  unlink(temporary.c_str());
  if (pty.watch < 0 || symlink(name, temporary.c_str()) != 0 ||
      rename(temporary.c_str(), link.c_str()) != 0) {
    error = "cannot make " + link + ": " + std::strerror(errno);
    unlink(temporary.c_str());
    close(pty.master);
    return false;
  }
  return true;
}

void DropPty(int inotify, Pty& pty) {
  inotify_rm_watch(inotify, pty.watch);
  close(pty.master);
  pty = Pty{};
}

bool WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(file);
}

std::optional<bool> FlashMatchesImage(const PlcSimulator& plc,
                                      const std::optional<std::vector<uint8_t>>& image) {
  if (!image) return std::nullopt;
  const std::string_view model = plc.model();
  const uint32_t size = static_cast<uint32_t>(image->size());
  if (ImageTooSmall(model, size)) return false;
  const uint32_t sent = BlockPlanOf(model, size).imageBytes;
  const auto& flash = plc.record().flash;
  return flash.size() >= sent && std::equal(image->begin(), image->begin() + sent, flash.begin());
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

struct Scheduled {
  uint8_t byte;
  Clock::time_point due;
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
    std::fputs(kPlcsimHelp, stdout);
    return kExitClean;
  }

  struct sigaction action {};
  action.sa_handler = [](int) { stopSignal = 1; };
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: poll must return to look at the flag
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);

  PlcSimulator plc(options->settings);
  Verbose verbose(options->verbose);
  const std::string& link = options->link;
  const int inotify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  Pty pty;
  if (inotify < 0 || !MakePty(link, inotify, pty, error)) {
    std::fprintf(stderr, "morvix-plcsim: %s\n",
                 inotify < 0 ? "inotify_init1 failed" : error.c_str());
    return kExitSystem;
  }
  std::printf("ready %s\n", link.c_str());
  std::fflush(stdout);

  const auto start = Clock::now();
  std::deque<Scheduled> output;
  int opens = 0;  // open descriptors of the slave, as inotify tells them
  auto lastInput = start;
  auto requestEnd = start;  // when the request being heard would have crossed the wire
  std::optional<Clock::time_point> completedAt;
  int status = kExitClean;

  // One character: start bit, 8 data bits, stop bit (all a pty can carry).
  auto byteTime = [&](uint32_t baud) {
    if (!options->settings.pacing) return Clock::duration::zero();
    const uint64_t rate = baud != 0 ? baud : 9600;
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::microseconds((10 * 1000000ull + rate - 1) / rate));
  };

  // Feeds what the tool sent to the PLC and schedules the reply.
  auto hear = [&]() {
    uint8_t buffer[4096];
    const ssize_t got = read(pty.master, buffer, sizeof buffer);
    if (got <= 0) return false;
    const auto arrived = Clock::now();
    termios tio{};
    tcgetattr(pty.master, &tio);
    const uint32_t baud = Baud(cfgetospeed(&tio));
    if (!plc.HasPartialRequest()) requestEnd = arrived;
    requestEnd = std::max(requestEnd, arrived) + byteTime(baud) * got;
    lastInput = arrived;
    plc.Receive({buffer, static_cast<size_t>(got)}, LineSettings{baud, 8, 0, 0}, true);
    verbose.Report(plc);
    if (plc.LinkDropped()) return true;
    const PlcSimulator::Output reply = plc.TakeOutput();
    auto at = std::max(requestEnd + milliseconds(reply.delayMs),
                       output.empty() ? arrived : output.back().due);
    for (uint8_t byte : reply.bytes) {
      at += byteTime(baud);
      output.push_back({byte, at});
    }
    return true;
  };

  // The tool closed the link. What it wrote just before still counts, unless
  // it has opened the link again already: then the bytes waiting may be the
  // new connection's, and they are left to it.
  auto closed = [&](bool reopened) {
    if (!reopened) {
      while (hear() && !plc.LinkDropped()) {
      }
    }
    plc.Disconnect();
    output.clear();
    verbose.Note("link closed by the host");
  };

  while (stopSignal == 0) {
    const auto now = Clock::now();
    if (options->timeoutSeconds != 0 &&
        now - start >= std::chrono::seconds(options->timeoutSeconds)) {
      verbose.Note("time-out: ending");
      break;
    }
    if (options->exitWhenComplete && plc.record().updateComplete) {
      if (!completedAt) completedAt = now;
      if ((opens == 0 && output.empty()) || now - *completedAt >= kCompletionGrace) break;
    }

    milliseconds wait{100};
    if (!output.empty()) {
      wait = std::min(wait, std::chrono::ceil<milliseconds>(
                                std::max(output.front().due - now, Clock::duration::zero())));
    }
    if (plc.HasPartialRequest()) {
      wait = std::min(wait, std::chrono::ceil<milliseconds>(
                                std::max(lastInput + kIdleGap - now, Clock::duration::zero())));
    }
    const bool due = !output.empty() && output.front().due <= now;
    // The master is only watched while the slave is open: without a reader
    // on the other side it reports POLLHUP without end.
    pollfd fds[2] = {{inotify, POLLIN, 0},
                     {pty.master, static_cast<short>(POLLIN | (due ? POLLOUT : 0)), 0}};
    const int ready = poll(fds, opens > 0 ? 2 : 1, due ? 0 : static_cast<int>(wait.count()));
    if (ready < 0) {
      if (errno == EINTR) continue;
      std::fprintf(stderr, "morvix-plcsim: poll: %s\n", std::strerror(errno));
      status = kExitSystem;
      break;
    }

    // What the tool wrote first, then who opened or closed the link: bytes
    // written just before a close belong to the connection they came on.
    if (opens > 0 && (fds[1].revents & POLLIN) != 0 && hear() && plc.LinkDropped()) {
      // The device goes away and comes back as a new one under the same
      // name, as a USB device that re-enumerates.
      verbose.Note("disconnect fault: the link drops");
      plc.Disconnect();
      output.clear();
      opens = 0;
      DropPty(inotify, pty);
      if (!MakePty(link, inotify, pty, error)) {
        std::fprintf(stderr, "morvix-plcsim: %s\n", error.c_str());
        status = kExitSystem;
        break;
      }
      continue;
    }

    if ((fds[0].revents & POLLIN) != 0) {
      alignas(inotify_event) char buffer[4096];
      const ssize_t n = read(inotify, buffer, sizeof buffer);
      std::vector<uint32_t> events;  // IN_OPEN or IN_CLOSE, in order
      for (ssize_t at = 0; at < n;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        if (event->wd == pty.watch) events.push_back(event->mask);  // not a pty given up
      }
      for (size_t i = 0; i < events.size(); ++i) {
        if ((events[i] & IN_OPEN) != 0 && opens++ == 0) {
          plc.Connect();
          verbose.Note("link opened by the host");
        }
        if ((events[i] & IN_CLOSE) != 0 && opens > 0 && --opens == 0) {
          const bool reopened =
              std::any_of(events.begin() + static_cast<std::ptrdiff_t>(i) + 1, events.end(),
                          [](uint32_t mask) { return (mask & IN_OPEN) != 0; });
          closed(reopened);
        }
      }
    }

    if (opens > 0 && (fds[1].revents & (POLLHUP | POLLIN)) == POLLHUP) {
      usleep(static_cast<useconds_t>(kHangupPoll.count() * 1000));  // its close is on its way
    }

    // Everything due goes out in one write.
    const auto sendNow = Clock::now();
    std::vector<uint8_t> chunk;
    for (const Scheduled& s : output) {
      if (s.due > sendNow) break;
      chunk.push_back(s.byte);
    }
    if (opens > 0 && !chunk.empty()) {
      const ssize_t put = write(pty.master, chunk.data(), chunk.size());
      if (put > 0) output.erase(output.begin(), output.begin() + put);
    }

    if (plc.HasPartialRequest() && Clock::now() - lastInput >= kIdleGap) {
      plc.LineIdle();
      verbose.Report(plc);
    }
  }

  if (opens > 0) plc.Disconnect();
  verbose.Report(plc);
  if (!options->report.empty() &&
      !WriteFile(options->report, PlcRecordJson(plc, FlashMatchesImage(plc, options->image)))) {
    std::fprintf(stderr, "morvix-plcsim: cannot write %s\n", options->report.c_str());
    status = kExitSystem;
  }
  const auto& flash = plc.record().flash;
  if (!options->flashOut.empty() &&
      !WriteFile(options->flashOut, std::string(flash.begin(), flash.end()))) {
    std::fprintf(stderr, "morvix-plcsim: cannot write %s\n", options->flashOut.c_str());
    status = kExitSystem;
  }
  DropPty(inotify, pty);
  close(inotify);
  unlink(link.c_str());
  if (status == kExitClean && !plc.record().violations.empty()) status = kExitViolations;
  return status;
}
