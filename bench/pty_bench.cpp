// SPDX-License-Identifier: MIT
// The tool's transfer over a pseudo-terminal against morvix-plcsim, a process
// of its own as a PLC is, through the same serial link the tool opens a
// /dev/ttyUSB0 with:
//
//   pty_bench unpaced PLCSIM GL30-IMAGE
//     the GL30 transfer without pacing (8,096 blocks of 261 bytes, each
//     answered by one byte), and in the same run a raw round trip of the
//     same sizes between this process and a minimal responder on a
//     pseudo-terminal of their own: what the operating system alone costs.
//     With each, the CPU time of both ends.
//   pty_bench paced PLCSIM MODEL IMAGE-FILE|SIZE
//     the transfer with the simulator pacing the wire at 115200 baud: its
//     time against the wire's limit, and the tool's CPU share of it.
//
// Prints Markdown rows for bench/RESULTS.md. Figures, not a test.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "catalogue/model_table.h"
#include "image/image_source.h"
#include "link/app_protocol.h"
#include "link/loader_protocol.h"
#include "link/serial.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using SteadyClock = std::chrono::steady_clock;

[[noreturn]] void Fail(const std::string& why) {
  std::fprintf(stderr, "pty_bench: %s\n", why.c_str());
  std::exit(1);
}

double Since(SteadyClock::time_point start) {
  return std::chrono::duration<double>(SteadyClock::now() - start).count();
}

double OwnCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// Another process's CPU time so far, every thread's, to the nanosecond,
// from the scheduler.
double CpuSecondsOf(pid_t pid) {
  double nanos = 0;
  std::error_code error;
  for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
    std::ifstream stat(task.path() / "schedstat");
    double taskNanos = 0;
    if (stat >> taskNanos) nanos += taskNanos;
  }
  if (error) Fail("cannot read the CPU time of process " + std::to_string(pid));
  return nanos / 1e9;
}

// morvix-plcsim on a pseudo-terminal of its own, in a folder of its own.
class Simulator {
 public:
  Simulator(const std::string& program, std::vector<std::string> args) {
    char pattern[] = "/tmp/pty-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) Fail("no temporary folder");
    dir_ = pattern;
    link_ = (dir_ / "ttyPLC").string();
    args.insert(args.begin(), {program, "--link", link_, "--report",
                               (dir_ / "report.json").string(), "--timeout", "900"});
    int out[2];
    if (pipe(out) != 0) Fail("no pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
      Fail("cannot start " + program);
    }
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    // "ready PATH" once the link exists.
    std::string line;
    char c = 0;
    pollfd pfd{out[0], POLLIN, 0};
    while (line.find('\n') == std::string::npos && poll(&pfd, 1, 10000) > 0 &&
           read(out[0], &c, 1) == 1) {
      line += c;
    }
    output_ = out[0];
    if (line != "ready " + link_ + "\n") Fail("morvix-plcsim said: " + line);
  }
  ~Simulator() {
    if (pid_ > 0) Stop();
    close(output_);
    fs::remove_all(dir_);
  }

  const std::string& link() const { return link_; }
  pid_t pid() const { return pid_; }
  // Ends it and reads its report: true when the flash is the image and no
  // violation was recorded.
  bool Stop() {
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    std::ifstream file(dir_ / "report.json");
    const std::string report{std::istreambuf_iterator<char>(file), {}};
    return report.find("\"flashMatchesImage\": true") != std::string::npos &&
           report.find("\"violationCount\": 0") != std::string::npos;
  }

 private:
  fs::path dir_;
  std::string link_;
  pid_t pid_ = -1;
  int output_ = -1;
};

// Seconds a packet of `packet` bytes and its 1-byte reply take on a wire at
// 115200 baud, 10 bits a character.
double WireSeconds(uint32_t packet) { return (packet + 1) * 10.0 / 115200; }

// How much longer than their wire time the exchanges took, sorted.
struct Excess {
  std::vector<double> seconds;
  double At(double fraction) const {
    return seconds.empty() ? 0 : seconds[static_cast<size_t>(fraction * (seconds.size() - 1))];
  }
};

