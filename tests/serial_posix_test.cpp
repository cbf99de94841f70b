// SPDX-License-Identifier: MIT
// The POSIX serial link against a real pseudo-terminal: the test holds the
// master side, the link opens the slave as it would open /dev/ttyUSB0.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/serial.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "link/serial.h"
#include "support/child_process.h"

namespace {

class PseudoTerminal : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[256] = {};
    int slave = -1;
    ASSERT_EQ(openpty(&master_, &slave, name, nullptr, nullptr), 0);
    close(slave);  // the link opens it by name
    slaveName_ = name;
  }
  void TearDown() override {
    if (master_ >= 0) close(master_);
  }

  // Everything the link wrote, collected from the master side.
  std::vector<uint8_t> ReadMaster(size_t n) {
    std::vector<uint8_t> got;
    while (got.size() < n) {
      pollfd pfd{master_, POLLIN, 0};
      if (poll(&pfd, 1, 2000) <= 0) break;
      uint8_t buffer[512];
      const ssize_t r = read(master_, buffer, std::min(sizeof buffer, n - got.size()));
      if (r <= 0) break;
      got.insert(got.end(), buffer, buffer + r);
    }
    return got;
  }

  termios MasterSettings() const {
    termios tio{};
    tcgetattr(master_, &tio);
    return tio;
  }

  int master_ = -1;
  std::string slaveName_;
};

// A pseudo-terminal shows the line speed to its master; it forces 8 data
// bits without parity whatever is asked, so only the speed can be seen here.
TEST_F(PseudoTerminal, LineSpeedReachesTheOtherEnd) {
  auto link = OpenSerialLink(slaveName_).link;
  ASSERT_NE(link, nullptr);
  link->ApplyLineSettings(kApplicationLineSettings);
  termios tio = MasterSettings();
  EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B9600));
  EXPECT_EQ(tio.c_cflag & CSTOPB, 0u);

  link->ApplyLineSettings(kLoaderLineSettings);
  tio = MasterSettings();
  EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B115200));
}

TEST_F(PseudoTerminal, ShortReadReturnsWhatArrivedOnlyAfterTheTimeout) {
  auto link = OpenSerialLink(slaveName_).link;
  ASSERT_NE(link, nullptr);
  link->SetTimeouts({300, 300});
  ASSERT_EQ(write(master_, "12345", 5), 5);
  uint8_t buffer[19];
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(link->Read(buffer, sizeof buffer), 5u);
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(290));
  EXPECT_EQ(std::string(buffer, buffer + 5), "12345");
}

TEST_F(PseudoTerminal, FullReadReturnsAsSoonAsEveryByteIsThere) {
  auto link = OpenSerialLink(slaveName_).link;
  ASSERT_NE(link, nullptr);
  link->SetTimeouts({3000, 3000});
  ASSERT_EQ(write(master_, "abc", 3), 3);
  uint8_t buffer[3];
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(link->Read(buffer, 3), 3u);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2000));
}

TEST_F(PseudoTerminal, EveryByteValuePassesUnchangedBothWays) {
  auto link = OpenSerialLink(slaveName_).link;
  ASSERT_NE(link, nullptr);
  link->ApplyLineSettings(kLoaderLineSettings);
  link->SetTimeouts({2000, 2000});
  std::vector<uint8_t> all(256);
  std::iota(all.begin(), all.end(), 0);
  all.push_back('\r');
  all.push_back('\n');

  EXPECT_EQ(link->Write(all.data(), all.size()), all.size());
  EXPECT_EQ(ReadMaster(all.size()), all);

  ASSERT_EQ(write(master_, all.data(), all.size()), static_cast<ssize_t>(all.size()));
  std::vector<uint8_t> back(all.size());
  EXPECT_EQ(link->Read(back.data(), back.size()), all.size());
  EXPECT_EQ(back, all);
}

