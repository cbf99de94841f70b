// SPDX-License-Identifier: MIT
#include "ui/win32/main_window.h"

#include <commdlg.h>
#include <process.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>

#include "burn/burn.h"
#include "catalogue/model_table.h"
#include "image/image_source.h"
#include "ui/panel.h"
#include "ui/win32/combo_box_port_list.h"
#include "ui/win32/gdi_canvas.h"
#include "ui/win32/window_environment.h"

HWND hComPortList = nullptr;
int32_t ComSelidx = 0;
int32_t isFileChosed = 0;
char szFile[MAX_PATH] = {};
uint32_t chosenFileLength = 0;
char selectedPLC[kModelNameSize] = {};

namespace {

// A caption with system menu, close and minimise buttons; no maximise button
// and no sizing border: the layout is in fixed pixels.
constexpr DWORD kWindowStyle = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
constexpr DWORD kButtonStyle = WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON;
constexpr DWORD kPortListStyle =
    WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_TABSTOP | CBS_DROPDOWNLIST | CBS_SORT | CBS_HASSTRINGS;
constexpr DWORD kModelListStyle = kPortListStyle | CBS_AUTOHSCROLL;
static_assert(kWindowStyle == 0xCA0000 && kButtonStyle == 0x50010001 &&
              kModelListStyle == 0x50210343 && kPortListStyle == 0x50210303);

constexpr int kWindowWidth = 544;
constexpr int kWindowHeight = 205;
constexpr int kIconId = 1;

// The layout has no path label: the chosen path is set as the text of a
// window that does not exist, and so is shown nowhere.
HWND hwndFilePath = nullptr;
OPENFILENAMEA ofn;
HANDLE hf = nullptr;

const ModelRules* selectedModel = nullptr;

std::unique_ptr<ComboBoxPortList> portList;

// The burn reads the port when it opens it, also mid-burn after a power cycle.
std::mutex selectedComPortMutex;
std::string selectedComPort;

PanelState panel;

// The one burn of the window: its thread, its stop request, and what it
// talks to. Made by the start command, given up once its thread is done.
struct RunningBurn {
  RunningBurn(HWND window, WindowLinks links)
      : environment(window, panel, SelectedComPort, std::move(links)) {}
  CancelToken cancel;
  BuiltInImageSource image;
  WindowEnvironment environment;
  std::jthread thread;            // joined when given up
  std::atomic<bool> done{false};  // the thread has nothing left to do
};
WindowLinks links = SystemLinks();
std::unique_ptr<RunningBurn> burn;
bool closeWhenBurnEnds = false;

// Set once the running burn has given the button back. All it does after
// that is close its link and release its image.
bool burnGaveButtonBack = false;

// The scaled logo, kept for the life of the window thread.
GdiLogo& Logo() {
  static GdiLogo logo(GetModuleHandleA(nullptr));
  return logo;
}

void SetSelectedComPort(const std::string& port) {
  std::lock_guard<std::mutex> lock(selectedComPortMutex);
  selectedComPort = port;
}

// The text of a list entry, however long; empty for an index the list does
// not have.
std::string EntryText(HWND list, LRESULT index) {
  const LRESULT length = SendMessageA(list, CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0);
  if (index < 0 || length == CB_ERR) return {};
  std::string text(static_cast<size_t>(length) + 1, '\0');
  const LRESULT copied = SendMessageA(list, CB_GETLBTEXT, static_cast<WPARAM>(index),
                                      reinterpret_cast<LPARAM>(text.data()));
  text.resize(copied == CB_ERR ? 0 : static_cast<size_t>(copied));
  return text;
}

// The selected entry's text; empty when nothing is selected.
std::string SelectedText(HWND list) {
  return EntryText(list, SendMessageA(list, CB_GETCURSEL, 0, 0));
}

// Makes `name` the chosen model: selectedPLC, and the row of that exact
// name, when there is one.
void ChooseModel(std::string_view name) {
  const size_t length = std::min(name.size(), sizeof selectedPLC - 1);
  std::memcpy(selectedPLC, name.data(), length);
  selectedPLC[length] = '\0';
  if (const auto row = FindModel(name)) selectedModel = &ModelAt(*row);
}

void FillPortList() {
  if (IsUsbModel(selectedPLC)) {
    EnumUSBPort(*portList);
  } else {
    EnumComPort(*portList);
  }
}

// The built-in image names the model; the operator sees it but cannot
// change it.
void FixDefaultModel(HWND modelList) {
  for (int row = 0; row < kModelCount; ++row) {
    SendMessageA(modelList, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(ModelAt(row).name));
  }
  const std::string name(DefaultModelName().substr(0, sizeof selectedPLC - 1));
  const LRESULT found = SendMessageA(modelList, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                                     reinterpret_cast<LPARAM>(name.c_str()));
  if (found != CB_ERR) {
    SendMessageA(modelList, CB_SETCURSEL, static_cast<WPARAM>(found), 0);
    ChooseModel(name);
  } else {
    SendMessageA(modelList, CB_SETCURSEL, 0, 0);
    ChooseModel(EntryText(modelList, 0));
  }
  EnableWindow(modelList, FALSE);
}

void PortChosen(HWND list) {
  const LRESULT index = SendMessageA(list, CB_GETCURSEL, 0, 0);
  ComSelidx = static_cast<int32_t>(index);
  SetSelectedComPort(EntryText(list, index));
}

// Only reachable with the model list enabled, which this build never does.
void ModelChosen(HWND list) {
  const LRESULT index = SendMessageA(list, CB_GETCURSEL, 0, 0);
  if (index == CB_ERR) return;
  ChooseModel(EntryText(list, index));
  FillPortList();
  if (!IsUsbModel(selectedPLC)) {
    SendMessageA(hComPortList, CB_SETCURSEL, static_cast<WPARAM>(ComSelidx), 0);
  }
  // The port the list now shows is the port the next burn opens: a "USB"
  // kept from a USB model would only fail that burn.
  SetSelectedComPort(SelectedText(hComPortList));
}

void ChooseFile(HWND window) {
  char kept[MAX_PATH] = {};
  if (isFileChosed != 0) std::memcpy(kept, szFile, sizeof kept);

  std::memset(&ofn, 0, sizeof ofn);
  ofn.lStructSize = sizeof ofn;
  ofn.hwndOwner = window;
  ofn.lpstrFilter = "Binary File (*.bin)\0*.bin\0All (*.*)\0*.*\0";
  ofn.nFilterIndex = 1;
  szFile[0] = '\0';
  ofn.lpstrFile = szFile;
  ofn.nMaxFile = sizeof szFile;
  ofn.Flags = OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST;

  if (GetOpenFileNameA(&ofn) == TRUE) {
    char label[270];
    std::snprintf(label, sizeof label, "Path: %s", szFile);
    SetWindowTextA(hwndFilePath, label);
    hf = CreateFileA(szFile, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                     nullptr);
    chosenFileLength = INVALID_FILE_SIZE;
    if (hf != INVALID_HANDLE_VALUE) {
      chosenFileLength = GetFileSize(hf, nullptr);
      CloseHandle(hf);
    }
    isFileChosed = 1;
  } else {
    std::memcpy(szFile, kept, sizeof szFile);
  }
}

// The burn thread's last act is to say so; the window thread then takes its
// thread back (and closes the window, if that was asked for meanwhile).
void BurnEnded(HWND window) {
  // The message of a burn taken back already (by a start in its last steps)
  // is not the next burn's.
  if (!burn || !burn->done) return;
  if (burn->thread.joinable()) burn->thread.join();
  burn.reset();
  if (closeWhenBurnEnds) DestroyWindow(window);
}

void CannotStart(HWND window) {
  MessageBoxA(window, "The firmware update CANNOT be started", "ERROR", MB_OK | MB_ICONERROR);
}

void StartBurnCommand(HWND window) {
  if (burn) {
    // A burn under way (the button disabled, or about to be: a double
    // click) stays the only one.
    if (!burnGaveButtonBack) return;
    // The button is usable again, so the start must not be lost: the burn
    // before it has nothing left but closing its link and releasing its
    // image, and asks nothing more of this thread.
    const DWORD start = GetTickCount();
    while (!burn->done && GetTickCount() - start < kLastStepsWaitMs) Sleep(1);
    if (!burn->done) return CannotStart(window);
    BurnEnded(window);
  }
  burnGaveButtonBack = false;
  if (selectedModel == nullptr) return;
  isFileChosed = 1;
  burn = std::make_unique<RunningBurn>(window, links);
  // The demo image goes only to a simulated PLC, such as the window tests'.
  const char* allowDemo = std::getenv("MORVIX_ALLOW_DEMO_IMAGE");
  const BurnInputs inputs{*selectedModel,    burn->image,
                          burn->environment, burn->environment,
                          burn->cancel,      allowDemo != nullptr && std::string(allowDemo) == "1"};
  SetTimer(window, kElapsedTimerId, 1000, nullptr);
  try {
    burn->thread = std::jthread([inputs, window, &done = burn->done] {
      StartBurn(inputs);
      done = true;
      PostMessageA(window, kBurnEndedMessage, 0, 0);
    });
  } catch (const std::system_error&) {
    // Without its thread no burn runs: say so rather than count seconds of
    // nothing with the button dead for good.
    KillTimer(window, kElapsedTimerId);
    burn.reset();
    CannotStart(window);
  }
}

// Closing the window asks a running burn to stop, and closes the window once
// it has closed its link.
void CloseCommand(HWND window) {
  if (!burn) {
    DestroyWindow(window);
    return;
  }
  closeWhenBurnEnds = true;
  burn->cancel.Request();
}

void Command(HWND window, WORD notification, WORD id, HWND control) {
  if (notification == CBN_SELCHANGE && id == kPortListId) return PortChosen(control);
  if (notification == CBN_SELCHANGE && id == kModelListId) return ModelChosen(control);
  if (notification == 0 && id == kChooseFileId) return ChooseFile(window);
  if (notification == 0 && id == kStartBurnId) return StartBurnCommand(window);
}

void Paint(HWND window) {
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(window, &paint);
  if (dc != nullptr) {
    GdiCanvas canvas(dc, Logo());
    DrawPanelOnPaint(canvas, panel.Values());
  }
  EndPaint(window, &paint);
}

void RepaintTick(HWND window) {
  HDC dc = GetDC(window);
  if (dc == nullptr) return;
  GdiCanvas canvas(dc, Logo());
  DrawPanelOnTick(canvas, panel.Values());
  ReleaseDC(window, dc);
}

}  // namespace

