#include <unistd.h>

#include "cli/links.h"
#include "link/serial.h"

bool IsTerminal(std::FILE* stream) { return isatty(fileno(stream)) != 0; }

// The PLC's USB link is a tty like any serial port.
std::unique_ptr<Link> OpenUsbDevicePath(const std::string& path) { return OpenSerialLink(path); }