// Listening until the line is quiet: a terminal with nothing waiting reads
// 0, which is "nothing yet", not a hang-up. A byte that comes 100 ms later
// is still taken; a hang-up ends the listening at once.
TEST_F(PseudoTerminal, DrainListensUntilTheLineIsQuietAndStopsAtAHangUp) {
  auto link = OpenSerialLink(slaveName_).link;
  ASSERT_NE(link, nullptr);
  std::thread late([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_EQ(write(master_, "A", 1), 1);
  });
  uint8_t buffer[4] = {};
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(link->Drain(buffer, sizeof buffer, 400), 1u);
  late.join();
  EXPECT_EQ(buffer[0], 'A');
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(490));

  close(master_);
  master_ = -1;
  const auto hangUp = std::chrono::steady_clock::now();
  EXPECT_EQ(link->Drain(buffer, sizeof buffer, 2000), 0u);
  EXPECT_LT(std::chrono::steady_clock::now() - hangUp, std::chrono::milliseconds(1000));
}

TEST_F(PseudoTerminal, SecondOpenIsRefusedAsBusyWhileTheFirstIsOpen) {
  auto first = OpenSerialLink(slaveName_).link;
  ASSERT_NE(first, nullptr);
  const LinkOpening second = OpenSerialLink(slaveName_);
  EXPECT_EQ(second.link, nullptr);
  EXPECT_EQ(second.failure, OpenFailure::kBusy);
  first.reset();
  EXPECT_NE(OpenSerialLink(slaveName_).link, nullptr);
}

// Another program has the port: it is named, so the operator knows what to close.
TEST_F(PseudoTerminal, PortHeldByAnotherProcessNamesTheHolder) {
  int ready[2];
  int release[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(release), 0);
  const pid_t holder = fork();
  if (holder == 0) {
    auto link = OpenSerialLink(slaveName_).link;
    const char opened = link ? '1' : '0';
    (void)!write(ready[1], &opened, 1);
    char done;
    (void)!read(release[0], &done, 1);
    _exit(0);
  }
  char opened = '0';
  ASSERT_EQ(read(ready[0], &opened, 1), 1);
  ASSERT_EQ(opened, '1');

  const LinkOpening opening = OpenSerialLink(slaveName_);
  EXPECT_EQ(opening.link, nullptr);
  EXPECT_EQ(opening.failure, OpenFailure::kBusy);
  EXPECT_NE(opening.detail.find("(pid " + std::to_string(holder) + ")"), std::string::npos)
      << opening.detail;

  (void)!write(release[1], "x", 1);
  waitpid(holder, nullptr, 0);
  for (int fd : {ready[0], ready[1], release[0], release[1]}) close(fd);
}

TEST_F(PseudoTerminal, PortTheUserMayNotOpenIsRefusedAsPermissionDenied) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root, to open the tty as another user";
  ASSERT_EQ(chmod(slaveName_.c_str(), 0600), 0);
  // What the unprivileged user saw, as the failure's number.
  const int failure =
      RunUnprivileged([&] { return static_cast<int>(OpenSerialLink(slaveName_).failure); });
  EXPECT_EQ(failure, static_cast<int>(OpenFailure::kPermissionDenied));
}

// The far end goes away, as a USB adapter pulled out: reads and writes give
// up at once instead of spinning through their time-out.
TEST_F(PseudoTerminal, VanishedDeviceFailsAtOnce) {
  auto link = OpenSerialLink(slaveName_).link;
  ASSERT_NE(link, nullptr);
  link->SetTimeouts({3000, 3000});
  close(master_);
  master_ = -1;
  uint8_t buffer[3];
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(link->Read(buffer, sizeof buffer), 0u);
  EXPECT_EQ(link->Write(buffer, sizeof buffer), 0u);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
}

