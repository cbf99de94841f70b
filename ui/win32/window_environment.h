// SPDX-License-Identifier: MIT
// The burn's view of the Windows program. The burn runs on a thread of its
// own; everything it asks of the window (a box, the button, the elapsed-time
// timer) is handed to the window thread with SendMessage, so the requests
// keep their order and the burn waits until each one is done, a box until the
// operator dismisses it. Its status events land in the panel's values, which
// the window thread reads on every repaint.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "burn/burn.h"
#include "ui/panel.h"

// Requests the burn thread sends to the main window.
inline constexpr UINT kShowBoxMessage = WM_APP + 1;       // wParam: icon flag, lParam: BoxRequest*
inline constexpr UINT kEnableButtonMessage = WM_APP + 2;  // wParam: TRUE or FALSE
inline constexpr UINT kStopTimerMessage = WM_APP + 3;
inline constexpr UINT kBurnEndedMessage = WM_APP + 4;  // posted once the burn thread is done

struct BoxRequest {
  const char* text;
  const char* caption;
};

// What the status panel shows, written by the burn's events and the
// elapsed-time timer, read by the window thread's repaints.
struct PanelState {
  std::atomic<int32_t> elapsedTime{0};
  std::atomic<int32_t> progress{0};
  std::atomic<int32_t> flashStatus{0};
  std::atomic<int32_t> errCounter{0};
  std::atomic<int32_t> totalErrCounter{0};
  PanelValues Values() const;
};

// How the window's burns reach the PLC: the system's serial ports and the
// USB search, or a test's stand-ins.
struct WindowLinks {
  std::function<LinkOpening(const std::string& port)> openSerial;
  std::function<LinkOpening()> openUsb;
};
WindowLinks SystemLinks();

class WindowEnvironment final : public BurnEnvironment, public BurnObserver {
 public:
  // `window` owns the boxes, the elapsed-time timer and the "Start Burn"
  // button; `comPort` reads the port the operator chose.
  WindowEnvironment(HWND window, PanelState& panel, std::string (*comPort)(), WindowLinks links)
      : window_(window), panel_(panel), comPort_(comPort), links_(std::move(links)) {}

  std::string ComPort() override { return comPort_(); }
  LinkOpening OpenSerialPort(const std::string& port) override;
  LinkOpening OpenMyDevPipe() override;
  void ShowBox(BoxKind kind, const std::string& text, const std::string& caption) override;
  void EnableStartButton(bool enable) override;
  void StopElapsedTimer() override;
  void ResetElapsedTime() override { panel_.elapsedTime = 0; }
  void SleepSeconds(int seconds, const CancelToken& cancel) override;

  void OnStatus(const BurnStatus& status) override;

 private:
  HWND window_;
  PanelState& panel_;
  std::string (*comPort_)();
  WindowLinks links_;
};

// The window thread's side: carries out one request of the burn thread.
// true when `message` was one.
bool HandleBurnRequest(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
