// The library's lifecycle: its phase (loaded, unloading, process ending), every thread it starts
// with whether that thread has begun running the library's code, every blocking wait, and the
// leave that a recovery, a connection, a program start or a message box asks before it begins.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/thread.h"
#include "platform/wait.h"

// How the library's stop runs: the host unloads it, or the process ends with it loaded. At the
// end of the process the system has ended every other thread already, maybe inside one of the
// library's locks: the stop sends what it can and waits for nothing.
enum class StopMode { kUnload, kProcessEnd };

// One thread of the library, from its start until its owner releases it (Lifecycle::StartThread,
// Lifecycle::ReleaseThread). Its stage says where it stands for the unload; only the thread
// itself and the lifecycle change it, each change one compare-and-swap.
class LibraryThread {
 public:
  LibraryThread(const LibraryThread&) = delete;
  LibraryThread& operator=(const LibraryThread&) = delete;

  // What the thread's owner keeps with it (an acquisition thread's run); null until set.
  [[nodiscard]] void* Context() const { return m_context.load(); }
  void SetContext(void* context) { m_context.store(context); }

 private:
  friend class Lifecycle;
  enum Stage : int {
    kNotBegun,      // started, but it has run none of the library's code
    kRunning,       // in the library's code
    kInSystemCall,  // inside a call that may need the loader lock (Lifecycle::LoaderCall)
    kClaimed,       // claimed in that call for its end by force: it runs nothing more of ours
    kCancelled,     // stopped before it began: it returns as soon as it runs
  };

  LibraryThread(platform::ThreadProc procedure, void* argument)
      : m_procedure(procedure), m_argument(argument) {}

  platform::ThreadProc const m_procedure;
  void* const m_argument;
  platform::Thread* m_handle = nullptr;  // set before the thread may run, never changed
  std::atomic<int> m_stage{kNotBegun};
  // Raised by the thread when its procedure has returned: it runs only the few instructions that
  // signal its end, and its system identity may soon belong to another thread.
  std::atomic<bool> m_finished{false};
  std::atomic<void*> m_context{nullptr};
  // The lifecycle's list of threads not yet released, under its lock.
  LibraryThread* m_next = nullptr;
};

// Owned by the façade and made first, at the load; gone last, at the unload. Any thread calls
// it. Its lock guards the phase's change and the list of threads; it is held for a few
// instructions and never with another lock of the library.
//
// It keeps nothing of the process per load: a library thread is told from the host's by its
// record in the list, which exists from before the thread runs, not by a thread-local slot that
// would have to be had from the process at the moment it is needed.
//
// From the moment the unload begins (BeginUnload): no thread starts; no recovery, connection,
// program start or message box begins (they ask leave: Unloading, LoaderCall); every wait made
// through Wait ends at its next look; and every thread is ended within a bound by the stop of its
// component (EndThread). A thread that has not begun running the library's code has run nothing
// of the library's and holds nothing: it is ended without waiting for it.
//
// The unload runs inside the loader's unload notification on Windows, where the unloading
// thread holds the loader lock: a call that needs that lock cannot complete until the unload is
// over. The calls of the library's threads that may need it, and why the unload never waits for
// them for ever:
// - A thread's start (the system's thread-attach notifications): until it has run its first
//   instruction of the library's code the thread counts as not begun, and the unload ends it by
//   force at once, never waiting for it (EndThread).
// - A thread's end (the thread-detach notifications): the thread signals its end through a call
//   of the system's own that it queued, before it leaves the library's code (platform/thread.h),
//   so the unload waits only for that signal.
// - A program start (ShellExecute loads the shell's libraries) and the message box (it may load
//   the theme and input libraries): made inside a LoaderCall, with no lock of the library held.
//   A thread still inside one when the unload has waited for it a moment is ended by force.
// - The socket layer loads its providers at the process's first start of the sockets and its
//   first socket, during the first connection sequence, before any recovery can run; later
//   socket calls need no loader lock. The data thread's first socket may be that first one: a
//   data thread held there is ended by force after its stop's 3 s (it holds no lock then).
// The unload's own calls need nothing that another thread of the library could hold.
//
// Where a thread cannot be ended by force (POSIX), nothing of the above blocks it: the system has
// no loader lock, and every call of the library's threads ends within its own bound.
class Lifecycle {
 public:
  Lifecycle() = default;
  // Every thread has been released by then.
  ~Lifecycle() = default;
  Lifecycle(const Lifecycle&) = delete;
  Lifecycle& operator=(const Lifecycle&) = delete;

  // The phase. Unloading from BeginUnload on, whichever the mode.
  [[nodiscard]] bool Unloading() const { return m_phase.load() != kLoaded; }
  // The unload begins, in the mode the platform reports (the process ends, or the host unloads):
  // from now on nothing begins and every wait through Wait ends. Returns the mode. The
  // unloading thread, once.
  StopMode BeginUnload() KVT_EXCLUDES(m_lock);

