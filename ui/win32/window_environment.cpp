// SPDX-License-Identifier: MIT
#include "ui/win32/window_environment.h"

#include <chrono>

#include "discovery/usb.h"
#include "link/serial.h"
#include "ui/win32/main_window.h"

PanelValues PanelState::Values() const {
  PanelValues values;
  values.elapsedTime = elapsedTime;
  values.progress = progress;
  values.flashStatus = flashStatus;
  values.errCounter = errCounter;
  values.totalErrCounter = totalErrCounter;
  return values;
}

WindowLinks SystemLinks() {
  return {[](const std::string& port) { return OpenSerialLink(port); },
          [] { return ::OpenMyDevPipe(""); }};
}

LinkOpening WindowEnvironment::OpenSerialPort(const std::string& port) {
  return links_.openSerial(port);
}

LinkOpening WindowEnvironment::OpenMyDevPipe() { return links_.openUsb(); }

void WindowEnvironment::ShowBox(BoxKind kind, const std::string& text, const std::string& caption) {
  BoxRequest request{text.c_str(), caption.c_str()};
  const UINT icon = kind == BoxKind::kError ? MB_ICONERROR : MB_ICONINFORMATION;
  SendMessageA(window_, kShowBoxMessage, icon, reinterpret_cast<LPARAM>(&request));
}

void WindowEnvironment::EnableStartButton(bool enable) {
  SendMessageA(window_, kEnableButtonMessage, enable ? TRUE : FALSE, 0);
}

void WindowEnvironment::StopElapsedTimer() { SendMessageA(window_, kStopTimerMessage, 0, 0); }

// Only the burn thread waits; the window goes on painting.
void WindowEnvironment::SleepSeconds(int seconds, const CancelToken& cancel) {
  cancel.WaitFor(std::chrono::seconds(seconds));
}

void WindowEnvironment::OnStatus(const BurnStatus& status) {
  panel_.flashStatus = status.flashStatus;
  panel_.progress = status.progress;
  panel_.errCounter = status.errCounter;
  panel_.totalErrCounter = status.totalErrCounter;
}

bool HandleBurnRequest(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case kShowBoxMessage: {
      const auto* request = reinterpret_cast<const BoxRequest*>(lParam);
      // The box's own message loop keeps the repaint timer running, so the
      // panel stays current while the operator reads.
      MessageBoxA(window, request->text, request->caption,
                  MB_OK | static_cast<UINT>(wParam & (MB_ICONERROR | MB_ICONINFORMATION)));
      return true;
    }
    case kEnableButtonMessage:
      EnableWindow(GetDlgItem(window, kStartBurnId), wParam != 0 ? TRUE : FALSE);
      return true;
    case kStopTimerMessage: KillTimer(window, kElapsedTimerId); return true;
    default: return false;
  }
}
