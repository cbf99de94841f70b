// SPDX-License-Identifier: MIT
#include "ui/qt/main_window.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QIcon>
#include <QKeyEvent>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QWindow>

#include "catalogue/model_table.h"
#include "ui/panel.h"
#include "ui/qt/combo_box_port_list.h"
#include "ui/qt/qt_burn.h"

namespace {

constexpr char kIconResource[] = ":/morvix/morvix.ico";
constexpr uint32_t kUnmeasured = 0xFFFFFFFF;

QComboBox* MakeList(QWidget* window, const char* name, int x, int width) {
  auto* list = new QComboBox(window);
  list->setObjectName(name);
  // The height is the closed list's own; the drop-down part is a pop-up.
  list->setGeometry(x, 20, width, list->sizeHint().height());
  return list;
}

}  // namespace

MainWindow::MainWindow()
    : QWidget(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                           Qt::WindowCloseButtonHint),
      repaintTimer_(this),
      elapsedTimer_(this) {
  setWindowTitle(kWindowTitle);
  setWindowIcon(QIcon(kIconResource));

  // Made in Tab order: the button, the model list (disabled, so passed
  // over), the port list.
  startButton_ = new QPushButton("Start Burn", this);
  startButton_->setObjectName(kStartBurnName);
  startButton_->setGeometry(10, 60, 100, 30);
  startButton_->setDefault(true);
  modelList_ = MakeList(this, kModelListName, 10, 120);
  portList_ = MakeList(this, kPortListName, 160, 100);
  setTabOrder(startButton_, modelList_);
  setTabOrder(modelList_, portList_);

  FixDefaultModel();
  FillPortList();
  portList_->setCurrentIndex(0);
  if (portList_->currentIndex() >= 0) ChooseBurnPort(portList_->currentText().toStdString());

  connect(startButton_, &QPushButton::clicked, this, [this] { StartBurnCommand(); });
  // The burn reads the port whenever it opens it, also mid-burn after a
  // power cycle.
  connect(portList_, &QComboBox::activated, this,
          [this](int index) { ChooseBurnPort(portList_->itemText(index).toStdString()); });

  elapsedTimer_.setObjectName(kElapsedTimerName);
  elapsedTimer_.setInterval(1000);
  connect(&elapsedTimer_, &QTimer::timeout, this, [] { CountElapsedSecond(); });
  // The panel shows what the burn thread has reached within a tenth of a
  // second, also while a box waits for the operator.
  repaintTimer_.setObjectName(kRepaintTimerName);
  repaintTimer_.setInterval(100);
  connect(&repaintTimer_, &QTimer::timeout, this, [this] { update(); });
  repaintTimer_.start();

  // The window itself has the focus at first, as on Windows: Enter opens the
  // file dialog until the operator moves to the button.
  setFocus();
  FitOuterSize();
}

// The built-in image names the model; the operator sees it but cannot
// change it.
void MainWindow::FixDefaultModel() {
  for (int row = 0; row < kModelCount; ++row) AddSorted(*modelList_, ModelAt(row).name);
  const int found = modelList_->findText(QString::fromUtf8(BuiltInModel()), Qt::MatchExactly);
  modelList_->setCurrentIndex(found >= 0 ? found : 0);
  ChooseBurnModel(modelList_->currentText().toStdString());
  modelList_->setEnabled(false);
}

void MainWindow::FillPortList() {
  ComboBoxPortList list(*portList_);
  if (IsUsbModel(modelList_->currentText().toStdString())) {
    EnumUSBPort(list);
  } else {
    EnumComPort(list);
  }
}

void MainWindow::StartBurnCommand() {
  StartWindowBurn({this, startButton_, &elapsedTimer_, [this] {
                     if (closeWhenBurnEnds_) close();
                   }});
}

// Left over from the program's design: the chosen file is measured and
// otherwise not used; the burn always sends the built-in image.
void MainWindow::ChooseFile() {
  QFileDialog dialog(this);
  dialog.setFileMode(QFileDialog::ExistingFile);
  dialog.setNameFilters({"Binary File (*.bin)", "All (*.*)"});
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
  chosenFile_ = dialog.selectedFiles().constFirst();
  const QFileInfo file(chosenFile_);
  chosenFileLength_ =
      file.isFile() && file.isReadable() ? static_cast<uint32_t>(file.size()) : kUnmeasured;
}

void MainWindow::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  QtCanvas canvas(painter, palette(), logo_);
  // Qt repaints the whole window on every paint, the logo's place included:
  // the logo is drawn every time, not only on the timer's tick.
  DrawPanelOnTick(canvas, CurrentPanelValues());
}

// The button takes Enter itself (it is the default button); Enter anywhere
// else reaches the window. Escape starts nothing.
void MainWindow::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
    ChooseFile();
    return;
  }
  QWidget::keyPressEvent(event);
}

// Closing during a burn asks first; once confirmed, the burn is asked to
// stop and the window closes when it has closed its link.
void MainWindow::closeEvent(QCloseEvent* event) {
  if (!BurnUnderWay()) {
    event->accept();
    return;
  }
  event->ignore();
  if (closeWhenBurnEnds_) return;
  if (QMessageBox::warning(this, kWindowTitle,
                           "A firmware update is under way. Closing the window stops it, "
                           "and the PLC may be left waiting in its loader.\n\n"
                           "Close the window anyway?",
                           QMessageBox::Yes | QMessageBox::No,
                           QMessageBox::No) != QMessageBox::Yes) {
    return;
  }
  closeWhenBurnEnds_ = true;
  StopBurn();
}

void MainWindow::showEvent(QShowEvent* event) {
  FitOuterSize();
  QWidget::showEvent(event);
}

// A window manager that frames the window moves it inside its frame.
void MainWindow::moveEvent(QMoveEvent* event) {
  FitOuterSize();
  QWidget::moveEvent(event);
}

// The outer size is fixed; the frame belongs to the window manager and is
// known only once it has framed the window (without one there is none), so
// the client area is whatever the frame leaves of it.
void MainWindow::FitOuterSize() {
  const QMargins frame = windowHandle() != nullptr ? windowHandle()->frameMargins() : QMargins();
  const QSize client(kOuterWidth - frame.left() - frame.right(),
                     kOuterHeight - frame.top() - frame.bottom());
  if (minimumSize() != client || maximumSize() != client) setFixedSize(client);
}