  // Starts a thread running procedure(argument); null when it cannot be started, or once the
  // unload has begun. A suspended thread runs once ResumeThread is called.
  [[nodiscard]] LibraryThread* StartThread(
      platform::ThreadProc procedure, void* argument,
      platform::ThreadStart start = platform::ThreadStart::kRunning) KVT_EXCLUDES(m_lock);
  void ResumeThread(LibraryThread* thread);
  // Lets a suspended thread run unless the unload has begun, in one step with the unload's start:
  // false (and the thread left suspended, not begun) once it has.
  [[nodiscard]] bool ResumeUnlessUnloading(LibraryThread* thread) KVT_EXCLUDES(m_lock);
  // Waits at most limitMs for the thread's end, dispatching the calling thread's messages when
  // pause says so (a thread that waits for the host's window thread then gets its answer). True
  // when it has ended. Not cut short by the unload: the unload uses it.
  [[nodiscard]] bool WaitThreadEnd(LibraryThread* thread, std::uint32_t limitMs,
                                   platform::WaitPause pause) const;
  // The stop's end of a thread whose component has asked it to stop. At the end of the process
  // nothing is waited for: the system has ended the thread. At the unload: a thread that has not
  // begun is ended at once; one that has is waited for at most limitMs, then ended by force where
  // the platform can if it is inside a LoaderCall. True when it has ended. A thread in the
  // library's own code is never ended by force here: its owner decides (false).
  [[nodiscard]] bool EndThread(LibraryThread* thread, std::uint32_t limitMs, StopMode mode)
      KVT_EXCLUDES(m_lock);
  // A thread that has not begun running the library's code is kept from running it: true when
  // it had not begun (it then returns as soon as it runs, or, at the unload, is ended by force
  // where the platform can). Any thread.
  [[nodiscard]] bool CancelIfNotBegun(LibraryThread* thread) KVT_EXCLUDES(m_lock);
  // Ends a thread by force where the platform can; its owner has made sure it runs none of the
  // library's code (it is inside the host's code). True when it has ended.
  [[nodiscard]] static bool EndByForce(LibraryThread* thread);
  // Whether the platform can end a thread by force at all (not on POSIX).
  [[nodiscard]] static bool CanEndByForce();
  // At the unload, ends by force, where the platform can, a thread that is inside a LoaderCall:
  // true when it was and has ended.
  [[nodiscard]] bool EndInSystemCall(LibraryThread* thread);
  // Gives a thread back once it has ended (or at the end of the process); null does nothing.
  void ReleaseThread(LibraryThread* thread);

  // The library's thread that calls, or null on any other thread (the host's). Needs nothing that
  // could fail to be had: the thread's record exists from before the thread ran.
  [[nodiscard]] LibraryThread* CallingThread() KVT_EXCLUDES(m_lock);
  // Whether the calling thread is this one.
  [[nodiscard]] static bool IsCallingThread(const LibraryThread* thread);

  // Every wait for something another thread, the console or the host does is made through one of
  // the three below; only fixed pauses of a few milliseconds (an acquisition cycle, a poll of the
  // capture's queue) sleep on their own.
  //
  // A wait of a library thread or of the host's thread: ends when done() holds (true), when the
  // deadline has passed or the unload has begun (false), pausing between looks as asked.
  template <typename Done>
  [[nodiscard]] bool Wait(const platform::Deadline& deadline, platform::WaitPause pause,
                          unsigned pollMs, Done done) const {
    bool held = false;
    static_cast<void>(platform::WaitUntil(deadline, pause, pollMs, [&] {
      held = done();
      return held || Unloading();
    }));
    return held;
  }
  // A wait that the unload's start does not end: the unload's own, and those it relies on (the
  // data channel's pause after the console's end notice, a thread held for its end by force).
  // Never dispatches the host's messages.
  template <typename Done>
  [[nodiscard]] static bool WaitRegardless(const platform::Deadline& deadline, unsigned pollMs,
                                           Done done) {
    return platform::WaitUntil(deadline, platform::WaitPause::kSleep, pollMs, done);
  }
  // A wait of the stop: at the end of the process done() is looked at once.
  template <typename Done>
  [[nodiscard]] static bool StopWait(StopMode mode, std::uint32_t limitMs, unsigned pollMs,
                                     Done done) {
    if (mode == StopMode::kProcessEnd) return done();
    return WaitRegardless(platform::Deadline(limitMs), pollMs, done);
  }
  // The stop's way to a lock that a thread the system has ended may hold: at the end of the
  // process it is tried once; at the unload it is waited for within the bound of its holders
  // (none of which is ever ended by force inside it). False when it was not taken.
  [[nodiscard]] static bool LockForStop(platform::Lock& lock, StopMode mode)
      KVT_TRY_ACQUIRE(true, lock);

  // Takes a lock that is held only for moments, on any thread at any time: at the end of the
  // process only when it is free, since the system may have ended a thread inside it.
  [[nodiscard]] bool LockUnlessAbandoned(platform::Lock& lock) const KVT_TRY_ACQUIRE(true, lock);

  // A call that may need the loader lock on Windows (a program start, a message box), made by
  // whichever thread with no lock of the library held. It asks leave (Permitted: false from the
  // unload on, and the call is then not made); for its length the unload may end a library
  // thread inside it by force, after a moment's wait, instead of waiting for a call that may be
  // blocked on the lock the unloading thread holds.
  class LoaderCall {
   public:
    explicit LoaderCall(Lifecycle& lifecycle) KVT_EXCLUDES(lifecycle.m_lock);
    ~LoaderCall();
    LoaderCall(const LoaderCall&) = delete;
    LoaderCall& operator=(const LoaderCall&) = delete;
    [[nodiscard]] bool Permitted() const { return m_permitted; }

   private:
    LibraryThread* const m_thread;
    bool m_permitted = false;
  };

 private:
  enum Phase : int { kLoaded, kUnloading, kProcessEnding };
  static unsigned RunThread(void* raw);

  // Changed once, under the lock; read by any thread.
  std::atomic<int> m_phase{kLoaded};
  platform::Lock m_lock;
  // Threads started and not yet released.
  LibraryThread* m_threads KVT_GUARDED_BY(m_lock) = nullptr;
};