bool RegisterMainWindowClass(HINSTANCE instance) {
  WNDCLASSEXA windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.style = CS_DBLCLKS;
  windowClass.lpfnWndProc = WindowProcedure;
  windowClass.cbClsExtra = 0;
  windowClass.cbWndExtra = 0;
  windowClass.hInstance = instance;
  windowClass.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(kIconId));
  windowClass.hIconSm = LoadIconA(instance, MAKEINTRESOURCEA(kIconId));
  windowClass.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));  // IDC_ARROW
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_SCROLLBAR + 1);
  windowClass.lpszMenuName = nullptr;
  windowClass.lpszClassName = szClassName;
  return RegisterClassExA(&windowClass) != 0;
}

HWND CreateMainWindow(HINSTANCE instance, int showState) {
  HWND window =
      CreateWindowExA(0, szClassName, kWindowTitle, kWindowStyle, CW_USEDEFAULT, CW_USEDEFAULT,
                      kWindowWidth, kWindowHeight, HWND_DESKTOP, nullptr, instance, nullptr);
  if (window == nullptr) return nullptr;
  // Created in Tab order.
  CreateWindowExA(0, "BUTTON", "Start Burn", kButtonStyle, 10, 60, 100, 30, window,
                  reinterpret_cast<HMENU>(kStartBurnId), instance, nullptr);
  HWND modelList = CreateWindowExA(0, "COMBOBOX", "", kModelListStyle, 10, 20, 120, 200, window,
                                   reinterpret_cast<HMENU>(kModelListId), instance, nullptr);
  FixDefaultModel(modelList);
  hComPortList = CreateWindowExA(0, "COMBOBOX", "", kPortListStyle, 160, 20, 100, 200, window,
                                 reinterpret_cast<HMENU>(kPortListId), instance, nullptr);
  portList = std::make_unique<ComboBoxPortList>(hComPortList);
  FillPortList();
  SendMessageA(hComPortList, CB_SETCURSEL, 0, 0);
  const LRESULT selected = SendMessageA(hComPortList, CB_GETCURSEL, 0, 0);
  if (selected != CB_ERR) SetSelectedComPort(EntryText(hComPortList, selected));

  SetTimer(window, kRepaintTimerId, 100, nullptr);
  ShowWindow(window, showState);
  return window;
}

