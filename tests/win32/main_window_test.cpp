// SPDX-License-Identifier: MIT
// The main window, made in this process as the program makes it: its class
// and controls as created, the model and port it starts with, its commands
// and keys. A burn started here finds no PLC in the test's wine prefix, so
// its one box shows what the burn thread's requests become on the window
// thread. Messages go through the program's own dialog keys. Boxes and the
// open-file dialog are answered from a thread timer, which their own message
// loops dispatch.
#include "ui/win32/main_window.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "burn/burn.h"
#include "catalogue/model_table.h"
#include "image/image_source.h"
#include "link/link.h"
#include "ui/port_list.h"
#include "ui/win32/window_environment.h"

namespace {

HWND window = nullptr;

void PumpUntil(const std::function<bool()>& done, DWORD timeoutMs) {
  const DWORD start = GetTickCount();
  while (!done() && GetTickCount() - start < timeoutMs) {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (HandleDialogKeys(window, &msg)) continue;
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
    Sleep(10);
  }
}
void PumpFor(DWORD ms) {
  PumpUntil([] { return false; }, ms);
}

std::string ClassOf(HWND control) {
  char name[64] = {};
  GetClassNameA(control, name, sizeof name);
  return name;
}

std::string TextOf(HWND control) {
  char text[512] = {};
  GetWindowTextA(control, text, sizeof text);
  return text;
}

std::string Entry(HWND list, int index) {
  char text[64] = {};
  SendMessageA(list, CB_GETLBTEXT, index, reinterpret_cast<LPARAM>(text));
  return text;
}

// What the operator would see of a dialog of this thread, and what to do
// with it.
struct SeenDialog {
  std::string caption;
  std::string text;  // a message box's text
  HWND owner = nullptr;
  HICON icon = nullptr;
  bool buttonEnabled = true;
  bool elapsedTimerRunning = false;
  std::vector<std::string> fileTypes;  // an open-file dialog's type list
  int fileType = -1;
  DWORD shownAt = 0;  // GetTickCount when it was seen
};
std::vector<SeenDialog> seen;
std::function<void(HWND)> answer;  // called once per dialog

constexpr int kMessageBoxTextId = 0xFFFF;
constexpr int kMessageBoxIconId = 0x440;
constexpr int kFileTypeListId = 0x470;   // cmb1
constexpr int kFileNameEditId = 0x480;   // edt1
constexpr int kFileNameComboId = 0x47C;  // cmb13

BOOL CALLBACK FindDialog(HWND candidate, LPARAM found) {
  if (IsWindowVisible(candidate) && ClassOf(candidate) == "#32770") {
    *reinterpret_cast<HWND*>(found) = candidate;
    return FALSE;
  }
  return TRUE;
}

HWND answered = nullptr;
void CALLBACK WatchDialogs(HWND, UINT, UINT_PTR, DWORD) {
  HWND dialog = nullptr;
  EnumThreadWindows(GetCurrentThreadId(), FindDialog, reinterpret_cast<LPARAM>(&dialog));
  if (dialog == nullptr || dialog == answered) return;
  answered = dialog;
  SeenDialog d;
  d.shownAt = GetTickCount();
  d.caption = TextOf(dialog);
  char text[512] = {};
  GetDlgItemTextA(dialog, kMessageBoxTextId, text, sizeof text);
  d.text = text;
  d.owner = GetWindow(dialog, GW_OWNER);
  d.icon =
      reinterpret_cast<HICON>(SendDlgItemMessageA(dialog, kMessageBoxIconId, STM_GETICON, 0, 0));
  d.buttonEnabled = IsWindowEnabled(GetDlgItem(window, kStartBurnId)) != FALSE;
  // Stopping a timer that runs says so; the burn must have stopped it before its box.
  d.elapsedTimerRunning = KillTimer(window, kElapsedTimerId) != FALSE;
  HWND types = GetDlgItem(dialog, kFileTypeListId);
  const LRESULT count = types != nullptr ? SendMessageA(types, CB_GETCOUNT, 0, 0) : 0;
  for (LRESULT i = 0; i < count; ++i) d.fileTypes.push_back(Entry(types, static_cast<int>(i)));
  if (types != nullptr) d.fileType = static_cast<int>(SendMessageA(types, CB_GETCURSEL, 0, 0));
  seen.push_back(d);
  answer(dialog);
}

void PressOk(HWND dialog) { PostMessageA(dialog, WM_COMMAND, IDOK, 0); }
void PressCancel(HWND dialog) { PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0); }

