// SPDX-License-Identifier: MIT
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

#include "cli/links.h"
#include "link/serial.h"

bool IsTerminal(std::FILE* stream) { return isatty(fileno(stream)) != 0; }

int TerminalColumns(std::FILE* stream) {
  winsize size{};
  if (ioctl(fileno(stream), TIOCGWINSZ, &size) != 0 || size.ws_col == 0) return 80;
  return size.ws_col;
}

int TerminalRows(std::FILE* stream) {
  winsize size{};
  if (ioctl(fileno(stream), TIOCGWINSZ, &size) != 0 || size.ws_row == 0) return 24;
  return size.ws_row;
}

bool EchoesInput(std::FILE* stream) {
  termios settings{};
  return tcgetattr(fileno(stream), &settings) == 0 && (settings.c_lflag & ECHO) != 0;
}

// The PLC's USB link is a tty like any serial port.
LinkOpening OpenUsbDevicePath(const std::string& path) { return OpenSerialLink(path); }

namespace {

// A pipe to oneself: a byte written wakes the poll of WaitForWake. Both ends
// never block, so a handler never waits on a full pipe.
struct WakePipe {
  int in = -1;
  int out = -1;
  WakePipe() {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) == 0) {
      in = ends[0];
      out = ends[1];
    }
  }
};

WakePipe& Wake() {
  static WakePipe pipe;
  return pipe;
}

void (*stopHandler)(int) = nullptr;

void OnStopSignal(int signal) {
  const int saved = errno;
  stopHandler(signal);
  WakeWatcher();
  errno = saved;
}

}  // namespace

void WakeWatcher() {
  const char byte = 1;
  [[maybe_unused]] const ssize_t written = write(Wake().out, &byte, 1);
}

bool WaitForWake(std::chrono::milliseconds limit) {
  pollfd wake{Wake().in, POLLIN, 0};
  const int ready = poll(&wake, 1, static_cast<int>(limit.count()));
  if (ready <= 0) return ready < 0 && errno == EINTR;
  char bytes[64];
  while (read(Wake().in, bytes, sizeof bytes) > 0) {
  }
  return true;
}

std::string HostName() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0) return "";
  return name;
}

void CatchStopSignals(void (*handler)(int)) {
  // Made before a handler may write to it.
  Wake();
  stopHandler = handler;
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  signal(SIGHUP, SIG_IGN);
  signal(SIGPIPE, SIG_IGN);
  // A log past the file size limit is a record not written (exit 6), not
  // the end of an update.
  signal(SIGXFSZ, SIG_IGN);
}
