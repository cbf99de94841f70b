// SPDX-License-Identifier: MIT
// A whole update in the Linux window: the program built with a small GL30
// image against morvix-plcsim, whose pseudo-terminal is the PLC's USB tty in
// a fake sysfs tree (MORVIX_SYSFS_ROOT). Started with the mouse, the replug
// box answered, ended by the success box; the simulator's record has the
// image in the flash and no violation.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QApplication>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <memory>

#include "qt_test_support.h"
#include "support/environment_variable.h"
#include "support/fake_sysfs.h"
#include "ui/qt/main_window.h"
#include "ui/qt/qt_burn.h"

namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;

TEST(QtWindowUpdate, UsbModelUpdatesWithTheReplugBoxAndEndsWithTheSuccessBox) {
  TestApplication();
  FakeSysfs tree;
  tree.AcmTty(tree.UsbDevice("1-2", "3e9a", "0001"), "ttyACM0");
  tree.UsbSerialTty(tree.UsbDevice("1-3", "0403", "6001"), "ttyUSB0");
  const EnvironmentVariable sysfsRoot("MORVIX_SYSFS_ROOT", tree.Sys().c_str());
  const std::string report = (tree.Dev() / "report.json").string();
  SimulatedPlc plc(tree.DevPath("ttyACM0"), "GL30", MORVIX_TEST_IMAGE_FILE, report);
  ASSERT_TRUE(plc.Ready());

  MainWindow window;
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  auto* button = window.findChild<QPushButton*>(kStartBurnName);
  auto* elapsedTimer = window.findChild<QTimer*>(kElapsedTimerName);
  ASSERT_TRUE(button && elapsedTimer);

  // At each box: the button greyed, the seconds still counted.
  std::vector<bool> buttonEnabledAtBox;
  std::vector<bool> timerRunningAtBox;
  Operator operatorAtTheDesk([&](QWidget& dialog) {
    buttonEnabledAtBox.push_back(button->isEnabled());
    timerRunningAtBox.push_back(elapsedTimer->isActive());
    Operator::Press(QMessageBox::Ok)(dialog);
  });
  QTest::mouseClick(button, Qt::LeftButton);
  ASSERT_TRUE(BurnUnderWay());
  ASSERT_TRUE(WaitFor([] { return !BurnUnderWay(); }, 60s));

  EXPECT_EQ(operatorAtTheDesk.Boxes(),
            std::vector<SeenBox>(
                {{"Information", "Please REPLUG the USB Cable, and then press OK to continue",
                  QMessageBox::Information, &window},
                 {"Information", "Firmware update is SUCCESSFUL!, please REPLUG the USB cable",
                  QMessageBox::Information, &window}}));
  EXPECT_EQ(buttonEnabledAtBox, std::vector<bool>({false, false}));
  // Stopped before the final box, running while the operator replugs.
  EXPECT_EQ(timerRunningAtBox, std::vector<bool>({true, false}));
  EXPECT_TRUE(WaitFor([&] { return button->isEnabled(); }, 1s));
  const PanelValues rest = CurrentPanelValues();
  EXPECT_EQ(rest.elapsedTime + rest.progress + rest.flashStatus + rest.totalErrCounter, 0);

  EXPECT_EQ(plc.Wait(), 0) << "exit status 0: no violation";
  const std::string record = plc.Report();
  EXPECT_THAT(record, HasSubstr("\"violationCount\": 0")) << record.substr(0, 1000);
  EXPECT_THAT(record, HasSubstr("\"updateComplete\": true"));
  EXPECT_THAT(record, HasSubstr("\"flashMatchesImage\": true"));
  EXPECT_THAT(record, HasSubstr("\"connections\": 2"));
}

}  // namespace
