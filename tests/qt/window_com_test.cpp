// SPDX-License-Identifier: MIT
// The Linux window of a program built for a COM model (KR2-E): its port list
// from a fake sysfs tree (MORVIX_SYSFS_ROOT), the port the operator picks
// handed to the burn, and a whole update through that port against
// morvix-plcsim.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <memory>

#include "burn/burn.h"
#include "qt_test_support.h"
#include "support/environment_variable.h"
#include "support/fake_sysfs.h"
#include "ui/qt/main_window.h"
#include "ui/qt/qt_burn.h"

namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;

class QtComWindow : public ::testing::Test {
 protected:
  QtComWindow() {
    tree_.PlatformUart("ttyS0", "4");
    tree_.PlatformUart("ttyS1", "0");  // reserved by the kernel, no UART behind it
    tree_.UsbSerialTty(tree_.UsbDevice("1-2", "0403", "6001"), "ttyUSB0");
    tree_.UsbSerialTty(tree_.UsbDevice("1-3", "067b", "2303"), "ttyUSB1");
    tree_.VirtualTty("tty0");
  }

  void SetUp() override {
    TestApplication();
    window_ = std::make_unique<MainWindow>();
    window_->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window_.get()));
    window_->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window_.get()));
    portList_ = window_->findChild<QComboBox*>(kPortListName);
    ASSERT_NE(portList_, nullptr);
  }

  // Picks the next port with the arrow key, as the operator does.
  void PickNextPort() {
    portList_->setFocus();
    QTest::keyClick(portList_, Qt::Key_Down);
  }

  FakeSysfs tree_;
  EnvironmentVariable sysfsRoot_{"MORVIX_SYSFS_ROOT", tree_.Sys().c_str()};
  std::unique_ptr<MainWindow> window_;
  QComboBox* portList_ = nullptr;
};

TEST_F(QtComWindow, PortListHoldsTheDevicePathsSortedAndTheFirstIsTheBurnsPort) {
  ASSERT_EQ(portList_->count(), 3);
  EXPECT_EQ(portList_->itemText(0).toStdString(), tree_.DevPath("ttyS0"));
  EXPECT_EQ(portList_->itemText(1).toStdString(), tree_.DevPath("ttyUSB0"));
  EXPECT_EQ(portList_->itemText(2).toStdString(), tree_.DevPath("ttyUSB1"));
  EXPECT_EQ(portList_->currentIndex(), 0);
  EXPECT_EQ(SelectedComPort(), tree_.DevPath("ttyS0"));
  EXPECT_EQ(window_->findChild<QComboBox*>(kModelListName)->currentText(), "KR2-E");

  PickNextPort();
  EXPECT_EQ(SelectedComPort(), tree_.DevPath("ttyUSB0"));
  PickNextPort();
  EXPECT_EQ(SelectedComPort(), tree_.DevPath("ttyUSB1"));
}

TEST_F(QtComWindow, BurnGoesThroughThePortPickedInTheList) {
  const std::string report = (tree_.Dev() / "report.json").string();
  SimulatedPlc plc(tree_.DevPath("ttyUSB1"), "KR2-E", MORVIX_TEST_IMAGE_FILE, report);
  ASSERT_TRUE(plc.Ready());
  PickNextPort();
  PickNextPort();

  Operator operatorAtTheDesk;
  window_->findChild<QPushButton*>(kStartBurnName)->click();
  ASSERT_TRUE(WaitFor([] { return !BurnUnderWay(); }, 30s));
  EXPECT_EQ(operatorAtTheDesk.Boxes(),
            std::vector<SeenBox>({{"INFORMATION", "Firmware update is SUCCESSFUL",
                                   QMessageBox::Information, window_.get()}}));
  EXPECT_EQ(plc.Wait(), 0) << "exit status 0: no violation";
  const std::string record = plc.Report();
  EXPECT_THAT(record, HasSubstr("\"violationCount\": 0")) << record.substr(0, 1000);
  EXPECT_THAT(record, HasSubstr("\"flashMatchesImage\": true"));
}

// A name that looks like markup is shown as it is written.
TEST(QtComWindowBoxes, TextsAreShownAsWrittenNeverAsMarkup) {
  TestApplication();
  FakeSysfs tree;
  tree.UsbSerialTty(tree.UsbDevice("1-2", "0403", "6001"), "<b>ttyUSB0");
  const EnvironmentVariable sysfsRoot("MORVIX_SYSFS_ROOT", tree.Sys().c_str());
  MainWindow window;
  window.show();

  Qt::TextFormat shownAs = Qt::AutoText;
  Operator operatorAtTheDesk([&](QWidget& dialog) {
    if (auto* label = dialog.findChild<QLabel*>("qt_msgbox_label")) shownAs = label->textFormat();
    Operator::Press(QMessageBox::Ok)(dialog);
  });
  window.findChild<QPushButton*>(kStartBurnName)->click();
  ASSERT_TRUE(WaitFor([] { return !BurnUnderWay(); }, 10s));
  ASSERT_EQ(operatorAtTheDesk.Boxes().size(), 1u);
  EXPECT_EQ(operatorAtTheDesk.Boxes()[0].text.toStdString(),
            "CANNOT open " + tree.DevPath("<b>ttyUSB0") + " Port!!!");
  EXPECT_EQ(shownAs, Qt::PlainText);
}

}  // namespace
