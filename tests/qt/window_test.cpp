// SPDX-License-Identifier: MIT
// The Linux window on Qt's offscreen platform: its size and controls, the
// model and port lists of the built-in model, the keys, closing it during a
// burn, and the status panel drawn through QPainter, checked pixel by pixel
// at the points the Windows panel's test checks.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QFileDialog>
#include <QImage>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>

#include "burn/burn.h"
#include "catalogue/model_table.h"
#include "qt_test_support.h"
#include "support/environment_variable.h"
#include "support/fake_sysfs.h"
#include "ui/panel.h"
#include "ui/qt/main_window.h"
#include "ui/qt/qt_burn.h"
#include "ui/qt/qt_canvas.h"

namespace {

using namespace std::chrono_literals;

// A burn with no PLC attached: it looks for the USB PLC for 3 s, then says
// so. Long enough to act during it, short enough for a test.
class WithoutPlc {
 protected:
  WithoutPlc()
      : sysfsRoot_("MORVIX_SYSFS_ROOT", noDevices_.Sys().c_str()),
        demoImage_("MORVIX_ALLOW_DEMO_IMAGE", "1") {}

  FakeSysfs noDevices_;
  EnvironmentVariable sysfsRoot_;
  EnvironmentVariable demoImage_;
};

constexpr char kNoPlc[] = "CANNOT open USB Port!!!";

class QtWindow : public ::testing::Test, protected WithoutPlc {
 protected:
  void SetUp() override {
    TestApplication();
    window_ = std::make_unique<MainWindow>();
    window_->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window_.get()));
    button_ = window_->findChild<QPushButton*>(kStartBurnName);
    modelList_ = window_->findChild<QComboBox*>(kModelListName);
    portList_ = window_->findChild<QComboBox*>(kPortListName);
    elapsedTimer_ = window_->findChild<QTimer*>(kElapsedTimerName);
    repaintTimer_ = window_->findChild<QTimer*>(kRepaintTimerName);
    ASSERT_TRUE(button_ && modelList_ && portList_ && elapsedTimer_ && repaintTimer_);
  }

  void TearDown() override {
    // A burn left running would wait for ever for its box.
    Operator anyone;
    EXPECT_TRUE(WaitFor([] { return !BurnUnderWay(); }, 10s));
    window_.reset();
  }

  void Activate() {
    window_->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window_.get()));
  }

  bool Idle() const {
    return !BurnUnderWay() && button_->isEnabled() && !elapsedTimer_->isActive();
  }

  std::unique_ptr<MainWindow> window_;
  QPushButton* button_ = nullptr;
  QComboBox* modelList_ = nullptr;
  QComboBox* portList_ = nullptr;
  QTimer* elapsedTimer_ = nullptr;
  QTimer* repaintTimer_ = nullptr;
};

// --- Size, controls, lists ------------------------------------------------------

TEST_F(QtWindow, IsFixedAt544By205WithoutMaximiseButton) {
  EXPECT_EQ(window_->windowTitle(), "Morvix PLC Firmware Update Program");
  EXPECT_EQ(window_->frameGeometry().size(), QSize(544, 205));
  window_->resize(700, 400);
  QApplication::processEvents();
  EXPECT_EQ(window_->frameGeometry().size(), QSize(544, 205));
  EXPECT_EQ(window_->minimumSize(), window_->maximumSize());
  const Qt::WindowFlags flags = window_->windowFlags();
  EXPECT_FALSE(flags.testFlag(Qt::WindowMaximizeButtonHint));
  EXPECT_TRUE(flags.testFlag(Qt::WindowMinimizeButtonHint));
  EXPECT_TRUE(flags.testFlag(Qt::WindowCloseButtonHint));
}

