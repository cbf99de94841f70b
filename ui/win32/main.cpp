// SPDX-License-Identifier: MIT
// The program's entry point.
#include <windows.h>

#include "ui/win32/main_window.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showState) {
  if (!RegisterMainWindowClass(instance)) return 0;
  return RunMessageLoop(CreateMainWindow(instance, showState));
}