class MainWindow : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // The program carries the demo image; these burns meet no real PLC.
    _putenv("MORVIX_ALLOW_DEMO_IMAGE=1");
    if (window != nullptr) return;  // one window for every suite, as in the program
    HINSTANCE instance = GetModuleHandleA(nullptr);
    ASSERT_TRUE(RegisterMainWindowClass(instance));
    window = CreateMainWindow(instance, SW_SHOWNORMAL);
    ASSERT_NE(window, nullptr);
    PumpFor(200);
  }

  void SetUp() override {
    seen.clear();
    answered = nullptr;
    answer = PressOk;
    watcher_ = SetTimer(nullptr, 0, 50, WatchDialogs);
  }
  void TearDown() override { KillTimer(nullptr, watcher_); }

  static HWND Child(int id) { return GetDlgItem(window, id); }

  UINT_PTR watcher_ = 0;
};

TEST_F(MainWindow, ClassAndWindowAreTheDefinedOnes) {
  HINSTANCE instance = GetModuleHandleA(nullptr);
  WNDCLASSEXA windowClass{};
  windowClass.cbSize = sizeof windowClass;
  ASSERT_TRUE(GetClassInfoExA(instance, szClassName, &windowClass));
  EXPECT_EQ(windowClass.style, static_cast<UINT>(CS_DBLCLKS));
  EXPECT_EQ(windowClass.hbrBackground, reinterpret_cast<HBRUSH>(COLOR_SCROLLBAR + 1));
  EXPECT_EQ(windowClass.hCursor, LoadCursorA(nullptr, MAKEINTRESOURCEA(32512)));
  EXPECT_EQ(windowClass.cbClsExtra, 0);
  EXPECT_EQ(windowClass.cbWndExtra, 0);
  EXPECT_EQ(windowClass.lpszMenuName, nullptr);
  ASSERT_NE(windowClass.hIcon, nullptr) << "icon resource 1 missing";
  EXPECT_EQ(windowClass.hIcon, LoadIconA(instance, MAKEINTRESOURCEA(1)));

  EXPECT_EQ(TextOf(window), "Morvix PLC Firmware Update Program");
  const auto style = static_cast<DWORD>(GetWindowLongA(window, GWL_STYLE));
  EXPECT_EQ(style & ~(WS_VISIBLE | WS_CLIPSIBLINGS), 0xCA0000u);
  EXPECT_EQ(GetMenu(window), nullptr);
  RECT outer;
  GetWindowRect(window, &outer);
  EXPECT_EQ(outer.right - outer.left, 544);
  EXPECT_EQ(outer.bottom - outer.top, 205);
}