TEST_F(QtWindow, ControlsSitWhereTheWindowsProgramHasThem) {
  EXPECT_EQ(button_->geometry(), QRect(10, 60, 100, 30));
  EXPECT_EQ(button_->text(), "Start Burn");
  EXPECT_TRUE(button_->isDefault());
  for (const QComboBox* list : {modelList_, portList_}) {
    // The closed list's own height; it must clear the button below it.
    EXPECT_EQ(list->height(), list->sizeHint().height()) << list->objectName().toStdString();
    EXPECT_LE(list->geometry().bottom(), 59) << list->objectName().toStdString();
  }
  EXPECT_EQ(modelList_->pos(), QPoint(10, 20));
  EXPECT_EQ(modelList_->width(), 120);
  EXPECT_EQ(portList_->pos(), QPoint(160, 20));
  EXPECT_EQ(portList_->width(), 100);
}

TEST_F(QtWindow, ModelListHoldsTheModelsSortedAndShowsTheBuiltInModelDisabled) {
  ASSERT_EQ(modelList_->count(), kModelCount);
  for (int i = 1; i < modelList_->count(); ++i) {
    EXPECT_LT(modelList_->itemText(i - 1).compare(modelList_->itemText(i), Qt::CaseInsensitive), 0)
        << modelList_->itemText(i).toStdString();
  }
  for (int row = 0; row < kModelCount; ++row) {
    EXPECT_GE(modelList_->findText(ModelAt(row).name, Qt::MatchExactly), 0) << ModelAt(row).name;
  }
  EXPECT_EQ(modelList_->currentText(), MORVIX_TEST_DEFAULT_MODEL);
  EXPECT_EQ(CurrentModel(), MORVIX_TEST_DEFAULT_MODEL);
  EXPECT_FALSE(modelList_->isEnabled());
}

TEST_F(QtWindow, PortListOfTheUsbModelIsTheSingleEntryUsbSelected) {
  ASSERT_TRUE(IsUsbModel(MORVIX_TEST_DEFAULT_MODEL));
  ASSERT_EQ(portList_->count(), 1);
  EXPECT_EQ(portList_->itemText(0), "USB");
  EXPECT_EQ(portList_->currentIndex(), 0);
  EXPECT_EQ(SelectedComPort(), "USB");
  EXPECT_TRUE(portList_->isEnabled());
}

// --- Keys -----------------------------------------------------------------------

TEST_F(QtWindow, FocusStartsOnTheWindowAndTabGoesBetweenTheButtonAndThePortList) {
  Activate();
  EXPECT_EQ(QApplication::focusWidget(), window_.get());
  button_->setFocus();
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
  EXPECT_EQ(QApplication::focusWidget(), portList_);
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
  EXPECT_EQ(QApplication::focusWidget(), button_);
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab);
  EXPECT_EQ(QApplication::focusWidget(), portList_);
}

enum class Focus { kWindow, kButton, kPortList };
void PrintTo(Focus focus, std::ostream* os) {
  *os << (focus == Focus::kWindow ? "window" : focus == Focus::kButton ? "button" : "port list");
}

class QtWindowKeys : public QtWindow, public ::testing::WithParamInterface<Focus> {
 protected:
  QWidget* Focused() {
    QWidget* target = GetParam() == Focus::kWindow   ? static_cast<QWidget*>(window_.get())
                      : GetParam() == Focus::kButton ? static_cast<QWidget*>(button_)
                                                     : static_cast<QWidget*>(portList_);
    target->setFocus();
    return target;
  }
};

TEST_P(QtWindowKeys, EscapeStartsNothing) {
  Activate();
  Operator anyone;
  QTest::keyClick(Focused(), Qt::Key_Escape);
  QTest::qWait(200);
  EXPECT_TRUE(Idle());
  EXPECT_TRUE(anyone.Boxes().empty());
  EXPECT_TRUE(window_->isVisible());
}

INSTANTIATE_TEST_SUITE_P(Everywhere, QtWindowKeys,
                         ::testing::Values(Focus::kWindow, Focus::kButton, Focus::kPortList));

class QtWindowEnter : public QtWindowKeys {};

