// SPDX-License-Identifier: MIT
// The Win32 link's calls on its handle, against fakes that record them: the
// DCB it writes whatever another program left on the port, and the one
// clearing of line errors when the port opens.
#include "link/win32_link.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <ostream>
#include <string>
#include <vector>

namespace {

using Strings = std::vector<std::string>;

struct FakePort {
  // What GetCommState reports; none: it fails and leaves the record as given.
  bool stateReads = true;
  DCB state{};
  // What the link did.
  Strings calls;
  Strings faults;
  std::vector<DCB> written;
};

FakePort port;
const HANDLE kPort = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x7C0));

void CheckHandle(HANDLE handle, const char* call) {
  if (handle != kPort) port.faults.push_back(std::string(call) + ": not the port's handle");
}

HANDLE WINAPI FakeCreateFile(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                             DWORD disposition, DWORD flags, HANDLE templateFile) {
  port.calls.push_back(std::string("open ") + path);
  if (access != (GENERIC_READ | GENERIC_WRITE) || share != 0 || security != nullptr ||
      disposition != OPEN_EXISTING || flags != FILE_ATTRIBUTE_NORMAL || templateFile != nullptr) {
    port.faults.push_back("open: arguments");
  }
  return kPort;
}

BOOL WINAPI FakeClearCommError(HANDLE handle, LPDWORD errors, LPCOMSTAT) {
  port.calls.push_back("clear errors");
  CheckHandle(handle, "clear errors");
  if (errors != nullptr) *errors = CE_FRAME | CE_RXPARITY;
  return TRUE;
}

BOOL WINAPI FakeGetCommState(HANDLE handle, LPDCB dcb) {
  port.calls.push_back("get state");
  CheckHandle(handle, "get state");
  if (dcb->DCBlength != sizeof(DCB)) port.faults.push_back("get state: record length");
  if (!port.stateReads) return FALSE;
  *dcb = port.state;
  return TRUE;
}

BOOL WINAPI FakeSetCommState(HANDLE handle, LPDCB dcb) {
  port.calls.push_back("set state");
  CheckHandle(handle, "set state");
  port.written.push_back(*dcb);
  return TRUE;
}

BOOL WINAPI FakeSetCommTimeouts(HANDLE handle, LPCOMMTIMEOUTS) {
  port.calls.push_back("time-outs");
  CheckHandle(handle, "time-outs");
  return TRUE;
}

BOOL WINAPI FakeReadFile(HANDLE, LPVOID, DWORD, LPDWORD read, LPOVERLAPPED) {
  port.calls.push_back("read");
  *read = 0;
  return TRUE;
}

BOOL WINAPI FakeWriteFile(HANDLE, LPCVOID, DWORD, LPDWORD written, LPOVERLAPPED) {
  port.calls.push_back("write");
  *written = 0;
  return TRUE;
}

BOOL WINAPI FakeCloseHandle(HANDLE handle) {
  port.calls.push_back("close");
  CheckHandle(handle, "close");
  return TRUE;
}

const CommApi kFakeApi = {FakeCreateFile,   FakeClearCommError,  FakeGetCommState,
                          FakeSetCommState, FakeSetCommTimeouts, FakeReadFile,
                          FakeWriteFile,    FakeCloseHandle};

// A port another program configured with every setting that can hold bytes
// back or change them, and the opposite of what the link wants elsewhere.
DCB EverySettingSet() {
  DCB dcb{};
  dcb.DCBlength = sizeof(DCB);
  dcb.BaudRate = 300;
  dcb.fBinary = FALSE;
  dcb.fParity = TRUE;
  dcb.fOutxCtsFlow = TRUE;
  dcb.fOutxDsrFlow = TRUE;
  dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
  dcb.fDsrSensitivity = TRUE;
  dcb.fTXContinueOnXoff = FALSE;
  dcb.fOutX = TRUE;
  dcb.fInX = TRUE;
  dcb.fErrorChar = TRUE;
  dcb.fNull = TRUE;
  dcb.fRtsControl = RTS_CONTROL_TOGGLE;
  dcb.fAbortOnError = TRUE;
  dcb.XonLim = 2048;
  dcb.XoffLim = 512;
  dcb.ByteSize = 5;
  dcb.Parity = MARKPARITY;
  dcb.StopBits = TWOSTOPBITS;
  dcb.XonChar = 'Q';
  dcb.XoffChar = 'S';
  dcb.ErrorChar = '?';
  dcb.EofChar = 0x1A;
  dcb.EvtChar = '\n';
  return dcb;
}