TEST_F(MainWindow, ControlsAreMadeInTabOrderWithTheirIdsStylesAndPlaces) {
  struct Expected {
    int id;
    const char* className;
    const char* text;
    DWORD style;
    int x, y, width;
  };
  const Expected expected[] = {
      {2, "button", "Start Burn", 0x50010001, 10, 60, 100},
      {8, "combobox", "GL30", 0x50210343 | WS_DISABLED, 10, 20, 120},
      {7, "combobox", "USB", 0x50210303, 160, 20, 100},
  };
  HWND control = GetWindow(window, GW_CHILD);
  for (const Expected& e : expected) {
    SCOPED_TRACE(e.text);
    ASSERT_NE(control, nullptr);
    EXPECT_EQ(GetDlgCtrlID(control), e.id);
    std::string name = ClassOf(control);
    std::transform(name.begin(), name.end(), name.begin(), ::tolower);
    EXPECT_EQ(name, e.className);
    EXPECT_EQ(TextOf(control), e.text);
    const auto style = static_cast<DWORD>(GetWindowLongA(control, GWL_STYLE));
    if (name == "combobox") {
      // The system hands WS_VSCROLL on to the drop-down part, which shows
      // its scroll bar only when the entries do not fit.
      EXPECT_EQ(style | WS_VSCROLL, e.style);
    } else {
      EXPECT_EQ(style, e.style);
    }
    RECT r;
    GetWindowRect(control, &r);
    MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&r), 2);
    EXPECT_EQ(r.left, e.x);
    EXPECT_EQ(r.top, e.y);
    EXPECT_EQ(r.right - r.left, e.width);
    control = GetWindow(control, GW_HWNDNEXT);
  }
  EXPECT_EQ(control, nullptr) << "no further control";
  RECT button;
  GetWindowRect(Child(kStartBurnId), &button);
  EXPECT_EQ(button.bottom - button.top, 30);
  // Tab moves between the enabled controls: the button and the port list.
  EXPECT_EQ(GetNextDlgTabItem(window, Child(kStartBurnId), FALSE), Child(kPortListId));
  EXPECT_EQ(GetNextDlgTabItem(window, Child(kPortListId), FALSE), Child(kStartBurnId));
}

TEST_F(MainWindow, ModelListShowsEveryModelSortedAndIsFixedToTheBuiltInOne) {
  HWND list = Child(kModelListId);
  ASSERT_EQ(SendMessageA(list, CB_GETCOUNT, 0, 0), kModelCount);
  std::vector<std::string> shown;
  for (int i = 0; i < kModelCount; ++i) shown.push_back(Entry(list, i));
  for (int row = 0; row < kModelCount; ++row) {
    EXPECT_NE(std::find(shown.begin(), shown.end(), ModelName(row)), shown.end()) << ModelName(row);
  }
  for (int i = 1; i < kModelCount; ++i) {
    EXPECT_LE(lstrcmpiA(shown[i - 1].c_str(), shown[i].c_str()), 0) << shown[i];
  }
  EXPECT_FALSE(IsWindowEnabled(list));
  EXPECT_EQ(Entry(list, static_cast<int>(SendMessageA(list, CB_GETCURSEL, 0, 0))), "GL30");
  EXPECT_STREQ(selectedPLC, "GL30");
  ASSERT_NE(SelectedModel(), nullptr);
  EXPECT_EQ(SelectedModel(), &ModelAt(12));
  EXPECT_EQ(SelectedModel()->code, 0x3000);
}

TEST_F(MainWindow, PortListOfTheUsbModelHoldsUsbSelected) {
  HWND list = Child(kPortListId);
  EXPECT_EQ(list, hComPortList);
  ASSERT_EQ(SendMessageA(list, CB_GETCOUNT, 0, 0), 1);
  EXPECT_EQ(Entry(list, 0), "USB");
  EXPECT_EQ(SendMessageA(list, CB_GETCURSEL, 0, 0), 0);
  EXPECT_EQ(SelectedComPort(), "USB");
  EXPECT_EQ(PortListEntries(), 1);
  EXPECT_EQ(ComSelidx, 0) << "start-up leaves the operator's last choice alone";
}

TEST_F(MainWindow, ChoosingAPortTakesTheTextOfTheChosenSortedEntry) {
  HWND list = Child(kPortListId);
  SendMessageA(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>("COM3"));
  SendMessageA(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>("COM12"));
  // Sorted: COM12, COM3, USB.
  SendMessageA(list, CB_SETCURSEL, 1, 0);
  SendMessageA(window, WM_COMMAND, MAKEWPARAM(kPortListId, CBN_SELCHANGE),
               reinterpret_cast<LPARAM>(list));
  EXPECT_EQ(ComSelidx, 1);
  EXPECT_EQ(SelectedComPort(), "COM3");

  SendMessageA(list, CB_DELETESTRING, 0, 0);
  SendMessageA(list, CB_DELETESTRING, 0, 0);
  SendMessageA(list, CB_SETCURSEL, 0, 0);
  SendMessageA(window, WM_COMMAND, MAKEWPARAM(kPortListId, CBN_SELCHANGE),
               reinterpret_cast<LPARAM>(list));
  EXPECT_EQ(ComSelidx, 0);
  EXPECT_EQ(SelectedComPort(), "USB");
}

