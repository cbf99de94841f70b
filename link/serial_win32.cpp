// SPDX-License-Identifier: MIT
// COM ports and the USB pipe on Windows: synchronous handles, configured
// through the DCB and COMMTIMEOUTS records. Only the byte counts of ReadFile
// and WriteFile are used; no result of the settings calls is examined.
//
// The DCB is read from the port and every field the dialogues depend on is
// then set, so that nothing another program left on the port (flow control,
// NUL stripping, error replacement, abort on error) changes the bytes moved.
#include <windows.h>

#include <string>

#include "link/serial.h"
#include "link/serial_path.h"
#include "link/win32_link.h"

namespace {

// Written whatever was read: SetCommState refuses a record whose XON and XOFF
// characters are equal, as they are when the port's state could not be read.
constexpr char kXon = 0x11;
constexpr char kXoff = 0x13;

class Win32Link final : public Link {
 public:
  Win32Link(const CommApi& api, HANDLE handle) : api_(api), handle_(handle) {}
  ~Win32Link() override { api_.closeHandle(handle_); }

  size_t Write(const uint8_t* data, size_t n) override {
    DWORD written = 0;
    api_.writeFile(handle_, data, static_cast<DWORD>(n), &written, nullptr);
    return written;
  }

  size_t Read(uint8_t* data, size_t n) override {
    DWORD read = 0;
    api_.readFile(handle_, data, static_cast<DWORD>(n), &read, nullptr);
    return read;
  }

  // ReadIntervalTimeout MAXDWORD with a total multiplier of MAXDWORD makes
  // ReadFile return as soon as any byte is there, waiting at most the total
  // constant for the first; with both totals 0 it returns at once.
  size_t Drain(uint8_t* data, size_t n, uint32_t quietMs) override {
    COMMTIMEOUTS record{};
    record.ReadIntervalTimeout = MAXDWORD;
    record.ReadTotalTimeoutMultiplier = quietMs == 0 ? 0 : MAXDWORD;
    record.ReadTotalTimeoutConstant = quietMs;
    record.WriteTotalTimeoutConstant = timeouts_.writeTotalMs;
    api_.setCommTimeouts(handle_, &record);
    size_t done = 0;
    while (done < n) {
      DWORD read = 0;
      api_.readFile(handle_, data + done, static_cast<DWORD>(n - done), &read, nullptr);
      if (read == 0) break;
      done += read;
    }
    SetTimeouts(timeouts_);
    return done;
  }

  void SetTimeouts(const Timeouts& timeouts) override {
    timeouts_ = timeouts;
    COMMTIMEOUTS record{};
    record.ReadIntervalTimeout = MAXDWORD;
    record.ReadTotalTimeoutMultiplier = 0;
    record.ReadTotalTimeoutConstant = timeouts.readTotalMs;
    record.WriteTotalTimeoutMultiplier = 0;
    record.WriteTotalTimeoutConstant = timeouts.writeTotalMs;
    api_.setCommTimeouts(handle_, &record);
  }

  void ApplyLineSettings(const LineSettings& settings) override {
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    api_.getCommState(handle_, &dcb);
    dcb.BaudRate = settings.baudRate;
    dcb.ByteSize = settings.byteSize;
    dcb.Parity = settings.parity;
    dcb.StopBits = settings.stopBits;
    // The only mode Windows has; without it an EOF character could end input.
    dcb.fBinary = TRUE;
    // Parity errors are noted only where there is parity. With neither an
    // error character nor abort on error, a byte that fails parity still
    // arrives as received, and the frame's own check turns it down.
    dcb.fParity = settings.parity != NOPARITY;
    dcb.fErrorChar = FALSE;
    dcb.fAbortOnError = FALSE;
    // DTR and RTS stay down and no control line holds output or discards
    // input: the PLC's lines carry no handshake, and an adapter with DSR
    // unconnected would otherwise drop every byte it receives.
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDsrSensitivity = FALSE;
    // No XON/XOFF either way: 0x11 and 0x13 are data in a block and a CRC.
    // Sending goes on whatever the input side would do.
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fTXContinueOnXoff = TRUE;
    dcb.XonChar = kXon;
    dcb.XoffChar = kXoff;
    // The loader's replies carry 0x00 bytes.
    dcb.fNull = FALSE;
    api_.setCommState(handle_, &dcb);
  }

 private:
  CommApi api_;
  HANDLE handle_;
  Timeouts timeouts_ = kExchangeTimeouts;
};

static_assert(sizeof(DCB) == 28, "the DCB record is 28 bytes on every Windows target");

}  // namespace

const CommApi kSystemCommApi = {CreateFileA,     ClearCommError, GetCommState, SetCommState,
                                SetCommTimeouts, ReadFile,       WriteFile,    CloseHandle};

LinkOpening OpenWin32Link(const CommApi& api, const char* path, uint32_t shareMode,
                          uint32_t flagsAndAttributes) {
  HANDLE handle = api.createFile(path, GENERIC_READ | GENERIC_WRITE, shareMode, nullptr,
                                 OPEN_EXISTING, flagsAndAttributes, nullptr);
  if (handle != INVALID_HANDLE_VALUE) {
    // A line error the last program left pending would, with abort on error
    // still set, fail every read and write until it is cleared.
    DWORD errors = 0;
    api.clearCommError(handle, &errors, nullptr);
    return {std::make_unique<Win32Link>(api, handle), OpenFailure::kNone, {}};
  }
  const DWORD error = GetLastError();
  char text[256] = {};
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                 text, sizeof text, nullptr);
  std::string detail = text;
  while (!detail.empty() && (detail.back() == '\n' || detail.back() == '\r')) detail.pop_back();
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: return {nullptr, OpenFailure::kMissing, detail};
    // A COM port another program has open refuses every other open with
    // "access denied": on Windows that means busy, not a missing right.
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION: return {nullptr, OpenFailure::kBusy, detail};
    default: return {nullptr, OpenFailure::kOther, detail};
  }
}

LinkOpening OpenWin32Link(const char* path, uint32_t shareMode, uint32_t flagsAndAttributes) {
  return OpenWin32Link(kSystemCommApi, path, shareMode, flagsAndAttributes);
}

LinkOpening OpenSerialLink(const std::string& port) {
  if (port.empty()) return {nullptr, OpenFailure::kMissing, "no port given"};
  // Exclusive (share mode 0) and synchronous. CreateFileA("COM12") fails:
  // above COM9 a port opens only as "\\.\COM12".
  return OpenWin32Link(SerialDevicePath(port).c_str(), 0, FILE_ATTRIBUTE_NORMAL);
}
