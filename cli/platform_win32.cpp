// SPDX-License-Identifier: MIT
#include <io.h>
#include <windows.h>

#include <csignal>

#include "cli/links.h"
#include "link/win32_link.h"

bool IsTerminal(std::FILE* stream) {
  if (_isatty(_fileno(stream)) == 0) return false;
  // The status line is redrawn with escape sequences: ask the console for them.
  HANDLE console = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (GetConsoleMode(console, &mode)) {
    SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
  }
  return true;
}

int TerminalColumns(std::FILE*) {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) return 80;
  return info.srWindow.Right - info.srWindow.Left + 1;
}

int TerminalRows(std::FILE*) {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) return 24;
  return info.srWindow.Bottom - info.srWindow.Top + 1;
}

bool EchoesInput(std::FILE* stream) {
  DWORD mode = 0;
  return _isatty(_fileno(stream)) != 0 && GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) &&
         (mode & ENABLE_ECHO_INPUT) != 0;
}

// Opened as the USB search opens the PLC: shared, synchronous.
LinkOpening OpenUsbDevicePath(const std::string& path) {
  return OpenWin32Link(path.c_str(), FILE_SHARE_READ | FILE_SHARE_WRITE, 0);
}

namespace {

// Set by WakeWatcher, reset by the wait that sees it.
HANDLE WakeEvent() {
  static const HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  return event;
}

void (*stopHandler)(int) = nullptr;

// Windows runs a handler on a thread of its own and resets it to the
// default: it is put back for the next Ctrl-C.
void OnStopSignal(int signal) {
  std::signal(signal, OnStopSignal);
  stopHandler(signal);
  WakeWatcher();
}

}  // namespace

void WakeWatcher() { SetEvent(WakeEvent()); }

bool WaitForWake(std::chrono::milliseconds limit) {
  return WaitForSingleObject(WakeEvent(), static_cast<DWORD>(limit.count())) == WAIT_OBJECT_0;
}

std::string HostName() {
  char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = sizeof name;
  return GetComputerNameA(name, &size) ? std::string(name, size) : std::string();
}

void CatchStopSignals(void (*handler)(int)) {
  WakeEvent();
  stopHandler = handler;
  std::signal(SIGINT, OnStopSignal);
  std::signal(SIGTERM, OnStopSignal);
}