TEST_F(MainWindow, ElapsedTimerCountsSecondsAndOtherTimersDoNot) {
  const int32_t before = CurrentPanelValues().elapsedTime;
  SendMessageA(window, WM_TIMER, kElapsedTimerId, 0);
  EXPECT_EQ(CurrentPanelValues().elapsedTime, before + 1);
  SendMessageA(window, WM_TIMER, kRepaintTimerId, 0);
  SendMessageA(window, WM_TIMER, 9, 0);
  EXPECT_EQ(CurrentPanelValues().elapsedTime, before + 1);
}

// A link that holds the burn: in its first write until released (the burn
// under way, the button disabled), or, when `atTheEnd`, when it is closed
// (the burn has given the button back but not yet closed its link). Writes
// go nowhere and nothing is ever read: a silent PLC.
class HeldLink final : public Link {
 public:
  HeldLink(HANDLE release, bool atTheEnd, std::atomic<bool>& holding)
      : release_(release), atTheEnd_(atTheEnd), holding_(holding) {}
  ~HeldLink() override {
    if (atTheEnd_) Hold();
  }
  size_t Write(const uint8_t*, size_t n) override {
    if (!atTheEnd_ && !held_) {
      held_ = true;
      Hold();
    }
    return n;
  }
  size_t Read(uint8_t*, size_t) override { return 0; }
  size_t Drain(uint8_t*, size_t, uint32_t) override { return 0; }
  void SetTimeouts(const Timeouts&) override {}
  void ApplyLineSettings(const LineSettings&) override {}

 private:
  void Hold() {
    holding_ = true;
    WaitForSingleObject(release_, 20000);
  }
  HANDLE release_;
  bool atTheEnd_;
  std::atomic<bool>& holding_;
  bool held_ = false;
};

// The window's next burn gets a held link; the ones after it find no PLC.
class HeldBurn : public MainWindow {
 protected:
  void SetUp() override {
    MainWindow::SetUp();
    release_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  }
  void TearDown() override {
    SetEvent(release_);
    PumpUntil([] { return !BurnRunning(); }, 20000);
    UseLinks(SystemLinks());
    CloseHandle(release_);
    MainWindow::TearDown();
  }
  void HoldNextBurn(bool atTheEnd) {
    auto handed = std::make_shared<bool>(false);
    auto open = [this, atTheEnd, handed]() -> LinkOpening {
      if (*handed) return {nullptr, OpenFailure::kBusy, {}};
      *handed = true;
      return {std::make_unique<HeldLink>(release_, atTheEnd, holding), OpenFailure::kNone, {}};
    };
    UseLinks({[open](const std::string&) { return open(); }, open});
  }
  void Release() { SetEvent(release_); }
  static void Click() { SendMessageA(Child(kStartBurnId), BM_CLICK, 0, 0); }

  std::atomic<bool> holding{false};
  HANDLE release_ = nullptr;
};

TEST_F(HeldBurn, StartCommandWhileABurnRunsStartsNothingAndDoesNotWait) {
  HoldNextBurn(false);
  Click();
  PumpUntil([this] { return holding.load() && !IsWindowEnabled(Child(kStartBurnId)); }, 20000);
  ASSERT_TRUE(holding) << "the burn did not reach its link";
  ASSERT_FALSE(IsWindowEnabled(Child(kStartBurnId)));
  const DWORD before = GetTickCount();
  Click();
  SendMessageA(window, WM_COMMAND, MAKEWPARAM(kStartBurnId, 0), 0);  // not through the button
  EXPECT_LT(GetTickCount() - before, 500u) << "the window waited for a burn under way";
  Release();
  PumpUntil([] { return !BurnRunning(); }, 20000);
  PumpFor(100);
  ASSERT_EQ(seen.size(), 1u) << "one burn, one box";
  EXPECT_EQ(seen[0].text, "NO RESPONSE @ State 1");
}