TEST_P(QtWindowEnter, AwayFromTheButtonOpensTheFileDialogWhichOnlyMeasuresTheFile) {
  Activate();
  const std::string file = (noDevices_.Dev() / "some-image.bin").string();
  std::ofstream(file, std::ios::binary) << std::string(1234, 'x');

  QStringList filters;
  Operator chooser([&](QWidget& dialog) {
    auto* files = qobject_cast<QFileDialog*>(&dialog);
    if (files == nullptr) {
      ADD_FAILURE() << "a " << dialog.metaObject()->className()
                    << " came instead: " << dialog.windowTitle().toStdString();
      return Operator::Press(QMessageBox::Ok)(dialog);
    }
    filters = files->nameFilters();
    // Typed into the name field and confirmed, as the operator does.
    auto* name = files->findChild<QLineEdit*>("fileNameEdit");
    ASSERT_NE(name, nullptr);
    name->setFocus();
    name->setText(QString::fromStdString(file));
    QTest::keyClick(name, Qt::Key_Return);
  });
  QTest::keyClick(Focused(), Qt::Key_Return);
  EXPECT_EQ(filters, QStringList({"Binary File (*.bin)", "All (*.*)"}));
  EXPECT_EQ(window_->ChosenFile(), QString::fromStdString(file));
  EXPECT_EQ(window_->ChosenFileLength(), 1234u);
  EXPECT_TRUE(Idle());

  // Cancelled, the dialog leaves the earlier choice.
  chooser.SetAnswer([](QWidget& dialog) { qobject_cast<QDialog*>(&dialog)->reject(); });
  QTest::keyClick(Focused(), Qt::Key_Enter);
  EXPECT_EQ(window_->ChosenFile(), QString::fromStdString(file));
  EXPECT_EQ(window_->ChosenFileLength(), 1234u);
  EXPECT_TRUE(Idle());
}

INSTANTIATE_TEST_SUITE_P(AwayFromTheButton, QtWindowEnter,
                         ::testing::Values(Focus::kWindow, Focus::kPortList));

TEST_F(QtWindow, EnterOnTheButtonStartsOneBurnThatEndsWithItsBox) {
  Activate();
  Operator anyone;
  button_->setFocus();
  QTest::keyClick(button_, Qt::Key_Return);
  ASSERT_TRUE(BurnUnderWay());
  EXPECT_TRUE(elapsedTimer_->isActive());
  EXPECT_EQ(elapsedTimer_->interval(), 1000);
  EXPECT_TRUE(WaitFor([&] { return !button_->isEnabled(); }, 2s));

  // Nothing starts another while it runs.
  QTest::keyClick(window_.get(), Qt::Key_Escape);
  EXPECT_FALSE(StartWindowBurn({window_.get(), button_, elapsedTimer_, {}}));

  ASSERT_TRUE(WaitFor([&] { return Idle(); }, 10s));
  EXPECT_EQ(anyone.Boxes(),
            std::vector<SeenBox>({{"ERROR", kNoPlc, QMessageBox::Critical, window_.get()}}));
  const PanelValues rest = CurrentPanelValues();
  EXPECT_EQ(rest.elapsedTime, 0);
  EXPECT_EQ(rest.progress, 0);
  EXPECT_EQ(rest.flashStatus, 0);
}

// The demo image is not firmware: without the tests' word for it, a burn of
// the default build refuses before it looks for a PLC.
TEST_F(QtWindow, DemoImageIsRefusedUnlessAllowed) {
#ifndef MORVIX_TEST_DEMO_IMAGE
  GTEST_SKIP() << "this build carries a firmware image";
#endif
  const EnvironmentVariable notAllowed("MORVIX_ALLOW_DEMO_IMAGE", nullptr);
  Operator anyone;
  button_->click();
  ASSERT_TRUE(WaitFor([&] { return Idle(); }, 2s));
  ASSERT_EQ(anyone.Boxes().size(), 1u);
  EXPECT_EQ(anyone.Boxes()[0].caption, "ERROR");
  EXPECT_TRUE(anyone.Boxes()[0].text.startsWith("The image is the DEMO image, not firmware"))
      << anyone.Boxes()[0].text.toStdString();
}

