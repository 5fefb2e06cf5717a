// A host of Microsoft's compiler, as far as the plug-in can tell: its throws and its window.
#include "HostFaults.h"

#include <windows.h>

#include <cstdlib>
#include <vector>

namespace {

constexpr DWORD kMicrosoftCppException = 0xE06D7363;
constexpr ULONG_PTR kMicrosoftCppMagic = 0x19930520;
constexpr UINT kRunTask = WM_APP + 7;

LRESULT CALLBACK HostWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == kRunTask) {
    auto* task = reinterpret_cast<std::function<void()>*>(lParam);
    (*task)();
    delete task;
    return 0;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

}  // namespace

void ThrowFromHostCode() {
  // What _CxxThrowException raises; the object and its type are never looked at here.
  ULONG_PTR arguments[3] = {kMicrosoftCppMagic, 0, 0};
  RaiseException(kMicrosoftCppException, EXCEPTION_NONCONTINUABLE, 3, arguments);
  // Never reached. Not an endless loop: a jump to itself right after the call reads, to 64-bit
  // unwinders that look for an epilogue at the return address, as one they must follow.
  std::abort();
}

void* HostWindowOfThisThread() {
  // One message-only window per thread, as a host's main window would be.
  thread_local HWND window = [] {
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = HostWindowProc;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = "KvtTestHostWindow";
    RegisterClassA(&windowClass);
    return CreateWindowExA(0, "KvtTestHostWindow", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                           GetModuleHandleA(nullptr), nullptr);
  }();
  return window;
}

bool SendToHostWindow(void* window, const std::function<void()>& task) {
  if (window == nullptr) return false;
  // Deleted by the window procedure once it has run.
  auto* sent = new std::function<void()>(task);
  SendMessageA(static_cast<HWND>(window), kRunTask, 0, reinterpret_cast<LPARAM>(sent));
  return true;
}

bool PostToHostWindow(const std::function<void()>& task) {
  HWND window = static_cast<HWND>(HostWindowOfThisThread());
  if (window == nullptr) return false;
  auto* posted = new std::function<void()>(task);
  if (!PostMessageA(window, kRunTask, 0, reinterpret_cast<LPARAM>(posted))) {
    delete posted;
    return false;
  }
  return true;
}

bool PostQuitToHostQueue() {
  PostQuitMessage(0);
  return true;
}

bool TakeQuitFromHostQueue() {
  MSG message;
  return PeekMessageA(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE) != 0;
}

void* HandlerChainHead() {
#if defined(__i386__)
  return reinterpret_cast<NT_TIB*>(NtCurrentTeb())->ExceptionList;
#else
  return nullptr;
#endif
}

double ThreadCpuMs() {
  FILETIME created, exited, kernel, user;
  if (!GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user)) return 0.0;
  auto ms = [](const FILETIME& time) {
    ULARGE_INTEGER value;
    value.LowPart = time.dwLowDateTime;
    value.HighPart = time.dwHighDateTime;
    return static_cast<double>(value.QuadPart) / 10000.0;
  };
  return ms(kernel) + ms(user);
}

namespace {

using LockLoaderLock = LONG(NTAPI*)(ULONG flags, ULONG* state, ULONG_PTR* cookie);
using UnlockLoaderLock = LONG(NTAPI*)(ULONG flags, ULONG_PTR cookie);

template <typename Function>
Function NtdllFunction(const char* name) {
  return reinterpret_cast<Function>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), name)));
}

// The cookies of the loader lock's takes on this thread, last first.
thread_local std::vector<ULONG_PTR> t_loaderLockCookies;

}  // namespace

bool TakeLoaderLock() {
  const auto lock = NtdllFunction<LockLoaderLock>("LdrLockLoaderLock");
  ULONG_PTR cookie = 0;
  if (lock == nullptr || lock(0, nullptr, &cookie) < 0) return false;
  t_loaderLockCookies.push_back(cookie);
  return true;
}

void ReleaseLoaderLock() {
  const auto unlock = NtdllFunction<UnlockLoaderLock>("LdrUnlockLoaderLock");
  if (unlock == nullptr || t_loaderLockCookies.empty()) return;
  unlock(0, t_loaderLockCookies.back());
  t_loaderLockCookies.pop_back();
}
