// Threads and a plain lock, on the operating system's own thread calls.
#pragma once

#include <cstdint>

// Clang's thread-safety analysis (-Wthread-safety, and -Wthread-safety-beta for the order of
// locks): the lock that guards a field, the locks a function takes or needs, which lock is taken
// before which. They expand to nothing for other compilers.
#if defined(__clang__)
#define KVT_CAPABILITY(name) __attribute__((capability(name)))
#define KVT_SCOPED_CAPABILITY __attribute__((scoped_lockable))
#define KVT_GUARDED_BY(lock) __attribute__((guarded_by(lock)))
#define KVT_ACQUIRE(...) __attribute__((acquire_capability(__VA_ARGS__)))
#define KVT_TRY_ACQUIRE(...) __attribute__((try_acquire_capability(__VA_ARGS__)))
#define KVT_RELEASE(...) __attribute__((release_capability(__VA_ARGS__)))
#define KVT_REQUIRES(...) __attribute__((requires_capability(__VA_ARGS__)))
#define KVT_EXCLUDES(...) __attribute__((locks_excluded(__VA_ARGS__)))
#define KVT_RETURN_CAPABILITY(lock) __attribute__((lock_returned(lock)))
#define KVT_NO_ANALYSIS __attribute__((no_thread_safety_analysis))
#define KVT_ACQUIRED_BEFORE(...) __attribute__((acquired_before(__VA_ARGS__)))
#define KVT_ACQUIRED_AFTER(...) __attribute__((acquired_after(__VA_ARGS__)))
#else
#define KVT_CAPABILITY(name)
#define KVT_SCOPED_CAPABILITY
#define KVT_GUARDED_BY(lock)
#define KVT_ACQUIRE(...)
#define KVT_TRY_ACQUIRE(...)
#define KVT_RELEASE(...)
#define KVT_REQUIRES(...)
#define KVT_EXCLUDES(...)
#define KVT_RETURN_CAPABILITY(lock)
#define KVT_NO_ANALYSIS
#define KVT_ACQUIRED_BEFORE(...)
#define KVT_ACQUIRED_AFTER(...)
#endif

namespace platform {

struct Thread;
using ThreadProc = unsigned (*)(void* argument);

// Whether a new thread runs at once, or only once its owner has stored its handle and calls
// threadResume: a thread whose first act may be to look itself up must not run before that.
enum class ThreadStart { kRunning, kSuspended };

// Starts a thread with the default stack size running proc(argument); null on failure. The
// platform's own thread call is used, so nothing of the C++ runtime runs after proc returns
// except the few instructions that signal its end. A suspended thread must be resumed before
// anything waits for it (or ended by force).
[[nodiscard]] Thread* threadStart(ThreadProc proc, void* argument,
                                  ThreadStart start = ThreadStart::kRunning);

// Lets a thread started suspended run proc; nothing for one that runs already. Any thread.
void threadResume(Thread* thread);

// Waits at most timeoutMs for proc to have returned; true when it has. Safe inside the loader's
// unload notification (it waits on an event the thread signals, not on the thread itself).
[[nodiscard]] bool threadWaitEnd(Thread* thread, unsigned timeoutMs);

// The exit code GetExitCodeThread reports while a thread still runs.
constexpr unsigned kThreadStillActive = 259;

// Stores proc's result, or kThreadStillActive while it runs; false when the query fails.
[[nodiscard]] bool threadExitCode(Thread* thread, unsigned* code);

// Ends a running thread by force with the given code; once it has, the thread counts as finished
// (threadWaitEnd, threadExitCode, threadRelease) as if proc had returned code. False where the
// platform has no forced termination (POSIX): the thread then goes on until it returns.
[[nodiscard]] bool threadTerminate(Thread* thread, unsigned code);

// Whether threadTerminate can end a thread here at all.
[[nodiscard]] bool threadTerminateAvailable();

// Gives the handle back. A thread still running goes on and frees its own record when it ends.
// One that has finished is ended for good and, outside the library's unload, waited for (at most
// half a second) until the system has let go of it.
void threadRelease(Thread* thread);

// True when called on the given thread.
[[nodiscard]] bool threadIsCurrent(const Thread* thread);

// The calling thread's identity as the operating system numbers it (any thread, not only those
// of threadStart).
std::uint64_t threadCurrentId();

// A plain lock (SRWLOCK, a default pthread mutex): the thread that holds it must not take it
// again, so every operation takes it once, and a function that runs under it says so
// (KVT_REQUIRES, or a Locked suffix). Its all-zero state is the system's initial one on both
// platforms, so it is constant-initialized and needs no destruction: one in static storage is
// ready before any constructor and still there after every destructor, and none keeps anything
// of the process after the library's unload.
class KVT_CAPABILITY("lock") Lock {
 public:
  constexpr Lock() = default;
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;

  void lock() KVT_ACQUIRE();
  // Takes the lock when no thread holds it; never waits.
  [[nodiscard]] bool tryLock() KVT_TRY_ACQUIRE(true);
  void unlock() KVT_RELEASE();

 private:
  alignas(8) unsigned char storage_[48] = {};
};

// Takes lock unless the thread that holds it may be one that the system has ended and that will
// never give it back: at the end of the process the system ends every other thread, maybe one
// inside it; at the unload a thread is ended by force only where it holds none of the library's
// locks, so any holder gives it back within its own bound. Tries for at most limitMs (0: once).
// False when it was not taken: the caller does without what the lock guards. Any thread.
[[nodiscard]] bool lockUnlessAbandoned(Lock& lock, unsigned limitMs) KVT_TRY_ACQUIRE(true, lock);

// Holds a lock for a scope.
class KVT_SCOPED_CAPABILITY LockGuard {
 public:
  explicit LockGuard(Lock& lock) KVT_ACQUIRE(lock) : lock_(lock) { lock_.lock(); }
  ~LockGuard() KVT_RELEASE() { lock_.unlock(); }
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;

 private:
  Lock& lock_;
};

}  // namespace platform