// A pseudo-terminal has no serial driver settings: the request for low
// latency is refused there, and the port opens and carries bytes all the
// same.
TEST_F(PseudoTerminal, OpensAndWorksWhereLowLatencyCannotBeAskedFor) {
  const int probe = open(slaveName_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(probe, 0);
  serial_struct serial{};
  EXPECT_NE(ioctl(probe, TIOCGSERIAL, &serial), 0) << "a pty with serial settings";
  close(probe);

  auto link = OpenSerialLink(slaveName_).link;
  ASSERT_NE(link, nullptr);
  const uint8_t request[] = {'I', 'D'};
  EXPECT_EQ(link->Write(request, sizeof request), sizeof request);
  EXPECT_EQ(ReadMaster(2), (std::vector<uint8_t>{'I', 'D'}));
  ASSERT_EQ(write(master_, "\x06\x30\x00", 3), 3);
  uint8_t reply[3];
  EXPECT_EQ(link->Read(reply, sizeof reply), 3u);
  EXPECT_EQ(reply[0], 0x06);
}

// Where the driver has the setting (a UART on this machine), the port is
// asked for low latency while the link is open and left as it was found.
TEST(SerialLink, AsksASerialPortForLowLatencyAndLeavesItAsFound) {
  std::string device;
  int probe = -1;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/sys/class/tty", error)) {
    const std::string name = entry.path().filename();
    std::ifstream type(entry.path() / "type");
    int uart = 0;
    if (name.rfind("ttyS", 0) != 0 || !(type >> uart) || uart == 0) continue;
    probe = open(("/dev/" + name).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (probe >= 0) {
      device = "/dev/" + name;
      break;
    }
  }
  if (probe < 0) GTEST_SKIP() << "no serial port with a UART that this user may open";
  serial_struct before{};
  ASSERT_EQ(ioctl(probe, TIOCGSERIAL, &before), 0) << device;
  // The setting must be one this process can make at all (qemu's user-mode
  // emulation, which runs the ARM build's tests, reads it but does not pass
  // the change on).
  serial_struct tried = before;
  tried.flags |= ASYNC_LOW_LATENCY;
  serial_struct seen{};
  const bool settable = ioctl(probe, TIOCSSERIAL, &tried) == 0 &&
                        ioctl(probe, TIOCGSERIAL, &seen) == 0 &&
                        (seen.flags & ASYNC_LOW_LATENCY) != 0;
  if (!settable) {
    close(probe);
    GTEST_SKIP() << device << " does not take ASYNC_LOW_LATENCY from this process";
  }
  ASSERT_EQ(ioctl(probe, TIOCSSERIAL, &before), 0) << device;
  {
    auto link = OpenSerialLink(device).link;
    ASSERT_NE(link, nullptr) << device;
    serial_struct during{};
    ASSERT_EQ(ioctl(probe, TIOCGSERIAL, &during), 0);
    EXPECT_NE(during.flags & ASYNC_LOW_LATENCY, 0) << device;
  }
  serial_struct after{};
  ASSERT_EQ(ioctl(probe, TIOCGSERIAL, &after), 0);
  EXPECT_EQ(after.flags, before.flags) << device;
  close(probe);
}

struct RefusedPort {
  const char* path;
  OpenFailure failure;
};

class RefusedPorts : public ::testing::TestWithParam<RefusedPort> {};

TEST_P(RefusedPorts, OpenSaysWhy) {
  const LinkOpening opening = OpenSerialLink(GetParam().path);
  EXPECT_EQ(opening.link, nullptr);
  EXPECT_EQ(opening.failure, GetParam().failure);
  EXPECT_FALSE(opening.detail.empty());
}

INSTANTIATE_TEST_SUITE_P(Paths, RefusedPorts,
                         ::testing::Values(RefusedPort{"/dev/nonexistent", OpenFailure::kMissing},
                                           RefusedPort{"", OpenFailure::kMissing},
                                           RefusedPort{"/dev/null", OpenFailure::kNotASerialPort}));

}  // namespace
