// SPDX-License-Identifier: MIT
// The Windows program's one window: the "Start Burn" button, the model list
// and the port list above the status panel, its commands and its two timers.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "catalogue/model_table.h"
#include "ui/panel.h"
#include "ui/win32/window_environment.h"

inline constexpr char szClassName[] = "WindowsApp";
inline constexpr char kWindowTitle[] = "Morvix PLC Firmware Update Program";

// Control ids. The button's id is also the system's Cancel command, IDCANCEL,
// which the dialog keys make of Escape: see HandleDialogKeys.
inline constexpr int kStartBurnId = 2;
inline constexpr int kPortListId = 7;
inline constexpr int kModelListId = 8;
// Enter away from the button arrives as the system's OK command.
inline constexpr int kChooseFileId = 1;

inline constexpr UINT_PTR kElapsedTimerId = 5;  // 1000 ms, while a burn runs
inline constexpr UINT_PTR kRepaintTimerId = 6;  // 100 ms, always

// The window's own state, on its own thread: the port list, and the index of
// the entry the operator chose last.
extern HWND hComPortList;
extern int32_t ComSelidx;
// Entries the port list fills put into it.
int32_t PortListEntries();
// The chosen model: its name as the model list shows it, and its row (none
// while the name is no model of the table).
extern char selectedPLC[kModelNameSize];
const ModelRules* SelectedModel();
// 1 once a file was chosen or a burn started.
extern int32_t isFileChosed;
// The file chosen with the open-file dialog, and its size. The size is kept
// here and nowhere else: the burn sends the built-in image, and a file chosen
// while a burn runs must not change the size that burn erases and sends.
extern char szFile[MAX_PATH];
extern uint32_t chosenFileLength;

// false when the class cannot be registered.
bool RegisterMainWindowClass(HINSTANCE instance);
// The window and its controls, the model fixed by the built-in image, the
// port list filled, the repaint timer started and the window shown.
HWND CreateMainWindow(HINSTANCE instance, int showState);
// The window's dialog keys (IsDialogMessageA: Tab between the controls,
// Enter) for one message of the loop; true when they took it. Escape is left
// out: it goes to the focused control as a plain key (an open drop-down list
// closes on it), never to the window as the Start Burn command.
bool HandleDialogKeys(HWND window, MSG* msg);
// Runs until the window is destroyed; the quit message's wParam.
int RunMessageLoop(HWND window);

LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// What the panel shows now: the running burn's status and the seconds of
// the elapsed-time timer.
PanelValues CurrentPanelValues();
// The port a COM model's burn opens: the entry the operator chose.
std::string SelectedComPort();
// Whether a burn runs: started, and its thread not yet given back.
bool BurnRunning();
// A start that comes after a burn gave the button back, but before that burn
// closed its link and released its image, waits this long for those steps:
// a port closes at once, but a driver may take its time over it.
inline constexpr DWORD kLastStepsWaitMs = 3000;
// Where the window's next burns open their links (tests give stand-ins).
void UseLinks(WindowLinks links);
