// The Windows program's one window: the "Start Burn" button, the model list
// and the port list above the status panel, its commands and its two timers.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "ui/panel.h"

inline constexpr char szClassName[] = "WindowsApp";
inline constexpr char kWindowTitle[] = "Morvix PLC Firmware Update Program";

// Control ids. Escape arrives as the system's Cancel command, IDCANCEL, which
// is the button's id: it starts a burn like a click.
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
// Runs until the window is destroyed; the quit message's wParam.
int RunMessageLoop(HWND window);

LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// What the panel shows now: the running burn's status and the seconds of
// the elapsed-time timer.
PanelValues CurrentPanelValues();
// The port a COM model's burn opens: the entry the operator chose.
std::string SelectedComPort();
// Whether a burn runs: started, and its thread not yet done.
bool BurnRunning();
