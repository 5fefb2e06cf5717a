// Windows threads on CreateThread, and the recursive lock on a CRITICAL_SECTION.
#include "platform/thread.h"

#include <windows.h>

#include <new>

namespace platform {

// The record of a thread. Who frees it is settled once, when the thread ends or its owner lets go
// first: a thread that finishes while its owner still holds the record signals `done` and the
// owner frees everything; a thread whose owner has already let go frees the record itself.
// Allocated from the process heap, so that nothing of the C++ runtime runs at the thread's end.
struct Thread {
  HANDLE handle;
  DWORD id;
  HANDLE done;  // manual reset, set once proc has returned
  ThreadProc proc;
  void* argument;
  volatile LONG state;
  volatile DWORD code;
};

namespace {

constexpr LONG kRunning = 0;
constexpr LONG kFinishing = 1;  // the thread has returned and is about to signal `done`
constexpr LONG kOrphaned = 2;   // the owner let go first

void freeRecord(Thread* thread) {
  CloseHandle(thread->done);
  HeapFree(GetProcessHeap(), 0, thread);
}

using SetEventFn = BOOL(WINAPI*)(HANDLE);
using ExitThreadFn = VOID(WINAPI*)(DWORD);

// The system's own entry points, not this library's import stubs: they are jumped to last.
SetEventFn g_setEvent = nullptr;
ExitThreadFn g_exitThread = nullptr;

// Sets the event and ends the thread without running one more instruction of this library:
// SetEvent returns straight into ExitThread. The waiter may unload the library as soon as the
// event is set, even from inside the loader's unload notification, where it cannot wait for the
// thread's real end.
[[noreturn]] void signalAndExit(HANDLE event, DWORD code) {
  __asm__ volatile(
      "pushl %1\n\t"  // ExitThread's argument
      "pushl $0\n\t"  // ExitThread's return address, never used
      "pushl %0\n\t"  // SetEvent's argument
      "pushl %2\n\t"  // SetEvent's return address: ExitThread
      "jmp *%3\n\t"
      :
      : "r"(event), "r"(code), "r"(g_exitThread), "r"(g_setEvent)
      : "memory");
  __builtin_unreachable();
}

DWORD WINAPI trampoline(void* parameter) {
  Thread* thread = static_cast<Thread*>(parameter);
  DWORD code = thread->proc(thread->argument);
  thread->code = code;
  if (InterlockedCompareExchange(&thread->state, kFinishing, kRunning) == kRunning) {
    signalAndExit(thread->done, code);
  }
  // Nobody waits for this thread any more.
  freeRecord(thread);
  return code;
}

}  // namespace

Thread* threadStart(ThreadProc proc, void* argument) {
  if (g_setEvent == nullptr || g_exitThread == nullptr) {
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    g_setEvent =
        reinterpret_cast<SetEventFn>(reinterpret_cast<void*>(GetProcAddress(kernel, "SetEvent")));
    g_exitThread = reinterpret_cast<ExitThreadFn>(
        reinterpret_cast<void*>(GetProcAddress(kernel, "ExitThread")));
    if (g_setEvent == nullptr || g_exitThread == nullptr) return nullptr;
  }
  void* memory = HeapAlloc(GetProcessHeap(), 0, sizeof(Thread));
  if (!memory) return nullptr;
  Thread* thread = new (memory) Thread();
  thread->proc = proc;
  thread->argument = argument;
  thread->state = kRunning;
  thread->code = kThreadStillActive;
  thread->done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (!thread->done) {
    HeapFree(GetProcessHeap(), 0, thread);
    return nullptr;
  }
  // Suspended until the handle and id are stored, so threadIsCurrent() works from proc's start.
  thread->handle = CreateThread(nullptr, 0, trampoline, thread, CREATE_SUSPENDED, &thread->id);
  if (!thread->handle) {
    freeRecord(thread);
    return nullptr;
  }
  ResumeThread(thread->handle);
  return thread;
}

bool threadWaitEnd(Thread* thread, unsigned timeoutMs) {
  return WaitForSingleObject(thread->done, timeoutMs) == WAIT_OBJECT_0;
}

// Once proc has returned the stored code is final, while GetExitCodeThread may still report
// STILL_ACTIVE for the few instructions the thread has left.
bool threadExitCode(Thread* thread, unsigned* code) {
  if (WaitForSingleObject(thread->done, 0) == WAIT_OBJECT_0) {
    *code = thread->code;
    return true;
  }
  DWORD exitCode;
  if (!GetExitCodeThread(thread->handle, &exitCode)) return false;
  *code = exitCode;
  return true;
}

// A thread ended by force never finishes: its owner's release leaves the record behind.
bool threadTerminate(Thread* thread, unsigned code) {
  return TerminateThread(thread->handle, code) != 0;
}

void threadRelease(Thread* thread) {
  if (!thread) return;
  CloseHandle(thread->handle);
  if (InterlockedCompareExchange(&thread->state, kOrphaned, kRunning) == kRunning) return;
  // The thread has returned and signals at once; after that it no longer touches the record.
  WaitForSingleObject(thread->done, 5000);
  freeRecord(thread);
}

bool threadIsCurrent(const Thread* thread) { return thread && GetCurrentThreadId() == thread->id; }

std::uint64_t threadCurrentId() { return GetCurrentThreadId(); }

namespace {

CRITICAL_SECTION* criticalSection(unsigned char* storage) {
  return reinterpret_cast<CRITICAL_SECTION*>(storage);
}

}  // namespace

RecursiveLock::RecursiveLock() {
  static_assert(sizeof(CRITICAL_SECTION) <= sizeof(storage_), "the lock's storage is too small");
  static_assert(alignof(CRITICAL_SECTION) <= 8, "the lock's storage is not aligned enough");
  InitializeCriticalSection(criticalSection(storage_));
}

RecursiveLock::~RecursiveLock() { DeleteCriticalSection(criticalSection(storage_)); }

void RecursiveLock::lock() { EnterCriticalSection(criticalSection(storage_)); }

void RecursiveLock::unlock() { LeaveCriticalSection(criticalSection(storage_)); }

}  // namespace platform