TEST_F(HeldBurn, StartJustAfterABurnGaveTheButtonBackStartsTheNextOnceItsLinkIsClosed) {
  HoldNextBurn(true);
  Click();
  PumpUntil([this] { return holding.load(); }, 20000);
  ASSERT_TRUE(holding) << "the burn did not reach its end";
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].text, "NO RESPONSE @ State 1");
  ASSERT_TRUE(IsWindowEnabled(Child(kStartBurnId)));
  ASSERT_TRUE(BurnRunning()) << "its link is not closed yet";
  std::thread release([this] {
    Sleep(300);
    Release();
  });
  Click();
  release.join();
  PumpUntil([] { return !BurnRunning(); }, 20000);
  PumpFor(100);
  ASSERT_EQ(seen.size(), 2u) << "the click with the button enabled started nothing";
  EXPECT_EQ(seen[1].text, "CANNOT open USB Port!!!");
  EXPECT_FALSE(seen[1].buttonEnabled) << "the next burn runs as any other";
}

TEST_F(HeldBurn, LastStepsThatNeverEndMakeTheStartSaySoAfterTheWait) {
  HoldNextBurn(true);
  Click();
  PumpUntil([this] { return holding.load(); }, 20000);
  ASSERT_TRUE(holding);
  const DWORD before = GetTickCount();
  Click();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[1].caption, "ERROR");
  EXPECT_EQ(seen[1].text, "The firmware update CANNOT be started");
  const DWORD waited = seen[1].shownAt - before;
  EXPECT_GE(waited, kLastStepsWaitMs);
  EXPECT_LT(waited, kLastStepsWaitMs + 1000);
  std::printf("the start gave up after %lu ms\n", static_cast<unsigned long>(waited));
  EXPECT_TRUE(BurnRunning()) << "the burn still has its link";

  // Once it has let go, the button starts the next.
  Release();
  PumpUntil([] { return !BurnRunning(); }, 20000);
  Click();
  PumpUntil([] { return !BurnRunning(); }, 20000);
  PumpFor(100);
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[2].text, "CANNOT open USB Port!!!");
}

TEST_F(MainWindow, StartBurnStartsABurnWhoseRequestsTheWindowCarriesOutInOrder) {
  SendMessageA(Child(kStartBurnId), BM_CLICK, 0, 0);
  EXPECT_EQ(isFileChosed, 1);
  PumpUntil([] { return !BurnRunning(); }, 20000);
  ASSERT_FALSE(BurnRunning());
  PumpFor(100);

  // No PLC in this prefix: the one box of the burn says so.
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].caption, "ERROR");
  EXPECT_EQ(seen[0].text, "CANNOT open USB Port!!!");
  EXPECT_EQ(seen[0].owner, window);
  EXPECT_EQ(seen[0].icon, LoadIconA(nullptr, MAKEINTRESOURCEA(32513)));  // IDI_HAND
  EXPECT_FALSE(seen[0].buttonEnabled) << "the burn disables the button before its box";
  EXPECT_FALSE(seen[0].elapsedTimerRunning) << "the timer stops before the box";
  // And after it: the button enabled again, the seconds back at 0.
  EXPECT_TRUE(IsWindowEnabled(Child(kStartBurnId)));
  EXPECT_EQ(CurrentPanelValues().elapsedTime, 0);
}

// A key pressed on the focused control, as the keyboard delivers it: down
// and up, through the program's message handling.
void PressKey(WPARAM key) {
  HWND focus = GetFocus();
  PostMessageA(focus, WM_KEYDOWN, key, 0x00000001);
  PostMessageA(focus, WM_KEYUP, key, static_cast<LPARAM>(0xC0000001));
  PumpFor(300);
}

// Escape dismisses things; it must never start an erase, wherever the focus is.
struct EscapeCase {
  const char* name;
  int focus;  // control id; 0 for the window itself
  bool dropDown;
};
void PrintTo(const EscapeCase& c, std::ostream* out) { *out << c.name; }

class EscapeKey : public MainWindow, public ::testing::WithParamInterface<EscapeCase> {};

