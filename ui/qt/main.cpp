// SPDX-License-Identifier: MIT
// morvix-fwupdate on Linux: the Windows program's window on Qt 6 Widgets.
#include <QApplication>

#include "ui/qt/main_window.h"
#include "ui/qt/qt_burn.h"

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  MainWindow window;
  window.show();
  return LeaveWindow(application.exec());
}