// Times every block exchange: from the packet's write to its reply read.
class TimedLink final : public Link {
 public:
  TimedLink(Link& inner, uint32_t packet) : inner_(inner), packet_(packet) {}
  size_t Write(const uint8_t* data, size_t n) override {
    if (n == packet_) start_ = SteadyClock::now();
    return inner_.Write(data, n);
  }
  size_t Read(uint8_t* data, size_t n) override {
    const size_t got = inner_.Read(data, n);
    if (got == 1 && start_) {
      excess_.seconds.push_back(Since(*start_) - WireSeconds(packet_));
      start_.reset();
    }
    return got;
  }
  size_t Drain(uint8_t* data, size_t n, uint32_t quietMs) override {
    return inner_.Drain(data, n, quietMs);
  }
  void SetTimeouts(const Timeouts& timeouts) override { inner_.SetTimeouts(timeouts); }
  void ApplyLineSettings(const LineSettings& settings) override {
    inner_.ApplyLineSettings(settings);
  }
  Excess Sorted() {
    std::sort(excess_.seconds.begin(), excess_.seconds.end());
    return excess_;
  }

 private:
  Link& inner_;
  uint32_t packet_;
  std::optional<SteadyClock::time_point> start_;
  Excess excess_;
};

struct Transfer {
  uint32_t blocks;
  uint32_t packet;  // bytes of a block packet
  double seconds;
  double toolCpu;
  double simulatorCpu;
  bool flashIsTheImage;
  Excess excess;  // paced: each block's time over its wire time
};

// The loader dialogue up to the transfer, then the transfer measured.
Transfer Update(const std::string& plcsim, const std::string& modelName,
                const std::vector<uint8_t>& image, const std::string& imageFile, bool paced) {
  std::vector<std::string> args = {"--model", modelName,      "--image",
                                   imageFile, "--start-mode", "loader"};
  if (paced) args.push_back("--pacing");
  Simulator sim(plcsim, args);
  const ModelRules& model = ModelAt(*FindModel(modelName));
  const auto size = static_cast<uint32_t>(image.size());
  const BlockPlan plan = BlockPlanOf(model.name, size);
  Transfer t{plan.blocks, plan.dataBytes + 5, 0, 0, 0, false, {}};
  {
    auto port = OpenSerialLink(sim.link()).link;
    if (!port) Fail("cannot open " + sim.link());
    StatusBoard status;
    CancelToken cancel;
    const Dialogue d{*port, status, cancel};
    DummyComm(d, model);
    if (ConfirmComm(d, model) != AppStatus::kLoaderMode) Fail("the simulator is not in its loader");
    uint8_t version = 0;
    if (CheckID_B(d, model) != LoaderStatus::kDone ||
        (model.variant == VariantCheck::kLoaderVersion &&
         read_fu_version_B(d, version) != LoaderStatus::kDone) ||
        SendErase_B(d, model, size) != LoaderStatus::kDone ||
        SendUpdate(d) != LoaderStatus::kDone) {
      Fail("the loader dialogue failed before the transfer");
    }
    MemoryImageSource source("bench.bin", image);
    const auto reader = source.OpenImage();
    const double cpu = OwnCpuSeconds();
    const double simCpu = CpuSecondsOf(sim.pid());
    const auto start = SteadyClock::now();
    TimedLink timed(*port, t.packet);
    const Dialogue transfer{timed, status, cancel};
    if (SendFW(transfer, model, *reader) != LoaderStatus::kDone) Fail("the transfer failed");
    t.seconds = Since(start);
    t.toolCpu = OwnCpuSeconds() - cpu;
    t.simulatorCpu = CpuSecondsOf(sim.pid()) - simCpu;
    t.excess = timed.Sorted();
  }
  // The simulator sees the link close before it is stopped.
  usleep(200000);
  t.flashIsTheImage = sim.Stop();
  return t;
}