bool HandleDialogKeys(HWND window, MSG* msg) {
  // The dialog keys would make Escape the system's Cancel command, IDCANCEL,
  // which is the Start Burn button's id: the key an operator presses to
  // dismiss something would start an erase.
  if (msg->message == WM_KEYDOWN && msg->wParam == VK_ESCAPE) return false;
  return IsDialogMessageA(window, msg) != FALSE;
}

int RunMessageLoop(HWND window) {
  if (window == nullptr) return 0;  // nothing to show, nothing to wait for
  MSG msg{};
  while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
    if (HandleDialogKeys(window, &msg)) continue;
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
  return static_cast<int>(msg.wParam);
}

LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CLOSE: CloseCommand(window); return 0;
    case WM_DESTROY: PostQuitMessage(0); return 0;
    case WM_PAINT: Paint(window); return 0;
    case WM_TIMER:
      if (wParam == kElapsedTimerId) {
        ++panel.elapsedTime;
      } else if (wParam == kRepaintTimerId) {
        RepaintTick(window);
      }
      return 0;
    case WM_COMMAND:
      Command(window, HIWORD(wParam), LOWORD(wParam), reinterpret_cast<HWND>(lParam));
      return 0;
    case kBurnEndedMessage: BurnEnded(window); return 0;
    default:
      if (message == kEnableButtonMessage) burnGaveButtonBack = wParam != FALSE;
      if (HandleBurnRequest(window, message, wParam, lParam)) return 0;
      return DefWindowProcA(window, message, wParam, lParam);
  }
}

PanelValues CurrentPanelValues() { return panel.Values(); }

std::string SelectedComPort() {
  std::lock_guard<std::mutex> lock(selectedComPortMutex);
  return selectedComPort;
}

bool BurnRunning() { return burn != nullptr; }

int32_t PortListEntries() { return portList ? portList->totalComPort : 0; }

void UseLinks(WindowLinks opener) { links = std::move(opener); }

const ModelRules* SelectedModel() { return selectedModel; }
