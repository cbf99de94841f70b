// SPDX-License-Identifier: MIT
// The Linux window's one door to the burn: the model and port it is for,
// starting it on a thread of its own, its requests to the window, the values
// the status panel shows, and the end of the program. Nothing else in the
// window touches the burn's interface.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <string_view>

#include "ui/panel.h"

class QPushButton;
class QTimer;
class QWidget;

// What the burn reaches in the window. Every request it makes of them runs
// on the window's thread while the burn waits, so they keep their order and a
// box holds the burn until the operator dismisses it.
struct BurnControls {
  QWidget* window;              // owns the boxes
  QPushButton* startButton;     // disabled while a burn runs
  QTimer* elapsedTimer;         // counts the seconds while a burn runs
  std::function<void()> ended;  // on the window's thread, once the burn is done
};

// The model the image is for; the model list shows it and the burn follows
// its rules.
std::string_view BuiltInModel();
void ChooseBurnModel(std::string_view model);
std::string_view CurrentModel();

// The port a COM model's burn opens, and opens again after a power cycle:
// the operator may change it at any moment, also during a burn.
void ChooseBurnPort(const std::string& port);
std::string SelectedComPort();

// Starts the elapsed-time timer and a burn on a thread of its own. Starts
// nothing and returns false while a burn runs already, whichever way the
// start came.
bool StartWindowBurn(const BurnControls& controls);
bool BurnUnderWay();
// Asks a burn under way to stop; it ends without a box, its link closed.
void StopBurn();
// A start that comes after a burn gave the button back, but before that burn
// closed its link and released its image, waits this long for those steps.
inline constexpr std::chrono::milliseconds kLastStepsWait{3000};

// One tick of the elapsed-time timer.
void CountElapsedSecond();
// What the status panel shows now.
PanelValues CurrentPanelValues();

// The status the program ends with once its window has closed, which it
// does only once a burn has closed its link.
int LeaveWindow(int status);