// The same sizes between this process and a responder that reads each
// packet and answers it with one byte, on a pseudo-terminal of their own.
// Paced, the responder answers as morvix-plcsim does: once the packet would
// have crossed the wire since it first heard of it, and the reply byte too.
Transfer RawRoundTrip(uint32_t blocks, uint32_t packet, bool paced = false) {
  int master = -1, slave = -1;
  if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) Fail("no pseudo-terminal");
  termios raw{};
  tcgetattr(slave, &raw);
  cfmakeraw(&raw);
  tcsetattr(slave, TCSANOW, &raw);
  const pid_t responder = fork();
  if (responder == 0) {
    close(slave);
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    std::vector<uint8_t> buffer(packet);
    const uint8_t ack = 0x06;
    const auto wire = std::chrono::nanoseconds(static_cast<int64_t>(WireSeconds(packet) * 1e9));
    for (;;) {
      size_t got = 0;
      SteadyClock::time_point heard;
      while (got < packet) {
        const ssize_t n = read(master, buffer.data() + got, packet - got);
        if (n <= 0) _exit(0);
        if (got == 0) heard = SteadyClock::now();
        got += static_cast<size_t>(n);
      }
      if (paced) {
        const auto due =
            std::chrono::duration_cast<std::chrono::nanoseconds>((heard + wire).time_since_epoch());
        const timespec at{static_cast<time_t>(due.count() / 1000000000),
                          static_cast<long>(due.count() % 1000000000)};
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
        }
      }
      if (write(master, &ack, 1) != 1) _exit(0);
    }
  }
  close(master);
  std::vector<uint8_t> block(packet, 0x55);
  Transfer t{blocks, packet, 0, 0, 0, true, {}};
  const double cpu = OwnCpuSeconds();
  const double responderCpu = CpuSecondsOf(responder);
  const auto start = SteadyClock::now();
  for (uint32_t i = 0; i < blocks; ++i) {
    const auto blockStart = SteadyClock::now();
    for (size_t sent = 0; sent < packet;) {
      const ssize_t n = write(slave, block.data() + sent, packet - sent);
      if (n <= 0) Fail("raw write failed");
      sent += static_cast<size_t>(n);
    }
    uint8_t ack = 0;
    if (read(slave, &ack, 1) != 1 || ack != 0x06) Fail("raw read failed");
    t.excess.seconds.push_back(Since(blockStart) - WireSeconds(packet));
  }
  std::sort(t.excess.seconds.begin(), t.excess.seconds.end());
  t.seconds = Since(start);
  t.toolCpu = OwnCpuSeconds() - cpu;
  t.simulatorCpu = CpuSecondsOf(responder) - responderCpu;
  close(slave);
  waitpid(responder, nullptr, 0);
  return t;
}

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) Fail("cannot read " + path);
  return {std::istreambuf_iterator<char>(file), {}};
}

// An image of `size` bytes of fixed pseudo-random data, in a file for the
// simulator to compare its flash with.
std::vector<uint8_t> MadeImage(uint32_t size, const std::string& path) {
  std::vector<uint8_t> image(size);
  uint32_t x = 0x12345678;
  for (uint8_t& b : image) {
    x = x * 1664525u + 1013904223u;
    b = static_cast<uint8_t>(x >> 24);
  }
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(image.data()),
             static_cast<std::streamsize>(image.size()));
  return image;
}

// Rounds of each, taken in turn, so that a machine whose load comes and goes
// weighs on both alike; the medians are shown, with the range.
constexpr int kRounds = 5;

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

std::string Range(std::vector<double> values, double scale, const char* format) {
  std::sort(values.begin(), values.end());
  char text[80];
  std::snprintf(text, sizeof text, format, Median(values) * scale, values.front() * scale,
                values.back() * scale);
  return text;
}