TEST_P(EscapeKey, StartsNothing) {
  HWND focus = GetParam().focus != 0 ? Child(GetParam().focus) : window;
  SetFocus(focus);
  ASSERT_EQ(GetFocus(), focus);
  HWND ports = Child(kPortListId);
  if (GetParam().dropDown) {
    SendMessageA(ports, CB_SHOWDROPDOWN, TRUE, 0);
    PumpFor(100);
    ASSERT_TRUE(SendMessageA(ports, CB_GETDROPPEDSTATE, 0, 0));
  }
  const int32_t chosen = isFileChosed;
  PressKey(VK_ESCAPE);

  EXPECT_FALSE(BurnRunning());
  EXPECT_TRUE(seen.empty()) << "a burn or a dialog came: " << seen[0].caption << " "
                            << seen[0].text;
  EXPECT_FALSE(KillTimer(window, kElapsedTimerId)) << "the elapsed-time timer was started";
  EXPECT_EQ(isFileChosed, chosen);
  EXPECT_TRUE(IsWindowEnabled(Child(kStartBurnId)));
  EXPECT_FALSE(SendMessageA(ports, CB_GETDROPPEDSTATE, 0, 0)) << "Escape closes the list";
  EXPECT_EQ(SelectedComPort(), "USB");
  SetFocus(window);
  PumpUntil([] { return !BurnRunning(); }, 20000);  // one that did start must not outlive the test
}

INSTANTIATE_TEST_SUITE_P(Focus, EscapeKey,
                         ::testing::Values(EscapeCase{"Button", kStartBurnId, false},
                                           EscapeCase{"PortList", kPortListId, false},
                                           EscapeCase{"OpenPortList", kPortListId, true},
                                           EscapeCase{"Window", 0, false}),
                         [](const auto& info) { return std::string(info.param.name); });

// The ways that do start a burn from the button (Enter: below).
struct StartCase {
  const char* name;
  std::function<void()> press;
};
void PrintTo(const StartCase& c, std::ostream* out) { *out << c.name; }

class StartKey : public MainWindow, public ::testing::WithParamInterface<StartCase> {};

TEST_P(StartKey, StartsABurn) {
  SetFocus(Child(kStartBurnId));
  GetParam().press();
  PumpUntil([] { return !BurnRunning(); }, 20000);
  PumpFor(100);
  ASSERT_EQ(seen.size(), 1u) << "no burn started";
  EXPECT_EQ(seen[0].text, "CANNOT open USB Port!!!");
  SetFocus(window);
}

INSTANTIATE_TEST_SUITE_P(
    Button, StartKey,
    ::testing::Values(StartCase{"Click", [] { SendMessageA(GetFocus(), BM_CLICK, 0, 0); }},
                      StartCase{"Space", [] { PressKey(VK_SPACE); }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(MainWindow, SecondClickBeforeTheBurnDisablesTheButtonStartsNothingAndDoesNotWait) {
  // The burn thread's first request waits for this thread, which clicks again first.
  SendMessageA(Child(kStartBurnId), BM_CLICK, 0, 0);
  ASSERT_TRUE(BurnRunning());
  ASSERT_TRUE(IsWindowEnabled(Child(kStartBurnId)));
  const DWORD before = GetTickCount();
  SendMessageA(Child(kStartBurnId), BM_CLICK, 0, 0);
  EXPECT_LT(GetTickCount() - before, 500u) << "the window waited for the burn it just started";
  PumpUntil([] { return !BurnRunning(); }, 20000);
  PumpFor(300);
  ASSERT_EQ(seen.size(), 1u) << "one burn, one box";
  EXPECT_EQ(seen[0].text, "CANNOT open USB Port!!!");
}

TEST_F(MainWindow, EnterClicksTheFocusedButtonAndElsewhereChoosesAFile) {
  answer = [](HWND dialog) {
    if (TextOf(dialog) == "Open") {
      PressCancel(dialog);
    } else {
      PressOk(dialog);
    }
  };
  auto enter = [](HWND focus) {
    SetFocus(focus);
    MSG key{GetFocus(), WM_KEYDOWN, VK_RETURN, 0x001C0001, GetTickCount(), {}};
    EXPECT_TRUE(HandleDialogKeys(window, &key));
    PumpUntil([] { return !BurnRunning(); }, 20000);
    PumpFor(100);
  };
  enter(window);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].caption, "Open") << "Enter on the window itself";
  enter(Child(kPortListId));
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[1].caption, "Open") << "Enter on the port list";
  enter(Child(kStartBurnId));
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[2].caption, "ERROR") << "Enter on the button starts a burn";
  EXPECT_EQ(seen[2].text, "CANNOT open USB Port!!!");
  SetFocus(window);
}

