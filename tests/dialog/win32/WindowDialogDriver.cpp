// The dialog driver for the real window under Windows: window messages from a second thread.
#include "WindowDialogDriver.h"

#include <atomic>
#include <cstdlib>
#include <memory>

#include "Wait.h"

namespace {

constexpr int kWaitMs = 5000;
// A press may run a whole connection sequence before its action returns.
constexpr UINT kPressWaitMs = 20000;
constexpr const char* kCoverClass = "KvtTestCover";

// A message to another thread's window that fails, rather than hangs, when that thread is stuck.
bool Send(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT waitMs,
          DWORD_PTR* result = nullptr) {
  DWORD_PTR ignored = 0;
  return SendMessageTimeoutA(window, message, wParam, lParam, SMTO_NORMAL, waitMs,
                             result != nullptr ? result : &ignored) != 0;
}

const char* KindOf(LONG style) {
  switch (style & BS_TYPEMASK) {
    case BS_DEFPUSHBUTTON:
      return "defbutton";
    case BS_PUSHBUTTON:
      return "button";
    case BS_AUTOCHECKBOX:
      return "check";
    case BS_GROUPBOX:
      return "group";
    default:
      return "other button";
  }
}

BOOL CALLBACK TakeIfDialog(HWND window, LPARAM found) {
  char className[16] = {};
  GetClassNameA(window, className, sizeof className);
  if (lstrcmpA(className, WindowDialogDriver::kDialogClass) != 0) return TRUE;
  char caption[64] = {};
  GetWindowTextA(window, caption, sizeof caption);
  if (lstrcmpA(caption, WindowDialogDriver::kCaption) != 0) return TRUE;
  *reinterpret_cast<HWND*>(found) = window;
  return FALSE;
}

}  // namespace

WindowDialogDriver::~WindowDialogDriver() {
  // The driver is destroyed on the dialog's thread, which made the cover.
  if (cover_ != nullptr) DestroyWindow(cover_);
}

HWND WindowDialogDriver::FindDialog() const {
  HWND found = nullptr;
  EnumThreadWindows(dialogThreadId_, TakeIfDialog, reinterpret_cast<LPARAM>(&found));
  return found;
}

bool WindowDialogDriver::WaitOpen() {
  return WaitUntil(
      [this] {
        window_ = FindDialog();
        return window_ != nullptr && IsWindowVisible(window_);
      },
      kWaitMs);
}

bool WindowDialogDriver::WaitClosed() {
  return window_ != nullptr && WaitUntil([this] { return !IsWindow(window_); }, kWaitMs);
}

std::vector<ShownControl> WindowDialogDriver::Controls() {
  std::vector<ShownControl> controls;
  if (window_ == nullptr) return controls;
  // Child windows follow the template's order.
  for (HWND child = GetWindow(window_, GW_CHILD); child != nullptr;
       child = GetWindow(child, GW_HWNDNEXT)) {
    char className[64] = {};
    GetClassNameA(child, className, sizeof className);
    char text[256] = {};
    if (!Send(child, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text), kWaitMs)) return {};
    ShownControl control{KindOf(GetWindowLongA(child, GWL_STYLE)), GetDlgCtrlID(child), text, -1};
    if (lstrcmpiA(className, "Button") != 0) control.kind = std::string("class ") + className;
    if (control.kind == "check") {
      DWORD_PTR state = 0;
      if (!Send(child, BM_GETCHECK, 0, 0, kWaitMs, &state)) return {};
      control.checked = static_cast<int>(state);
    }
    controls.push_back(control);
  }
  return controls;
}

int WindowDialogDriver::Checked(int id) {
  HWND control = window_ != nullptr ? GetDlgItem(window_, id) : nullptr;
  DWORD_PTR state = 0;
  if (control == nullptr || !Send(control, BM_GETCHECK, 0, 0, kWaitMs, &state)) return -1;
  return static_cast<int>(state);
}

