// SPDX-License-Identifier: MIT
// The Linux program's one window: the "Start Burn" button, the model list and
// the port list above the status panel, laid out in the Windows program's
// client-area pixels, with its commands, keys and timers.
#pragma once

#include <QString>
#include <QTimer>
#include <QWidget>
#include <cstdint>

#include "ui/qt/qt_canvas.h"

class QComboBox;
class QPushButton;

inline constexpr char kWindowTitle[] = "Morvix PLC Firmware Update Program";
// The outer size, frame included, as on Windows.
inline constexpr int kOuterWidth = 544;
inline constexpr int kOuterHeight = 205;

// Object names of the controls, by which the tests find them.
inline constexpr char kStartBurnName[] = "startBurn";
inline constexpr char kModelListName[] = "modelList";
inline constexpr char kPortListName[] = "portList";
inline constexpr char kElapsedTimerName[] = "elapsedTimer";
inline constexpr char kRepaintTimerName[] = "repaintTimer";

class MainWindow final : public QWidget {
 public:
  MainWindow();

  // The file chosen last with Enter away from the button, and its size
  // (0xFFFFFFFF when it could not be measured). Nothing else reads them: the
  // burn sends the built-in image.
  const QString& ChosenFile() const { return chosenFile_; }
  uint32_t ChosenFileLength() const { return chosenFileLength_; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void moveEvent(QMoveEvent* event) override;

 private:
  void FixDefaultModel();
  void FillPortList();
  void StartBurnCommand();
  void ChooseFile();
  void FitOuterSize();

  QPushButton* startButton_;
  QComboBox* modelList_;
  QComboBox* portList_;
  QTimer repaintTimer_;
  QTimer elapsedTimer_;
  QtLogo logo_;
  QString chosenFile_;
  uint32_t chosenFileLength_ = 0;
  bool closeWhenBurnEnds_ = false;
};
