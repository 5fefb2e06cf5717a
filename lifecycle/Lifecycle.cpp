// The lifecycle's phase, its threads from start to release, and the stop's ways to end them.
#include "lifecycle/Lifecycle.h"

#include <new>

#include "platform/module.h"
#include "platform/notice.h"

namespace {
// How often the stop looks at a thread it waits for.
constexpr unsigned kEndPollMs = 5;
// How long the unload lets a thread inside a call that may need the loader lock finish it before
// it ends the thread by force: such a call that does not need the lock takes moments.
constexpr std::uint32_t kSystemCallWaitMs = 500;
// The longest any holder keeps a lock that the stop takes: a connection's start to the console
// (the system refuses a port where nothing listens after its retries, about two seconds on
// Windows) or a command whose wait the unload has cut short.
constexpr unsigned kStopLockMs = 5000;
}  // namespace

StopMode Lifecycle::BeginUnload() {
  const bool processEnds = platform::processEnding();
  {
    platform::LockGuard guard(m_lock);
    m_phase = processEnds ? kProcessEnding : kUnloading;
  }
  // A message box would hold its thread in the library; none is shown from now on.
  platform::closeMessageBoxes();
  return processEnds ? StopMode::kProcessEnd : StopMode::kUnload;
}

unsigned Lifecycle::RunThread(void* raw) {
  auto* thread = static_cast<LibraryThread*>(raw);
  int expected = LibraryThread::kNotBegun;
  // Cancelled before it began: the library's code goes no further on this thread.
  if (!thread->m_stage.compare_exchange_strong(expected, LibraryThread::kRunning)) return 0;
  const unsigned code = thread->m_procedure(thread->m_argument);
  thread->m_finished = true;
  return code;
}

LibraryThread* Lifecycle::StartThread(platform::ThreadProc procedure, void* argument,
                                      platform::ThreadStart start) {
  auto* thread = new (std::nothrow) LibraryThread(procedure, argument);
  if (thread == nullptr) return nullptr;
  {
    // The check and the start are one step: a thread started before the unload began is in the
    // list its component's stop ends.
    platform::LockGuard guard(m_lock);
    if (!Unloading()) {
      thread->m_handle =
          platform::threadStart(RunThread, thread, platform::ThreadStart::kSuspended);
    }
    if (thread->m_handle != nullptr) {
      thread->m_next = m_threads;
      m_threads = thread;
    }
  }
  if (thread->m_handle == nullptr) {
    delete thread;
    return nullptr;
  }
  if (start == platform::ThreadStart::kRunning) platform::threadResume(thread->m_handle);
  return thread;
}

void Lifecycle::ResumeThread(LibraryThread* thread) { platform::threadResume(thread->m_handle); }

bool Lifecycle::ResumeUnlessUnloading(LibraryThread* thread) {
  platform::LockGuard guard(m_lock);
  if (Unloading()) return false;
  platform::threadResume(thread->m_handle);
  return true;
}

bool Lifecycle::WaitThreadEnd(LibraryThread* thread, std::uint32_t limitMs,
                              platform::WaitPause pause) const {
  if (pause == platform::WaitPause::kSleep)
    return platform::threadWaitEnd(thread->m_handle, limitMs);
  return platform::WaitUntil(platform::Deadline(limitMs), pause, kEndPollMs,
                             [thread] { return platform::threadWaitEnd(thread->m_handle, 0); });
}

bool Lifecycle::CancelIfNotBegun(LibraryThread* thread) {
  int expected = LibraryThread::kNotBegun;
  if (!thread->m_stage.compare_exchange_strong(expected, LibraryThread::kCancelled)) return false;
  // During the unload the unloading thread holds Windows' loader lock, so a thread that has not
  // begun holds nothing (it may be waiting for that lock to run its attach notifications): it is
  // ended at once. At other times it may hold the loader lock inside those notifications, and is
  // left to run: it returns as soon as it reaches the library's code.
  if (Unloading() && platform::threadTerminateAvailable()) {
    static_cast<void>(platform::threadTerminate(thread->m_handle, 0));
  }
  // A thread started suspended runs, and returns at once.
  platform::threadResume(thread->m_handle);
  return true;
}

