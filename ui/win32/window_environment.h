// The burn's view of the Windows program. The burn runs on a thread of its
// own; everything it asks of the window (a box, the button, the elapsed-time
// timer) is handed to the window thread with SendMessage, so the requests
// keep their order and the burn waits until each one is done, a box until the
// operator dismisses it.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "burn/burn.h"

// Requests the burn thread sends to the main window.
inline constexpr UINT kShowBoxMessage = WM_APP + 1;       // wParam: icon flag, lParam: BoxRequest*
inline constexpr UINT kEnableButtonMessage = WM_APP + 2;  // wParam: TRUE or FALSE
inline constexpr UINT kStopTimerMessage = WM_APP + 3;

struct BoxRequest {
  const char* text;
  const char* caption;
};

class WindowEnvironment final : public BurnEnvironment {
 public:
  // `window` owns the boxes, the elapsed-time timer and the "Start Burn" button.
  void Attach(HWND window) { window_ = window; }

  std::unique_ptr<Link> OpenSerialPort(const std::string& port) override;
  std::unique_ptr<Link> OpenMyDevPipe() override;
  void ShowError(const std::string& text) override;
  void ShowInformation(const std::string& text, const std::string& caption) override;
  void ShowPrompt(const std::string& text) override;
  void EnableStartButton(bool enable) override;
  void StopElapsedTimer() override;
  void SleepSeconds(int seconds) override;

 private:
  void ShowBox(const std::string& text, const char* caption, UINT icon);

  HWND window_ = nullptr;
};

// The window thread's side: carries out one request of the burn thread.
// true when `message` was one.
bool HandleBurnRequest(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
