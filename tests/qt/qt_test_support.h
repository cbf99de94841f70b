// SPDX-License-Identifier: MIT
// What the Linux window's tests share: one application on Qt's offscreen
// platform, and a stand-in operator who answers every modal dialog.
#pragma once

#include <QMessageBox>
#include <QObject>
#include <QString>
#include <QTimer>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QApplication;
class QWidget;

// The application, made on first use. Always on the offscreen platform: a
// test never opens a window on the developer's screen. Closing the last
// window does not quit it.
QApplication& TestApplication();

// Runs the event loop until `done` or `limit`; whether `done`.
bool WaitFor(const std::function<bool()>& done,
             std::chrono::milliseconds limit = std::chrono::seconds(10));

struct SeenBox {
  QString caption;
  QString text;
  QMessageBox::Icon icon;
  const QWidget* parent;
  friend bool operator==(const SeenBox&, const SeenBox&) = default;
};

// Watches for modal dialogs while the event loop runs (also inside another
// dialog's own loop) and hands each one once to `answer`. Message boxes are
// recorded first, in the order they came.
class Operator : public QObject {
 public:
  using Answer = std::function<void(QWidget& dialog)>;
  explicit Operator(Answer answer = Press(QMessageBox::Ok));

  void SetAnswer(Answer answer) { answer_ = std::move(answer); }
  const std::vector<SeenBox>& Boxes() const { return boxes_; }

  // Presses that button of a message box; cancels any other dialog.
  static Answer Press(QMessageBox::StandardButton button);

 private:
  void Look();

  Answer answer_;
  QTimer timer_;
  std::vector<SeenBox> boxes_;
};

// morvix-plcsim on `link` (a path it makes a link to its pseudo-terminal),
// ending by itself once the update is complete and the link closed.
class SimulatedPlc {
 public:
  SimulatedPlc(const std::string& link, const std::string& model, const std::string& image,
               const std::string& report);
  ~SimulatedPlc();
  bool Ready() const { return ready_; }
  // Its exit status once it ended (0: no violation), -1 when it did not.
  int Wait();
  // The report it wrote as it ended.
  std::string Report() const;

 private:
  std::unique_ptr<class ChildProcess> process_;
  std::string report_;
  bool ready_ = false;
};
