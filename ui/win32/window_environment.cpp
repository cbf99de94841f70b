#include "ui/win32/window_environment.h"

#include "discovery/usb.h"
#include "link/serial.h"
#include "ui/win32/main_window.h"

std::unique_ptr<Link> WindowEnvironment::OpenSerialPort(const std::string& port) {
  return OpenSerialLink(port);
}

std::unique_ptr<Link> WindowEnvironment::OpenMyDevPipe() { return ::OpenMyDevPipe(""); }

void WindowEnvironment::ShowBox(const std::string& text, const char* caption, UINT icon) {
  BoxRequest request{text.c_str(), caption};
  SendMessageA(window_, kShowBoxMessage, icon, reinterpret_cast<LPARAM>(&request));
}

void WindowEnvironment::ShowError(const std::string& text) { ShowBox(text, "ERROR", MB_ICONERROR); }

void WindowEnvironment::ShowInformation(const std::string& text, const std::string& caption) {
  ShowBox(text, caption.c_str(), MB_ICONINFORMATION);
}

void WindowEnvironment::ShowPrompt(const std::string& text) {
  ShowBox(text, "Information", MB_ICONINFORMATION);
}

void WindowEnvironment::EnableStartButton(bool enable) {
  SendMessageA(window_, kEnableButtonMessage, enable ? TRUE : FALSE, 0);
}

void WindowEnvironment::StopElapsedTimer() { SendMessageA(window_, kStopTimerMessage, 0, 0); }

// Only the burn thread waits; the window goes on painting.
void WindowEnvironment::SleepSeconds(int seconds) { Sleep(static_cast<DWORD>(seconds) * 1000); }

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
