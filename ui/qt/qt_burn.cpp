// SPDX-License-Identifier: MIT
#include "ui/qt/qt_burn.h"

#include <QMessageBox>
#include <QMetaObject>
#include <QPushButton>
#include <QString>
#include <QTimer>
#include <QWidget>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "burn/burn.h"
#include "catalogue/model_table.h"
#include "discovery/usb.h"
#include "image/image_source.h"
#include "link/serial.h"

namespace {

// The window's own state, on its own thread unless said otherwise.
const ModelRules* chosenModel = nullptr;
std::mutex chosenPortMutex;  // the burn reads the port when it opens it
std::string chosenPort;

// What the panel shows: written by the burn's events and the elapsed-time
// timer, read by the repaints.
std::atomic<int32_t> elapsedTime{0};
std::atomic<int32_t> progress{0};
std::atomic<int32_t> flashStatus{0};
std::atomic<int32_t> errCounter{0};
std::atomic<int32_t> totalErrCounter{0};

std::string ChosenPort() {
  std::lock_guard<std::mutex> lock(chosenPortMutex);
  return chosenPort;
}

// The burn's view of the window: every request runs on the window's thread
// while the burn waits, so they keep their order and a box holds the burn
// until the operator dismisses it.
class QtBurnEnvironment final : public BurnEnvironment, public BurnObserver {
 public:
  explicit QtBurnEnvironment(const BurnControls& controls) : controls_(controls) {}

  std::string ComPort() override { return ChosenPort(); }
  LinkOpening OpenSerialPort(const std::string& port) override { return OpenSerialLink(port); }
  LinkOpening OpenMyDevPipe() override { return ::OpenMyDevPipe(""); }

  // A box's own event loop keeps the repaint timer running, so the panel
  // stays current while the operator reads.
  void ShowBox(BoxKind kind, const std::string& text, const std::string& caption) override {
    OnWindowThread([&] {
      QMessageBox box(kind == BoxKind::kError ? QMessageBox::Critical : QMessageBox::Information,
                      QString::fromStdString(caption), QString::fromStdString(text),
                      QMessageBox::Ok, controls_.window);
      // A port's name is shown as it is written, never taken for markup.
      box.setTextFormat(Qt::PlainText);
      box.exec();
    });
  }
  void EnableStartButton(bool enable) override {
    OnWindowThread([&] { controls_.startButton->setEnabled(enable); });
    gaveButtonBack = enable;
  }
  void StopElapsedTimer() override {
    OnWindowThread([&] { controls_.elapsedTimer->stop(); });
  }
  void ResetElapsedTime() override { elapsedTime = 0; }
  // Only the burn thread waits; the window goes on painting.
  void SleepSeconds(int seconds, const CancelToken& cancel) override {
    cancel.WaitFor(std::chrono::seconds(seconds));
  }

  void OnStatus(const BurnStatus& status) override {
    flashStatus = status.flashStatus;
    progress = status.progress;
    errCounter = status.errCounter;
    totalErrCounter = status.totalErrCounter;
  }

  // Set once the burn has given the button back: all it does after that is
  // close its link and release its image.
  std::atomic<bool> gaveButtonBack{false};

 private:
  void OnWindowThread(const std::function<void()>& request) {
    QMetaObject::invokeMethod(controls_.window, request, Qt::BlockingQueuedConnection);
  }

  BurnControls controls_;
};

// The one burn of the window: its thread, its stop request, and what it
// talks to.
struct RunningBurn {
  explicit RunningBurn(const BurnControls& controls) : environment(controls) {}
  CancelToken cancel;
  BuiltInImageSource image;
  QtBurnEnvironment environment;
  std::jthread thread;  // joined when given up
  std::atomic<bool> done{false};
};
std::unique_ptr<RunningBurn> burn;

// Takes back the thread of a burn that is done.
void TakeBack() {
  if (burn->thread.joinable()) burn->thread.join();
  burn.reset();
}

}  // namespace

std::string_view BuiltInModel() { return DefaultModelName(); }

void ChooseBurnModel(std::string_view model) {
  if (const auto row = FindModel(model)) chosenModel = &ModelAt(*row);
}

void ChooseBurnPort(const std::string& port) {
  std::lock_guard<std::mutex> lock(chosenPortMutex);
  chosenPort = port;
}

std::string SelectedComPort() { return ChosenPort(); }

std::string_view CurrentModel() {
  return chosenModel != nullptr ? std::string_view(chosenModel->name) : std::string_view();
}

bool StartWindowBurn(const BurnControls& controls) {
  if (burn && !burn->done) {
    // A burn under way stays the only one; once it has given the button
    // back, a start must not be lost: it waits, bounded, for the burn's last
    // steps, which ask nothing of this thread.
    if (!burn->environment.gaveButtonBack) return false;
    const auto until = std::chrono::steady_clock::now() + kLastStepsWait;
    while (!burn->done && std::chrono::steady_clock::now() < until) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (!burn->done) {
      QMessageBox::critical(controls.window, "ERROR", "The firmware update CANNOT be started");
      return false;
    }
  }
  if (burn) TakeBack();
  if (chosenModel == nullptr) return false;
  burn = std::make_unique<RunningBurn>(controls);
  // The demo image goes only to a simulated PLC, such as the window tests'.
  const char* allowDemo = std::getenv("MORVIX_ALLOW_DEMO_IMAGE");
  const BurnInputs inputs{
      *chosenModel,      burn->image,  burn->environment,
      burn->environment, burn->cancel, allowDemo != nullptr && std::string_view(allowDemo) == "1"};
  controls.elapsedTimer->start();
  try {
    burn->thread = std::jthread([inputs, &done = burn->done, controls] {
      StartBurn(inputs);
      done = true;
      if (controls.ended) QMetaObject::invokeMethod(controls.window, controls.ended);
    });
  } catch (const std::system_error&) {
    // Without its thread no burn runs: say so rather than count seconds of
    // nothing with the button dead for good.
    controls.elapsedTimer->stop();
    burn.reset();
    QMessageBox::critical(controls.window, "ERROR", "The firmware update CANNOT be started");
    return false;
  }
  return true;
}

bool BurnUnderWay() { return burn && !burn->done; }

void StopBurn() {
  if (burn) burn->cancel.Request();
}

void CountElapsedSecond() { ++elapsedTime; }

PanelValues CurrentPanelValues() {
  PanelValues values;
  values.elapsedTime = elapsedTime;
  values.progress = progress;
  values.flashStatus = flashStatus;
  values.errCounter = errCounter;
  values.totalErrCounter = totalErrCounter;
  return values;
}

int LeaveWindow(int status) {
  // The window closes only once a burn has closed its link; its thread has
  // returned or is about to.
  if (burn) TakeBack();
  return status;
}
