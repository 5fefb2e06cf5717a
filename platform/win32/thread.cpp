// Windows threads on CreateThread, and the recursive lock on a CRITICAL_SECTION.
#include "platform/thread.h"

#include <windows.h>

#include <new>

namespace platform {

// Owned by the caller and by the running thread; the last one to let go frees it. Allocated
// from the process heap so that the thread's end calls only Windows, not the C++ runtime.
struct Thread {
  HANDLE handle;
  DWORD id;
  HANDLE done;  // manual reset, set once proc has returned
  ThreadProc proc;
  void* argument;
  volatile LONG references;
  volatile DWORD code;
};

namespace {

void dropReference(Thread* thread) {
  if (InterlockedDecrement(&thread->references) == 0) {
    CloseHandle(thread->done);
    HeapFree(GetProcessHeap(), 0, thread);
  }
}

DWORD WINAPI trampoline(void* parameter) {
  Thread* thread = static_cast<Thread*>(parameter);
  DWORD code = thread->proc(thread->argument);
  thread->code = code;
  SetEvent(thread->done);
  dropReference(thread);
  return code;
}

}  // namespace

Thread* threadStart(ThreadProc proc, void* argument) {
  void* memory = HeapAlloc(GetProcessHeap(), 0, sizeof(Thread));
  if (!memory) return nullptr;
  Thread* thread = new (memory) Thread();
  thread->proc = proc;
  thread->argument = argument;
  thread->references = 2;
  thread->code = kThreadStillActive;
  thread->done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (!thread->done) {
    HeapFree(GetProcessHeap(), 0, thread);
    return nullptr;
  }
  // Suspended until the handle and id are stored, so threadIsCurrent() works from proc's start.
  thread->handle = CreateThread(nullptr, 0, trampoline, thread, CREATE_SUSPENDED, &thread->id);
  if (!thread->handle) {
    CloseHandle(thread->done);
    HeapFree(GetProcessHeap(), 0, thread);
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

// A thread ended by force never drops its reference, so its record and done event stay behind.
bool threadTerminate(Thread* thread, unsigned code) {
  return TerminateThread(thread->handle, code) != 0;
}

void threadRelease(Thread* thread) {
  if (!thread) return;
  CloseHandle(thread->handle);
  dropReference(thread);
}

bool threadIsCurrent(const Thread* thread) { return thread && GetCurrentThreadId() == thread->id; }

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