int Unpaced(const std::string& plcsim, const std::string& imageFile) {
  const std::vector<uint8_t> image = ReadFile(imageFile);
  std::vector<Transfer> tools, raws;
  std::vector<double> ratios;
  for (int round = 0; round < kRounds; ++round) {
    tools.push_back(Update(plcsim, "GL30", image, imageFile, false));
    raws.push_back(RawRoundTrip(tools.back().blocks, tools.back().packet));
    ratios.push_back(tools.back().seconds / raws.back().seconds);
  }
  auto column = [](const std::vector<Transfer>& ts, double Transfer::*field, double scale,
                   const char* format) {
    std::vector<double> values;
    for (const Transfer& t : ts) values.push_back(t.*field / t.blocks);
    return Range(values, scale, format);
  };
  std::printf(
      "| %d rounds of each, in turn: median (least – most) | per block | this process's "
      "CPU a block | the other end's CPU a block |\n",
      kRounds);
  std::printf("|---|---:|---:|---:|\n");
  for (const auto& [name, ts] :
       {std::pair{"the tool's transfer against morvix-plcsim", tools},
        std::pair{"raw round trip (write 261 bytes, read 1) against a minimal responder", raws}}) {
    std::printf("| %s | %s | %s | %s |\n", name,
                column(ts, &Transfer::seconds, 1e6, "%.1f µs (%.1f – %.1f)").c_str(),
                column(ts, &Transfer::toolCpu, 1e6, "%.1f µs (%.1f – %.1f)").c_str(),
                column(ts, &Transfer::simulatorCpu, 1e6, "%.1f µs (%.1f – %.1f)").c_str());
  }
  bool flash = true;
  for (const Transfer& t : tools) flash = flash && t.flashIsTheImage;
  std::printf(
      "\nThe tool's time over the raw round trip's, round by round: %s. The simulator's "
      "report after every transfer: %s.\n",
      Range(ratios, 1, "median %.2f (%.2f – %.2f)").c_str(),
      flash ? "flash equals the image, no violation" : "A FLASH NOT THE IMAGE, or violations");
  return flash ? 0 : 1;
}

int Paced(const std::string& plcsim, const std::string& model, const std::string& image) {
  std::vector<uint8_t> bytes;
  std::string file = image;
  if (!image.empty() && image.find_first_not_of("0123456789") == std::string::npos) {
    file = "/tmp/pty-bench-" + model + "-" + image + ".bin";
    bytes = MadeImage(static_cast<uint32_t>(std::stoul(image)), file);
  } else {
    bytes = ReadFile(image);
  }
  const Transfer t = Update(plcsim, model, bytes, file, true);
  if (file != image) fs::remove(file);
  // The operating system's share on this machine now: the same exchange
  // paced alike between two minimal processes, over at most 1,024 blocks.
  const Transfer raw = RawRoundTrip(std::min<uint32_t>(t.blocks, 1024), t.packet, true);
  const double limit = t.blocks * WireSeconds(t.packet);
  auto ms = [](double seconds) { return seconds * 1000; };
  std::printf(
      "| %s, %zu bytes | %u × %u | %.3f s | %.3f s | %+.3f s (%+.2f %%) | %.2f / %.2f ms "
      "| %.2f / %.2f ms (%+.2f %%) | %.3f s (%.2f %%) | %s |\n",
      model.c_str(), bytes.size(), t.blocks, t.packet, limit, t.seconds, t.seconds - limit,
      100 * (t.seconds - limit) / limit, ms(t.excess.At(0.5)), ms(t.excess.At(0.99)),
      ms(raw.excess.At(0.5)), ms(raw.excess.At(0.99)),
      100 * (raw.seconds - raw.blocks * WireSeconds(raw.packet)) /
          (raw.blocks * WireSeconds(raw.packet)),
      t.toolCpu, 100 * t.toolCpu / t.seconds,
      t.flashIsTheImage ? "the image, no violation" : "NOT THE IMAGE, or violations");
  return t.flashIsTheImage ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 3 && args[0] == "unpaced") return Unpaced(args[1], args[2]);
  if (args.size() == 4 && args[0] == "paced") return Paced(args[1], args[2], args[3]);
  std::fprintf(stderr,
               "usage: pty_bench unpaced PLCSIM GL30-IMAGE\n"
               "       pty_bench paced PLCSIM MODEL IMAGE-FILE|SIZE\n");
  return 2;
}
