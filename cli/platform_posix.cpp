// SPDX-License-Identifier: MIT
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

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

void CatchStopSignals(void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  signal(SIGHUP, SIG_IGN);
  signal(SIGPIPE, SIG_IGN);
}