// --- Closing --------------------------------------------------------------------

TEST_F(QtWindow, ClosingWhenIdleAsksNothing) {
  Operator anyone;
  EXPECT_TRUE(window_->close());
  EXPECT_FALSE(window_->isVisible());
  EXPECT_TRUE(anyone.Boxes().empty());
}

TEST_F(QtWindow, ClosingDuringABurnAsksAndNoKeepsTheWindowAndTheBurn) {
  Operator keep(Operator::Press(QMessageBox::No));
  button_->click();
  ASSERT_TRUE(BurnUnderWay());
  EXPECT_FALSE(window_->close());
  EXPECT_TRUE(window_->isVisible());
  EXPECT_TRUE(BurnUnderWay());
  ASSERT_EQ(keep.Boxes().size(), 1u);
  EXPECT_EQ(keep.Boxes()[0].caption, "Morvix PLC Firmware Update Program");
  EXPECT_EQ(keep.Boxes()[0].icon, QMessageBox::Warning);
  EXPECT_EQ(keep.Boxes()[0].parent, window_.get());

  keep.SetAnswer(Operator::Press(QMessageBox::Ok));
  ASSERT_TRUE(WaitFor([&] { return Idle(); }, 10s));
  ASSERT_EQ(keep.Boxes().size(), 2u);
  EXPECT_EQ(keep.Boxes()[1].text, kNoPlc);
}

// A confirmed close asks the burn to stop: it ends without its box and
// closes its link, and only then does the window close.
TEST_F(QtWindow, ConfirmedCloseDuringABurnStopsItAndThenCloses) {
  Operator confirm([](QWidget& dialog) {
    auto* box = qobject_cast<QMessageBox*>(&dialog);
    if (box == nullptr) return;
    if (box->button(QMessageBox::Yes) != nullptr) {
      box->button(QMessageBox::Yes)->click();
    } else {
      box->button(QMessageBox::Ok)->click();
    }
  });
  button_->click();
  ASSERT_TRUE(BurnUnderWay());
  // Well inside the 3 s the burn looks for a PLC.
  EXPECT_FALSE(window_->close()) << "closed under a running burn";
  EXPECT_TRUE(window_->isVisible());
  ASSERT_TRUE(WaitFor([&] { return !window_->isVisible(); }, 10s));
  EXPECT_FALSE(BurnUnderWay());
  ASSERT_EQ(confirm.Boxes().size(), 1u) << "a stopped burn shows no box of its own";
  EXPECT_TRUE(confirm.Boxes()[0].text.startsWith("A firmware update is under way"));
}

// --- The status panel ----------------------------------------------------------

// Wider than the window, so that the error counter's clearing up to x = 540
// can be seen.
constexpr int kWidth = 560;
constexpr int kHeight = 180;
// A colour that nothing in the panel or the logo uses: whatever still shows
// it was not drawn on. Light enough not to count as dark.
constexpr QRgb kUntouched = 0x30C060;
constexpr QRgb kWhite = 0xFFFFFF;
constexpr QRgb kRed = 0xFF0000;

bool IsDark(QRgb c) { return qRed(c) + qGreen(c) + qBlue(c) < 3 * 96; }

class QtPanel : public ::testing::Test {
 protected:
  void SetUp() override {
    TestApplication();
    image_.fill(kUntouched);
  }

  void Draw(const std::function<void(Canvas&)>& draw) {
    QPainter painter(&image_);
    QtCanvas canvas(painter, palette_, logo_);
    draw(canvas);
  }

  QRgb At(int x, int y) const { return image_.pixel(x, y) & 0xFFFFFF; }
  int Count(const PanelRect& r, const std::function<bool(QRgb)>& match) const {
    int n = 0;
    for (int y = r.top; y < r.bottom; ++y) {
      for (int x = r.left; x < r.right; ++x) n += match(At(x, y)) ? 1 : 0;
    }
    return n;
  }
  int CountOf(const PanelRect& r, QRgb colour) const {
    return Count(r, [colour](QRgb c) { return c == colour; });
  }
  static int Area(const PanelRect& r) { return (r.right - r.left) * (r.bottom - r.top); }
  QRgb WindowColour() const { return palette_.color(QPalette::Window).rgb() & 0xFFFFFF; }

