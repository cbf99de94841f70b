#include "ui/qt/qt_burn.h"

#include <QMessageBox>
#include <QMetaObject>
#include <QPushButton>
#include <QString>
#include <QTimer>
#include <QWidget>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <system_error>
#include <thread>

#include "burn/burn.h"
#include "burn/image.h"
#include "catalogue/model_table.h"
#include "discovery/usb.h"
#include "link/exchange.h"
#include "link/loader_protocol.h"
#include "link/serial.h"

namespace {

class QtBurnEnvironment final : public BurnEnvironment {
 public:
  void Attach(const BurnControls& controls) { controls_ = controls; }

  std::unique_ptr<Link> OpenSerialPort(const std::string& port) override {
    return OpenSerialLink(port);
  }
  std::unique_ptr<Link> OpenMyDevPipe() override { return ::OpenMyDevPipe(""); }

  void ShowError(const std::string& text) override {
    ShowBox(QMessageBox::Critical, "ERROR", text);
  }
  void ShowInformation(const std::string& text, const std::string& caption) override {
    ShowBox(QMessageBox::Information, caption, text);
  }
  void ShowPrompt(const std::string& text) override { ShowInformation(text, "Information"); }

  void EnableStartButton(bool enable) override {
    OnWindowThread([&] { controls_.startButton->setEnabled(enable); });
  }
  void StopElapsedTimer() override {
    OnWindowThread([&] { controls_.elapsedTimer->stop(); });
  }
  // Only the burn thread waits; the window goes on painting.
  void SleepSeconds(int seconds) override {
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
  }

 private:
  // A box's own event loop keeps the repaint timer running, so the panel
  // stays current while the operator reads.
  void ShowBox(QMessageBox::Icon icon, const std::string& caption, const std::string& text) {
    OnWindowThread([&] {
      QMessageBox box(icon, QString::fromStdString(caption), QString::fromStdString(text),
                      QMessageBox::Ok, controls_.window);
      // A port's name is shown as it is written, never taken for markup.
      box.setTextFormat(Qt::PlainText);
      box.exec();
    });
  }

  void OnWindowThread(const std::function<void()>& request) {
    QMetaObject::invokeMethod(controls_.window, request, Qt::BlockingQueuedConnection);
  }

  BurnControls controls_{};
};

QtBurnEnvironment environment;
// The thread of the last burn, joined rather than left to itself so that
// the program never ends under a thread still returning. A burn gives its
// claim back as the last thing it does: once a new claim succeeds, the old
// thread has nothing left to do but return.
std::jthread burnThread;

}  // namespace

std::string_view BuiltInModel() { return DefaultModelName(); }

void ChooseBurnModel(std::string_view model) {
  if (const auto row = FindModel(model)) SelectModel(*row);
}

void ChooseBurnPort(const std::string& port) { SetSelectedComPort(port); }

bool StartWindowBurn(const BurnControls& controls) {
  if (!ClaimBurn()) return false;
  if (burnThread.joinable()) burnThread.join();
  environment.Attach(controls);
  paramStruct.environment = &environment;
  // The demo image goes only to a simulated PLC, such as the window tests'.
  const char* allowDemo = std::getenv("MORVIX_ALLOW_DEMO_IMAGE");
  paramStruct.demoImageAllowed = allowDemo != nullptr && std::string_view(allowDemo) == "1";
  controls.elapsedTimer->start();
  try {
    burnThread = std::jthread([] { StartBurn(&paramStruct); });
  } catch (const std::system_error&) {
    // Without its thread no burn runs: say so rather than count seconds of
    // nothing with the button dead for good.
    controls.elapsedTimer->stop();
    ReleaseBurnClaim();
    QMessageBox::critical(controls.window, "ERROR", "The firmware update CANNOT be started");
    return false;
  }
  return true;
}

bool BurnUnderWay() { return BurnRunning(); }

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
  // The burn and the link it holds go with the process; tearing the
  // program's globals down under a running burn would not be safe.
  if (BurnRunning()) std::_Exit(status);
  if (burnThread.joinable()) burnThread.join();
  return status;
}
