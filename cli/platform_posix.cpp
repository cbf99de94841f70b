#include <signal.h>
#include <unistd.h>

#include "cli/links.h"
#include "link/serial.h"

bool IsTerminal(std::FILE* stream) { return isatty(fileno(stream)) != 0; }

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