struct Start {
  const char* name;
  bool stateReads;
  DCB state;
};

void PrintTo(const Start& start, std::ostream* out) { *out << start.name; }

// What each line configuration must put on the wire.
struct Expected {
  LineSettings settings;
  DWORD baudRate;
  BYTE byteSize, parity, stopBits;
  bool parityChecked;
};

const Expected kConfigurations[] = {
    {kApplicationLineSettings, 9600, 7, EVENPARITY, ONESTOPBIT, true},
    {kLoaderLineSettings, 115200, 8, NOPARITY, ONESTOPBIT, false},
};

class Win32LinkOnAPort : public ::testing::TestWithParam<Start> {
 protected:
  void SetUp() override { port = FakePort{}; }
  void TearDown() override { EXPECT_EQ(port.faults, Strings{}); }
};

TEST_P(Win32LinkOnAPort, WritesEveryFlagTheDialoguesDependOnAndClearsLineErrorsOnceAtOpen) {
  const Start& start = GetParam();
  {
    auto link = OpenWin32Link(kFakeApi, "COM3", 0, FILE_ATTRIBUTE_NORMAL).link;
    ASSERT_NE(link, nullptr);
    for (const Expected& configuration : kConfigurations) {
      // Each configuration is judged from what the other program left.
      port.stateReads = start.stateReads;
      port.state = start.state;
      link->ApplyLineSettings(configuration.settings);
    }
  }
  EXPECT_EQ(port.calls, (Strings{"open COM3", "clear errors", "get state", "set state", "get state",
                                 "set state", "close"}));
  ASSERT_EQ(port.written.size(), std::size(kConfigurations));
  const DCB& kept = start.state;
  for (size_t i = 0; i < port.written.size(); ++i) {
    const DCB& dcb = port.written[i];
    const Expected& want = kConfigurations[i];
    SCOPED_TRACE(want.baudRate);
    EXPECT_EQ(dcb.DCBlength, sizeof(DCB));
    EXPECT_EQ(dcb.BaudRate, want.baudRate);
    EXPECT_EQ(dcb.ByteSize, want.byteSize);
    EXPECT_EQ(dcb.Parity, want.parity);
    EXPECT_EQ(dcb.StopBits, want.stopBits);
    EXPECT_EQ(dcb.fParity, want.parityChecked);
    EXPECT_EQ(dcb.fBinary, 1u);
    EXPECT_EQ(dcb.fOutxCtsFlow, 0u);
    EXPECT_EQ(dcb.fOutxDsrFlow, 0u);
    EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_DISABLE));
    EXPECT_EQ(dcb.fDsrSensitivity, 0u);
    EXPECT_EQ(dcb.fTXContinueOnXoff, 1u);
    EXPECT_EQ(dcb.fOutX, 0u);
    EXPECT_EQ(dcb.fInX, 0u);
    EXPECT_EQ(dcb.fErrorChar, 0u);
    EXPECT_EQ(dcb.fNull, 0u);
    EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_DISABLE));
    EXPECT_EQ(dcb.fAbortOnError, 0u);
    // SetCommState refuses equal XON and XOFF characters.
    EXPECT_EQ(dcb.XonChar, 0x11);
    EXPECT_EQ(dcb.XoffChar, 0x13);
    // Nothing else is the link's business.
    EXPECT_EQ(dcb.XonLim, kept.XonLim);
    EXPECT_EQ(dcb.XoffLim, kept.XoffLim);
    EXPECT_EQ(dcb.ErrorChar, kept.ErrorChar);
    EXPECT_EQ(dcb.EofChar, kept.EofChar);
    EXPECT_EQ(dcb.EvtChar, kept.EvtChar);
  }
}

INSTANTIATE_TEST_SUITE_P(Ports, Win32LinkOnAPort,
                         ::testing::Values(Start{"EverySettingSet", true, EverySettingSet()},
                                           // A record the port would not fill stays cleared.
                                           Start{"StateUnreadable", false, DCB{}}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
