// The Windows message queue of the calling thread, with tasks posted as thread messages.
#include "platform/pump.h"

#include <windows.h>

#include <cstdint>
#include <new>

#include "platform/testing.h"

namespace platform {

namespace {

// A thread message of the plug-in's own; the cookie in wParam tells it apart from a message
// the host may post with the same number.
constexpr UINT kTaskMessage = WM_APP + 0x2B4C;
constexpr WPARAM kTaskCookie = 0x4B565450;

struct PostedTask {
  void (*task)(void*);
  void* argument;
};

// A quit that the host posted stays where it is: it belongs to the host's main loop, which is
// given it once the queue is otherwise empty. The plug-in's loops take the other messages in
// their usual order and leave it.
bool TakeMessageOtherThanQuit(MSG* message) {
  if (!PeekMessageA(message, nullptr, 0, 0, PM_NOREMOVE) || message->message == WM_QUIT) {
    return false;
  }
  if (!PeekMessageA(message, nullptr, 0, 0, PM_REMOVE)) return false;
  if (message->message == WM_QUIT) {
    // Only this thread takes messages off its queue, so this does not happen; should it, the
    // quit goes back for the main loop.
    PostQuitMessage(static_cast<int>(message->wParam));
    return false;
  }
  return true;
}

}  // namespace

bool pumpDispatchOne() {
  MSG message;
  if (!TakeMessageOtherThanQuit(&message)) return false;
  // DispatchMessage drops thread messages, so the posted task runs here.
  if (!message.hwnd && message.message == kTaskMessage && message.wParam == kTaskCookie) {
    PostedTask* posted = reinterpret_cast<PostedTask*>(message.lParam);
    PostedTask run = *posted;
    delete posted;
    run.task(run.argument);
    return true;
  }
  TranslateMessage(&message);
  DispatchMessageA(&message);
  return true;
}

void pumpWait(unsigned timeoutMs) {
  // A pending quit counts as input waiting, so the wait would return at once every time and the
  // loop around it would spin: with one pending, the wait is a plain sleep.
  MSG quit;
  if (PeekMessageA(&quit, nullptr, WM_QUIT, WM_QUIT, PM_NOREMOVE)) {
    Sleep(timeoutMs);
    return;
  }
  MsgWaitForMultipleObjectsEx(0, nullptr, timeoutMs, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
}

PumpTarget* pumpCurrentThread() {
  // A thread gets its message queue with its first call to a message function.
  MSG message;
  PeekMessageA(&message, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
  return reinterpret_cast<PumpTarget*>(static_cast<std::uintptr_t>(GetCurrentThreadId()));
}

bool pumpPost(PumpTarget* target, void (*task)(void*), void* argument) {
  PostedTask* posted = new (std::nothrow) PostedTask{task, argument};
  if (!posted) return false;
  DWORD threadId = static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(target));
  if (!PostThreadMessageA(threadId, kTaskMessage, kTaskCookie, reinterpret_cast<LPARAM>(posted))) {
    delete posted;
    return false;
  }
  return true;
}

}  // namespace platform
