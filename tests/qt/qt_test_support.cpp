// SPDX-License-Identifier: MIT
#include "qt_test_support.h"

#include <stdlib.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QTest>
#include <QVariant>
#include <fstream>
#include <iterator>

#include "support/child_process.h"

QApplication& TestApplication() {
  static QApplication* application = [] {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    static int argc = 1;
    static char name[] = "qt-window-test";
    static char* argv[] = {name, nullptr};
    // Never destroyed: a window's burn may still be returning on its thread
    // while the test program ends.
    auto* made = new QApplication(argc, argv);
    made->setQuitOnLastWindowClosed(false);
    return made;
  }();
  return *application;
}

bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  return QTest::qWaitFor(done, static_cast<int>(limit.count()));
}

Operator::Operator(Answer answer) : answer_(std::move(answer)) {
  connect(&timer_, &QTimer::timeout, this, [this] { Look(); });
  timer_.start(20);
}

Operator::Answer Operator::Press(QMessageBox::StandardButton button) {
  return [button](QWidget& dialog) {
    if (auto* box = qobject_cast<QMessageBox*>(&dialog)) {
      if (QAbstractButton* pressed = box->button(button)) pressed->click();
    } else if (auto* other = qobject_cast<QDialog*>(&dialog)) {
      other->reject();  // nothing the test expected: away with it rather than hang
    }
  };
}

void Operator::Look() {
  QWidget* dialog = QApplication::activeModalWidget();
  if (dialog == nullptr || !dialog->isVisible() || dialog->property("answered").toBool()) return;
  dialog->setProperty("answered", true);
  if (auto* box = qobject_cast<QMessageBox*>(dialog)) {
    boxes_.push_back({box->windowTitle(), box->text(), box->icon(), box->parentWidget()});
  }
  answer_(*dialog);
}

SimulatedPlc::SimulatedPlc(const std::string& link, const std::string& model,
                           const std::string& image, const std::string& report)
    : process_(std::make_unique<ChildProcess>(
          MORVIX_PLCSIM,
          std::vector<std::string>{"--link", link, "--model", model, "--image", image, "--report",
                                   report, "--exit-when-complete", "--timeout", "60"})),
      report_(report) {
  ready_ = process_->NextLine() == "ready " + link;
}

SimulatedPlc::~SimulatedPlc() = default;

int SimulatedPlc::Wait() { return process_->Wait(std::chrono::seconds(20)); }

std::string SimulatedPlc::Report() const {
  std::ifstream file(report_);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}
