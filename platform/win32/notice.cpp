// The plug-in's message box, which the unload can close.
#include "platform/notice.h"

#include <windows.h>

namespace platform {

namespace {

// The threads that show a box now, by id; 0 marks a free place. More boxes than this at once
// are shown all the same, but cannot be closed from outside.
constexpr int kShownMax = 8;
volatile LONG g_showing[kShownMax] = {};
// Set by closeMessageBoxes: a box that is about to be shown is not shown at all.
volatile LONG g_closing = 0;

BOOL CALLBACK closeBox(HWND window, LPARAM /*unused*/) {
  char className[16] = {};
  // A message box is a dialog of the system's dialog class; its owner thread has no other
  // window of the plug-in's.
  if (GetClassNameA(window, className, sizeof className) > 0 &&
      lstrcmpA(className, "#32770") == 0) {
    PostMessageA(window, WM_COMMAND, IDOK, 0);
  }
  return TRUE;
}

}  // namespace

void showMessageBox(const char* text, unsigned style) {
  const LONG self = static_cast<LONG>(GetCurrentThreadId());
  int place = -1;
  for (int i = 0; i < kShownMax && place < 0; ++i) {
    if (InterlockedCompareExchange(&g_showing[i], self, 0) == 0) place = i;
  }
  if (InterlockedCompareExchange(&g_closing, 0, 0) == 0) {
    MessageBoxA(nullptr, text, "KvtScannerLumora", style);
  }
  if (place >= 0) InterlockedExchange(&g_showing[place], 0);
}

void closeMessageBoxes() {
  InterlockedExchange(&g_closing, 1);
  for (volatile LONG& showing : g_showing) {
    const LONG thread = InterlockedCompareExchange(&showing, 0, 0);
    if (thread != 0) EnumThreadWindows(static_cast<DWORD>(thread), closeBox, 0);
  }
}

}  // namespace platform