  QImage image_{kWidth, kHeight, QImage::Format_RGB32};
  QPalette palette_ = QApplication::palette();
  QtLogo logo_;
};

struct BarCase {
  int32_t progress;
  int redWidth;
};
void PrintTo(const BarCase& c, std::ostream* os) { *os << "progress " << c.progress; }

class QtProgressBar : public QtPanel, public ::testing::WithParamInterface<BarCase> {};

TEST_P(QtProgressBar, RedFromTheLeftThenWhiteWithinTenTo519By105To124) {
  Draw([](Canvas& canvas) { DisplayProgressBar(canvas, GetParam().progress); });
  const int redEnd = 10 + GetParam().redWidth;
  EXPECT_EQ(CountOf({10, 105, redEnd, 125}, kRed), Area({10, 105, redEnd, 125}));
  EXPECT_EQ(CountOf({redEnd, 105, 520, 125}, kWhite), Area({redEnd, 105, 520, 125}));
  EXPECT_EQ(CountOf({9, 104, 521, 105}, kUntouched), 512);
  EXPECT_EQ(CountOf({9, 125, 521, 126}, kUntouched), 512);
  EXPECT_EQ(At(9, 115), kUntouched);
  EXPECT_EQ(At(520, 115), kUntouched);
}

INSTANTIATE_TEST_SUITE_P(Percentages, QtProgressBar,
                         ::testing::Values(BarCase{0, 0}, BarCase{33, 168}, BarCase{50, 255},
                                           BarCase{100, 510}));

TEST_F(QtPanel, TextAreasAreClearedWithTheWindowColourAndNoFurther) {
  Draw([](Canvas& canvas) { DrawPanelOnTick(canvas, PanelValues{}); });
  const PanelRect areas[] = {
      {160, 70, 335, 90}, {10, 140, 130, 160}, {160, 140, 300, 160}, {320, 140, 540, 160}};
  for (const PanelRect& r : areas) {
    // The bottom row of each area lies below its text.
    const PanelRect bottomRow{r.left, r.bottom - 1, r.right, r.bottom};
    EXPECT_EQ(CountOf(bottomRow, WindowColour()), r.right - r.left) << r.left << "," << r.top;
    EXPECT_EQ(At(r.left - 1, r.bottom - 1), kUntouched) << r.left << "," << r.top;
    EXPECT_EQ(At(r.left, r.bottom), kUntouched) << r.left << "," << r.top;
  }
  EXPECT_EQ(At(130, 159), kUntouched);
  EXPECT_EQ(At(300, 159), kUntouched);
  EXPECT_EQ(At(540, 159), kUntouched);
  EXPECT_EQ(At(335, 89), kUntouched);
}

TEST_F(QtPanel, DateHangsBelowItsPointOnATransparentBackground) {
  Draw([](Canvas& canvas) { DisplayDate(canvas); });
  const PanelRect line{300, 25, 540, 45};
  EXPECT_GT(Count(line, IsDark), 40);
  EXPECT_EQ(CountOf(line, kWhite), 0);
  EXPECT_GT(CountOf(line, kUntouched), Area(line) / 2);
  // The point is the text's top-left corner, not its base line.
  EXPECT_EQ(Count({290, 0, 560, 25}, IsDark), 0);
  EXPECT_EQ(Count({290, 45, 560, 60}, IsDark), 0);
  EXPECT_EQ(Count({280, 25, 300, 45}, IsDark), 0);
}

