// SPDX-License-Identifier: MIT
// Serial ports on POSIX systems through termios. The device is held
// exclusively (TIOCEXCL for other users, flock for other processes of ours
// and for root, whom TIOCEXCL does not stop), put in raw mode at once so no
// byte is translated, and read and written with poll up to the total
// time-out of the exchange, as a Windows COM port with these time-outs does.
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>

#include "link/port_holder.h"
#include "link/serial.h"

namespace {

using Clock = std::chrono::steady_clock;

speed_t SpeedOf(uint32_t baudRate) {
  switch (baudRate) {
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    default: return B9600;
  }
}

// USB-serial adapters hold what they received for up to their latency
// timer before passing it on: 16 ms on an FTDI adapter unless told
// otherwise. The tool waits for a 1-byte acknowledgement after every block,
// so that hold is paid once a block. ASYNC_LOW_LATENCY asks the driver to
// pass bytes on at once (ftdi_sio sets the adapter's timer to 1 ms while the
// flag is set). Best effort: a pseudo-terminal, and drivers without the
// setting, refuse TIOCGSERIAL, and the port works as it is. Returns the
// flags to put back when the port is closed.
std::optional<int> RequestLowLatency(int fd) {
  serial_struct serial{};
  if (ioctl(fd, TIOCGSERIAL, &serial) != 0) return std::nullopt;
  const int before = serial.flags;
  if ((before & ASYNC_LOW_LATENCY) != 0) return std::nullopt;
  serial.flags |= ASYNC_LOW_LATENCY;
  if (ioctl(fd, TIOCSSERIAL, &serial) != 0) return std::nullopt;
  return before;
}

// The port is left as it was found.
void RestoreSerialFlags(int fd, int flags) {
  serial_struct serial{};
  if (ioctl(fd, TIOCGSERIAL, &serial) != 0) return;  // the device is gone
  serial.flags = flags;
  ioctl(fd, TIOCSSERIAL, &serial);
}

class PosixSerialLink final : public Link {
 public:
  PosixSerialLink(int fd, std::optional<int> flagsBefore) : fd_(fd), flagsBefore_(flagsBefore) {}
  ~PosixSerialLink() override {
    if (flagsBefore_) RestoreSerialFlags(fd_, *flagsBefore_);
    ioctl(fd_, TIOCNXCL);
    flock(fd_, LOCK_UN);
    close(fd_);
  }

  size_t Write(const uint8_t* data, size_t n) override {
    return Transfer(n, timeouts_.writeTotalMs, POLLOUT,
                    [&](size_t done) { return write(fd_, data + done, n - done); });
  }

  size_t Read(uint8_t* data, size_t n) override {
    return Transfer(n, timeouts_.readTotalMs, POLLIN,
                    [&](size_t done) { return read(fd_, data + done, n - done); });
  }

  // A terminal set to VMIN 0 and VTIME 0 reads 0 when nothing is waiting,
  // not EAGAIN, so a read of 0 is "nothing yet" here as in Transfer; a
  // hang-up shows as POLLHUP, or as EIO from the read.
  size_t Drain(uint8_t* data, size_t n, uint32_t quietMs) override {
    size_t done = 0;
    bool hungUp = false;
    while (done < n) {
      const ssize_t moved = read(fd_, data + done, n - done);
      if (moved > 0) {
        done += static_cast<size_t>(moved);
        continue;
      }
      if (moved < 0 && errno == EINTR) continue;
      if (moved < 0 && errno != EAGAIN) break;  // device gone
      if (hungUp || quietMs == 0) break;
      pollfd pfd{fd_, POLLIN, 0};
      const int ready = poll(&pfd, 1, static_cast<int>(quietMs));
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0) break;  // quiet for quietMs
      // What it sent before it went is still read; then nothing more comes.
      if ((pfd.revents & (POLLHUP | POLLERR)) != 0) hungUp = true;
      if (!hungUp && (pfd.revents & POLLIN) == 0) break;
    }
    return done;
  }