bool WindowDialogDriver::Click(int id) {
  HWND control = window_ != nullptr ? GetDlgItem(window_, id) : nullptr;
  return control != nullptr && Send(control, BM_CLICK, 0, 0, kPressWaitMs);
}

bool WindowDialogDriver::SendCommand(int id) {
  return window_ != nullptr && Send(window_, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                                    reinterpret_cast<LPARAM>(GetDlgItem(window_, id)), kWaitMs);
}

bool WindowDialogDriver::Ok() { return SendCommand(IDOK) && WaitClosed(); }

bool WindowDialogDriver::Cancel() { return SendCommand(IDCANCEL) && WaitClosed(); }

bool WindowDialogDriver::CloseBox() {
  return window_ != nullptr && Send(window_, WM_SYSCOMMAND, SC_CLOSE, 0, kWaitMs) && WaitClosed();
}

bool WindowDialogDriver::Above(HWND first, HWND second) {
  for (HWND window = GetTopWindow(nullptr); window != nullptr;
       window = GetWindow(window, GW_HWNDNEXT)) {
    if (window == first) return true;
    if (window == second) return false;
  }
  return false;
}

bool WindowDialogDriver::Cover() {
  if (window_ == nullptr) return false;
  RECT area;
  GetWindowRect(window_, &area);
  // Made on the dialog's thread, so that raising the dialog involves that thread alone.
  auto made = std::make_shared<std::atomic<HWND>>(nullptr);
  bool posted = PostToDialogThread([made, area] {
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = DefWindowProcA;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = kCoverClass;
    RegisterClassA(&windowClass);  // fails harmlessly when already registered
    HWND cover = CreateWindowExA(0, kCoverClass, "cover", WS_POPUP, area.left, area.top,
                                 area.right - area.left, area.bottom - area.top, nullptr, nullptr,
                                 windowClass.hInstance, nullptr);
    if (cover != nullptr) ShowWindow(cover, SW_SHOW);
    made->store(cover);
  });
  if (!posted || !WaitUntil([&] { return made->load() != nullptr; }, kWaitMs)) return false;
  cover_ = made->load();
  return WaitUntil([this] { return Above(cover_, window_); }, kWaitMs);
}

bool WindowDialogDriver::WaitRaised() {
  return cover_ != nullptr && WaitUntil([this] { return Above(window_, cover_); }, kWaitMs);
}

void WindowDialogDriver::ForceClose() {
  HWND window = FindDialog();
  if (window != nullptr) PostMessageA(window, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
}

std::unique_ptr<DialogDriver> DialogDriver::Create() {
  return std::make_unique<WindowDialogDriver>();
}

namespace {

// The plug-in's message box: a dialog window of this process under the plug-in's caption.
BOOL CALLBACK TakeIfMessageBox(HWND window, LPARAM found) {
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  char className[16] = {};
  GetClassNameA(window, className, sizeof className);
  char caption[32] = {};
  GetWindowTextA(window, caption, sizeof caption);
  if (process != GetCurrentProcessId() ||
      lstrcmpA(className, WindowDialogDriver::kDialogClass) != 0 ||
      lstrcmpA(caption, "KvtScannerLumora") != 0 || !IsWindowVisible(window)) {
    return TRUE;
  }
  *reinterpret_cast<HWND*>(found) = window;
  return FALSE;
}

}  // namespace

MessageBoxCloser::MessageBoxCloser()
    : thread_([this] {
        while (!stop_) {
          HWND box = nullptr;
          EnumWindows(TakeIfMessageBox, reinterpret_cast<LPARAM>(&box));
          if (box != nullptr && PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0) &&
              WaitUntil([box] { return !IsWindow(box); }, kWaitMs)) {
            ++closed_;
          }
          // A look now and then, as a user glances at the screen.
          Sleep(20);
        }
      }) {}

MessageBoxCloser::~MessageBoxCloser() {
  stop_ = true;
  thread_.join();
}

void SetTestEnvironment(const std::string& name, const std::string& value) {
  _putenv((name + "=" + value).c_str());
}