TEST_F(QtPanel, UnknownPhaseLeavesTheWordAreaEmpty) {
  const PanelRect word{209, 140, 300, 160};
  Draw([](Canvas& canvas) { DisplayStatus(canvas, 3); });
  EXPECT_EQ(CountOf(word, WindowColour()), Area(word));
  EXPECT_GT(Count({160, 140, 209, 160}, IsDark), 20);  // "Status: " is there
  Draw([](Canvas& canvas) { DisplayStatus(canvas, 0); });
  EXPECT_GT(Count(word, IsDark), 20);  // "Idle"
}

TEST_F(QtPanel, LogoLandsAt435_15ScaledTo87By28) {
  Draw([](Canvas& canvas) { DisplayLogo(canvas); });
  EXPECT_EQ(CountOf({434, 14, 523, 15}, kUntouched), 89);
  EXPECT_EQ(CountOf({434, 43, 523, 44}, kUntouched), 89);
  EXPECT_EQ(CountOf({434, 15, 435, 43}, kUntouched), 28);
  EXPECT_EQ(CountOf({522, 15, 523, 43}, kUntouched), 28);
  const PanelRect box{435, 15, 522, 43};
  EXPECT_EQ(CountOf(box, kUntouched), 0);
  // The logo, not an empty picture: a white ground with the dark wordmark on
  // the right and the blue mark on the left.
  EXPECT_GT(CountOf(box, kWhite), Area(box) / 3);
  EXPECT_GT(Count({460, 15, 522, 43}, IsDark), 100);
  EXPECT_GT(Count({435, 15, 460, 43}, [](QRgb c) { return qBlue(c) > 150 && qRed(c) < 100; }), 100);
}

TEST_F(QtPanel, LogoIsScaledOnceAndKeptBetweenTicks) {
  const qint64 first = logo_.Scaled(kLogoSize).cacheKey();
  ASSERT_FALSE(logo_.Scaled(kLogoSize).isNull());
  Draw([](Canvas& canvas) {
    for (int tick = 0; tick < 20; ++tick) DisplayLogo(canvas);
  });
  EXPECT_EQ(logo_.Scaled(kLogoSize).cacheKey(), first);
  EXPECT_EQ(logo_.Scaled(kLogoSize).size(), QSize(87, 28));
}

TEST_F(QtPanel, WithoutALogoNothingIsDrawn) {
  QtLogo missing(":/no/such/logo.bmp");
  QPainter painter(&image_);
  QtCanvas canvas(painter, palette_, missing);
  DisplayLogo(canvas);
  painter.end();
  EXPECT_TRUE(missing.Scaled(kLogoSize).isNull());
  EXPECT_EQ(CountOf({0, 0, kWidth, kHeight}, kUntouched), kWidth * kHeight);
}

// The window paints the panel itself, logo included, and again every 100 ms.
TEST_F(QtWindow, ShowsThePanelAtRestAndRepaintsItEveryTenthOfASecond) {
  const QImage shot = window_->grab().toImage();
  auto at = [&](int x, int y) { return shot.pixel(x, y) & 0xFFFFFF; };
  for (int x = 10; x < 520; x += 10) EXPECT_EQ(at(x, 115), kWhite) << x;
  EXPECT_EQ(at(10, 105), kWhite);
  EXPECT_EQ(at(519, 124), kWhite);
  int logoBlue = 0;
  for (int y = 15; y < 43; ++y) {
    for (int x = 435; x < 460; ++x) logoBlue += qBlue(at(x, y)) > 150 && qRed(at(x, y)) < 100;
  }
  EXPECT_GT(logoBlue, 100);

  EXPECT_TRUE(repaintTimer_->isActive());
  EXPECT_EQ(repaintTimer_->interval(), 100);
  EXPECT_FALSE(elapsedTimer_->isActive());
  struct PaintCounter : QObject {
    int paints = 0;
    bool eventFilter(QObject*, QEvent* event) override {
      paints += event->type() == QEvent::Paint;
      return false;
    }
  } counter;
  window_->installEventFilter(&counter);
  QTest::qWait(1000);
  window_->removeEventFilter(&counter);
  EXPECT_GE(counter.paints, 8);
  EXPECT_LE(counter.paints, 12);
}

}  // namespace