  void SetTimeouts(const Timeouts& timeouts) override { timeouts_ = timeouts; }

  void ApplyLineSettings(const LineSettings& settings) override {
    termios tio{};
    if (tcgetattr(fd_, &tio) != 0) return;
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    tio.c_cflag |= settings.byteSize == 7 ? CS7 : CS8;
    if (settings.parity != 0) tio.c_cflag |= PARENB;
    if (settings.parity == 1) tio.c_cflag |= PARODD;
    if (settings.stopBits != 0) tio.c_cflag |= CSTOPB;
    cfsetispeed(&tio, SpeedOf(settings.baudRate));
    cfsetospeed(&tio, SpeedOf(settings.baudRate));
    tcsetattr(fd_, TCSANOW, &tio);
    int lines = TIOCM_DTR | TIOCM_RTS;
    ioctl(fd_, TIOCMBIC, &lines);  // not every device has modem lines
  }

 private:
  // Moves bytes with `step` until n have gone or `totalMs` has passed.
  template <typename Step>
  size_t Transfer(size_t n, uint32_t totalMs, short event, Step step) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(totalMs);
    size_t done = 0;
    bool hungUp = false;
    while (done < n) {
      const ssize_t moved = step(done);
      if (moved > 0) {
        done += static_cast<size_t>(moved);
        continue;
      }
      if (moved < 0 && errno != EAGAIN && errno != EINTR) break;  // device gone
      if (hungUp) break;  // what it sent before it went is read; nothing more comes
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) break;
      pollfd pfd{fd_, event, 0};
      const int ready = poll(&pfd, 1, static_cast<int>(left.count()));
      if (ready < 0 && errno != EINTR) break;
      // A device that went away fails at once, as a vanished COM port does.
      // A hung-up tty polls readable for ever, so its hang-up has to be
      // looked at, or the read would spin through its whole time-out.
      if (ready > 0 && (pfd.revents & (POLLHUP | POLLERR)) != 0) hungUp = true;
      if (ready > 0 && !hungUp && (pfd.revents & event) == 0) break;
    }
    return done;
  }

  int fd_;
  std::optional<int> flagsBefore_;  // the serial flags before low latency was asked for
  Timeouts timeouts_ = kExchangeTimeouts;
};

}  // namespace

LinkOpening OpenSerialLink(const std::string& port) {
  if (port.empty()) return {nullptr, OpenFailure::kMissing, "no port given"};
  const int fd = open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    // A file that is no device (/etc/passwd) is refused for what it is, not
    // for the rights it happens to have.
    struct stat status {};
    if (stat(port.c_str(), &status) == 0 && !S_ISCHR(status.st_mode)) {
      return {nullptr, OpenFailure::kNotASerialPort, "not a device"};
    }
    switch (error) {
      case ENOENT:
      case ENODEV:
      case ENXIO: return {nullptr, OpenFailure::kMissing, std::strerror(error)};
      case EACCES:
      case EPERM: return {nullptr, OpenFailure::kPermissionDenied, std::strerror(error)};
      case EBUSY: return {nullptr, OpenFailure::kBusy, HolderOf(port)};
      default: return {nullptr, OpenFailure::kOther, std::strerror(error)};
    }
  }
  termios tio{};
  if (!isatty(fd)) {
    close(fd);
    return {nullptr, OpenFailure::kNotASerialPort, "not a terminal device"};
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0 || ioctl(fd, TIOCEXCL) != 0) {
    close(fd);
    return {nullptr, OpenFailure::kBusy, HolderOf(port)};
  }
  if (tcgetattr(fd, &tio) != 0) {
    const int error = errno;
    close(fd);
    return {nullptr, OpenFailure::kNotASerialPort, std::strerror(error)};
  }
  cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  tcsetattr(fd, TCSANOW, &tio);
  return {std::make_unique<PosixSerialLink>(fd, RequestLowLatency(fd)), OpenFailure::kNone, {}};
}