TEST_F(MainWindow, PaintLeavesTheLogoToTheNextRepaintTick) {
  PumpFor(250);
  HDC dc = GetDC(window);
  ASSERT_NE(dc, nullptr);
  const COLORREF background = GetSysColor(COLOR_SCROLLBAR);
  POINT logo{-1, -1};
  for (int y = 15; y < 15 + 28 && logo.x < 0; ++y) {
    for (int x = 435; x < 435 + 87; ++x) {
      if (GetPixel(dc, x, y) != background) {
        logo = {x, y};
        break;
      }
    }
  }
  ASSERT_GE(logo.x, 0) << "no logo drawn at (435,15)";
  // An uncovered window: erased and painted at once, without the logo.
  RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
  EXPECT_EQ(GetPixel(dc, logo.x, logo.y), background) << "WM_PAINT drew the logo";
  const DWORD painted = GetTickCount();
  PumpUntil([&] { return GetPixel(dc, logo.x, logo.y) != background; }, 1000);
  const DWORD back = GetTickCount() - painted;
  EXPECT_NE(GetPixel(dc, logo.x, logo.y), background) << "the logo did not come back";
  // The tick is due within 100 ms; a busy machine may add a little.
  EXPECT_LE(back, 200u) << "logo back after " << back << " ms";
  std::printf("logo back %lu ms after the paint\n", static_cast<unsigned long>(back));
  ReleaseDC(window, dc);
}

class ChooseFile : public MainWindow {
 protected:
  void SetUp() override {
    MainWindow::SetUp();
    char dir[MAX_PATH];
    GetTempPathA(sizeof dir, dir);
    path_ = std::string(dir) + "morvix-choose-file.bin";
    HANDLE file = CreateFileA(path_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    const std::vector<char> bytes(1234, 'x');
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
  }
  void TearDown() override {
    DeleteFileA(path_.c_str());
    MainWindow::TearDown();
  }
  void Choose() { SendMessageA(window, WM_COMMAND, MAKEWPARAM(kChooseFileId, 0), 0); }

  std::string path_;
};

TEST_F(ChooseFile, ChosenFileIsMeasuredApartFromTheImageAndCancelKeepsTheLastChoice) {
  isFileChosed = 0;
  szFile[0] = '\0';

  answer = PressCancel;
  Choose();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].caption, "Open");
  EXPECT_EQ(seen[0].owner, window);
  EXPECT_EQ(seen[0].fileTypes, (std::vector<std::string>{"Binary File (*.bin)", "All (*.*)"}));
  EXPECT_EQ(seen[0].fileType, 0);
  EXPECT_STREQ(szFile, "") << "nothing chosen before: the path stays empty";
  EXPECT_EQ(isFileChosed, 0);

  const std::string path = path_;
  answer = [path](HWND dialog) {
    SetDlgItemTextA(dialog, kFileNameEditId, path.c_str());
    SetDlgItemTextA(dialog, kFileNameComboId, path.c_str());
    PressOk(dialog);
  };
  Choose();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(lstrcmpiA(szFile, path_.c_str()), 0) << szFile;
  EXPECT_EQ(chosenFileLength, 1234u);
  EXPECT_EQ(isFileChosed, 1);

  answer = PressCancel;
  Choose();
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(lstrcmpiA(szFile, path_.c_str()), 0) << "cancel keeps the earlier choice";
}

}  // namespace
