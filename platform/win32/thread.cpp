// Windows threads on CreateThread, and the plain lock on a slim reader/writer lock.
#include "platform/thread.h"

#include <windows.h>

#include <atomic>
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
constexpr DWORD kTerminateWaitMs = 1000;

void freeRecord(Thread* thread) {
  CloseHandle(thread->done);
  HeapFree(GetProcessHeap(), 0, thread);
}

// The system's own SetEvent and ExitThread, not this library's import stubs: they run as the
// thread's last calls, when the library may already be gone. Looked up by threadStart on any
// thread before it creates a thread, so two starts may store them at once (the same values); a
// thread reads them at its end, after its own start stored them.
std::atomic<PAPCFUNC> g_setEvent{nullptr};
std::atomic<PAPCFUNC> g_exitThread{nullptr};

// A thread whose owner waits for it ends so that no instruction of this library runs after `done`
// is set: the waiter may unload the library as soon as it sees the event, even from inside the
// loader's unload notification, where it cannot wait for the thread's real end (that needs the
// loader lock the unloading thread holds). The thread queues two asynchronous procedure calls to
// itself, SetEvent(done) and then ExitThread(code), and enters an alertable wait. The system runs
// queued calls in order, one after the other, before such a wait returns; the second never
// returns, so the library code after the wait is never reached. Both are system functions whose
// one argument fits the procedure call's. (One call that signals and waits does not do here:
// Wine repeats the signal after it wakes the thread for a procedure call, when the owner may
// already have closed the event.)
[[noreturn]] void signalAndExit(Thread* thread, DWORD code) {
  HANDLE self = thread->handle;
  HANDLE done = thread->done;
  if (QueueUserAPC(g_setEvent.load(), self, reinterpret_cast<ULONG_PTR>(done)) == 0) {
    // Out of resources: signal directly; the few instructions left are a risk only at unload.
    SetEvent(done);
    ExitThread(code);
  }
  if (QueueUserAPC(g_exitThread.load(), self, code) == 0) {
    // The event is set inside this wait; the thread then leaves the library at once.
    SleepEx(INFINITE, TRUE);
    ExitThread(code);
  }
  for (;;) SleepEx(INFINITE, TRUE);
}

DWORD WINAPI trampoline(void* parameter) {
  Thread* thread = static_cast<Thread*>(parameter);
  DWORD code = thread->proc(thread->argument);
  thread->code = code;
  if (InterlockedCompareExchange(&thread->state, kFinishing, kRunning) == kRunning) {
    signalAndExit(thread, code);
  }
  // Nobody waits for this thread any more.
  freeRecord(thread);
  return code;
}

PAPCFUNC kernelFunction(const char* name) {
  return reinterpret_cast<PAPCFUNC>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), name)));
}

}  // namespace

Thread* threadStart(ThreadProc proc, void* argument, ThreadStart start) {
  if (g_setEvent.load() == nullptr || g_exitThread.load() == nullptr) {
    g_setEvent = kernelFunction("SetEvent");
    g_exitThread = kernelFunction("ExitThread");
    if (g_setEvent.load() == nullptr || g_exitThread.load() == nullptr) return nullptr;
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
  if (start == ThreadStart::kRunning) threadResume(thread);
  return thread;
}

void threadResume(Thread* thread) { ResumeThread(thread->handle); }

// A thread ended by force signals no `done` of its own, and the forced end's wait for it may have
// given up before the system ended it (Wine ends a thread through a signal, which a loaded machine
// may deliver late): its handle, signalled once it has really ended, settles the record then.
bool threadWaitEnd(Thread* thread, unsigned timeoutMs) {
  HANDLE ends[2] = {thread->done, thread->handle};
  const DWORD result = WaitForMultipleObjects(2, ends, FALSE, timeoutMs);
  if (result == WAIT_OBJECT_0) return true;
  if (result != WAIT_OBJECT_0 + 1) return false;
  if (InterlockedCompareExchange(&thread->state, kFinishing, kRunning) == kRunning) {
    DWORD code = 0;
    if (GetExitCodeThread(thread->handle, &code)) thread->code = code;
    SetEvent(thread->done);
  }
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

bool threadTerminate(Thread* thread, unsigned code) {
  if (!TerminateThread(thread->handle, code)) return false;
  // The end is asynchronous. Once it has happened the record is settled as for a thread that
  // returned. A forced end runs no thread-detach notification, so this wait needs no loader lock
  // and is safe inside the unload too.
  if (WaitForSingleObject(thread->handle, kTerminateWaitMs) == WAIT_OBJECT_0 &&
      InterlockedCompareExchange(&thread->state, kFinishing, kRunning) == kRunning) {
    thread->code = code;
    SetEvent(thread->done);
  }
  return true;
}

bool threadTerminateAvailable() { return true; }

void threadRelease(Thread* thread) {
  if (!thread) return;
  if (InterlockedCompareExchange(&thread->state, kOrphaned, kRunning) == kRunning) {
    CloseHandle(thread->handle);
    return;
  }
  // The thread has returned and signals at once; after that it no longer touches the record or
  // its handle, which it uses until then.
  WaitForSingleObject(thread->done, 5000);
  CloseHandle(thread->handle);
  freeRecord(thread);
}

bool threadIsCurrent(const Thread* thread) { return thread && GetCurrentThreadId() == thread->id; }

std::uint64_t threadCurrentId() { return GetCurrentThreadId(); }

namespace {
// The lock's storage is all zero until first used: SRWLOCK_INIT. A slim lock needs no
// initialisation or deletion and owns nothing of the process.
SRWLOCK* slimLock(unsigned char* storage) { return reinterpret_cast<SRWLOCK*>(storage); }
}  // namespace

void Lock::lock() {
  static_assert(sizeof(SRWLOCK) <= sizeof(storage_), "the lock's storage is too small");
  AcquireSRWLockExclusive(slimLock(storage_));
}

bool Lock::tryLock() { return TryAcquireSRWLockExclusive(slimLock(storage_)) != 0; }

void Lock::unlock() { ReleaseSRWLockExclusive(slimLock(storage_)); }

}  // namespace platform