bool Lifecycle::EndByForce(LibraryThread* thread) {
  return platform::threadTerminate(thread->m_handle, 0) &&
         platform::threadWaitEnd(thread->m_handle, 0);
}

bool Lifecycle::CanEndByForce() { return platform::threadTerminateAvailable(); }

bool Lifecycle::EndInSystemCall(LibraryThread* thread) {
  if (!Unloading() || !CanEndByForce()) return false;
  int expected = LibraryThread::kInSystemCall;
  if (!thread->m_stage.compare_exchange_strong(expected, LibraryThread::kClaimed)) return false;
  if (EndByForce(thread)) return true;
  // Not ended: it goes on with its call.
  thread->m_stage = LibraryThread::kInSystemCall;
  return false;
}

bool Lifecycle::EndThread(LibraryThread* thread, std::uint32_t limitMs, StopMode mode) {
  if (thread == nullptr || mode == StopMode::kProcessEnd) return true;
  if (CancelIfNotBegun(thread)) return WaitThreadEnd(thread, limitMs, platform::WaitPause::kSleep);
  const std::uint32_t start = platform::tickCount();
  const platform::Deadline deadline(limitMs);
  return WaitRegardless(deadline, kEndPollMs, [&] {
    if (platform::threadWaitEnd(thread->m_handle, 0)) return true;
    // Inside a call that may wait for the loader lock this thread holds: ended by force, where
    // the platform can, once the call has had a moment.
    return static_cast<std::uint32_t>(platform::tickCount() - start) >= kSystemCallWaitMs &&
           EndInSystemCall(thread);
  });
}

void Lifecycle::ReleaseThread(LibraryThread* thread) {
  if (thread == nullptr) return;
  {
    platform::LockGuard guard(m_lock);
    for (LibraryThread** link = &m_threads; *link != nullptr; link = &(*link)->m_next) {
      if (*link == thread) {
        *link = thread->m_next;
        break;
      }
    }
  }
  platform::threadRelease(thread->m_handle);
  delete thread;
}

LibraryThread* Lifecycle::CallingThread() {
  platform::LockGuard guard(m_lock);
  for (LibraryThread* thread = m_threads; thread != nullptr; thread = thread->m_next) {
    // A thread whose procedure has returned may already have given its identity to another.
    if (!thread->m_finished && platform::threadIsCurrent(thread->m_handle)) return thread;
  }
  return nullptr;
}

bool Lifecycle::IsCallingThread(const LibraryThread* thread) {
  return thread != nullptr && platform::threadIsCurrent(thread->m_handle);
}

bool Lifecycle::LockForStop(platform::Lock& lock, StopMode mode) {
  return platform::lockUnlessAbandoned(lock, mode == StopMode::kProcessEnd ? 0 : kStopLockMs);
}

bool Lifecycle::LockUnlessAbandoned(platform::Lock& lock) const {
  if (m_phase.load() == kProcessEnding) return lock.tryLock();
  lock.lock();
  return true;
}

Lifecycle::LoaderCall::LoaderCall(Lifecycle& lifecycle) : m_thread(lifecycle.CallingThread()) {
  platform::LockGuard guard(lifecycle.m_lock);
  if (lifecycle.Unloading()) return;
  m_permitted = true;
  if (m_thread != nullptr) m_thread->m_stage = LibraryThread::kInSystemCall;
}

Lifecycle::LoaderCall::~LoaderCall() {
  if (!m_permitted || m_thread == nullptr) return;
  int expected = LibraryThread::kInSystemCall;
  if (m_thread->m_stage.compare_exchange_strong(expected, LibraryThread::kRunning)) return;
  // Claimed for its end by force: the unload ends this thread now, and nothing of the library
  // may run on it meanwhile. Given back when the end failed, it goes on.
  static_cast<void>(WaitRegardless(platform::Deadline::Never(), 1, [this] {
    return m_thread->m_stage.load() != LibraryThread::kClaimed;
  }));
  m_thread->m_stage = LibraryThread::kRunning;
}
