// Windows dialogs: a dialog from the plug-in's own resources, run by a modal loop of its own.
#include "platform/dialog.h"

#include <windows.h>

#include "platform/pump.h"

namespace platform {

namespace {

// Messages of the plug-in's own, for other threads that end or raise the window: the window's
// own thread does both.
constexpr UINT kEndMessage = WM_APP + 0x2B4D;
constexpr UINT kRaiseMessage = WM_APP + 0x2B4E;
// The loop looks at its end flag at least this often.
constexpr DWORD kIdleWaitMs = 100;

struct Run {
  DialogHandler* handler;
  bool ended;
  int result;
};

HWND windowOf(Dialog* dialog) { return reinterpret_cast<HWND>(dialog); }
Dialog* dialogOf(HWND window) { return reinterpret_cast<Dialog*>(window); }
Run* runOf(HWND window) { return reinterpret_cast<Run*>(GetWindowLongPtrA(window, DWLP_USER)); }
bool ownedByThisThread(HWND window) {
  return GetWindowThreadProcessId(window, nullptr) == GetCurrentThreadId();
}

INT_PTR CALLBACK dialogProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    SetWindowLongPtrA(window, DWLP_USER, lParam);
    reinterpret_cast<Run*>(lParam)->handler->onInit(dialogOf(window));
    return TRUE;
  }
  Run* run = runOf(window);
  if (run == nullptr) return FALSE;
  switch (message) {
    case WM_COMMAND:
      if (HIWORD(wParam) != BN_CLICKED) return FALSE;
      run->handler->onCommand(dialogOf(window), LOWORD(wParam));
      return TRUE;
    case WM_CLOSE:
      run->handler->onClose(dialogOf(window));
      // The default dialog handling then posts IDCANCEL.
      return FALSE;
    case kEndMessage:
      run->result = static_cast<int>(wParam);
      run->ended = true;
      return TRUE;
    case kRaiseMessage:
      BringWindowToTop(window);
      return TRUE;
    case WM_DESTROY:
      run->handler->onDestroy(dialogOf(window));
      SetWindowLongPtrA(window, DWLP_USER, 0);
      return FALSE;
    default:
      return FALSE;
  }
}

// The module that holds this code, the plug-in DLL (or a program that links the code in).
HMODULE ownModule() {
  HMODULE module = nullptr;
  GetModuleHandleExA(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCSTR>(&dialogProcedure), &module);
  return module;
}

bool quitPending() {
  MSG message;
  return PeekMessageA(&message, nullptr, WM_QUIT, WM_QUIT, PM_NOREMOVE) != 0;
}

}  // namespace

int dialogRun(const DialogTemplate& dialogTemplate, DialogHandler* handler) {
  if (handler == nullptr) return -1;
  Run run{handler, false, 0};
  HWND window = CreateDialogParamA(ownModule(), MAKEINTRESOURCEA(dialogTemplate.resourceId),
                                   nullptr, dialogProcedure, reinterpret_cast<LPARAM>(&run));
  if (window == nullptr) return -1;
  ShowWindow(window, SW_SHOW);
  UpdateWindow(window);

  // DialogBox's own loop would drop the thread messages that carry the plug-in's tasks: this one
  // gives the dialog's messages to IsDialogMessage (Tab, Enter, Escape) and the rest to the pump.
  while (!run.ended) {
    MSG message;
    if (PeekMessageA(&message, window, 0, 0, PM_REMOVE)) {
      if (!IsDialogMessageA(window, &message)) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
      }
      continue;
    }
    if (pumpDispatchOne()) continue;
    // As DialogBox does, a quit request ends the dialog and stays queued for the host's loop.
    if (quitPending()) break;
    MsgWaitForMultipleObjectsEx(0, nullptr, kIdleWaitMs, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  }
  DestroyWindow(window);
  return run.result;
}

bool dialogIsChecked(Dialog* dialog, int id) {
  return IsDlgButtonChecked(windowOf(dialog), id) == BST_CHECKED;
}

void dialogSetChecked(Dialog* dialog, int id, bool checked) {
  CheckDlgButton(windowOf(dialog), id, checked ? BST_CHECKED : BST_UNCHECKED);
}

void dialogEnd(Dialog* dialog, int result) {
  HWND window = windowOf(dialog);
  Run* run = ownedByThisThread(window) ? runOf(window) : nullptr;
  if (run != nullptr) {
    run->result = result;
    run->ended = true;
  } else {
    PostMessageA(window, kEndMessage, static_cast<WPARAM>(result), 0);
  }
}

void dialogRaise(Dialog* dialog) {
  HWND window = windowOf(dialog);
  if (ownedByThisThread(window)) {
    BringWindowToTop(window);
  } else {
    PostMessageA(window, kRaiseMessage, 0, 0);
  }
}

}  // namespace platform
