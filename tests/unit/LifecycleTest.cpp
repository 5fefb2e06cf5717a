// The lifecycle: no thread starts once the unload has begun, a thread that has not begun running
// the library's code is ended without waiting for it, waits end at the unload, a thread inside a
// call that may need the loader lock is ended by force where the platform can, and the
// library's threads are told from the host's without anything taken from the process.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "HostFaults.h"
#include "Wait.h"
#include "lifecycle/Lifecycle.h"
#include "platform/thread.h"

namespace {

// What a test thread does, and what it saw.
struct Work {
  Lifecycle* lifecycle = nullptr;
  std::atomic<bool> ran{false};
  std::atomic<bool> release{false};
  std::atomic<bool> inside{false};
  std::atomic<bool> waitEnded{false};
  std::atomic<LibraryThread*> seenAs{nullptr};
};

unsigned Mark(void* raw) {
  auto& work = *static_cast<Work*>(raw);
  work.seenAs = work.lifecycle->CallingThread();
  work.ran = true;
  return 0;
}

// Waits through the lifecycle for something that never happens.
unsigned WaitForEver(void* raw) {
  auto& work = *static_cast<Work*>(raw);
  work.inside = true;
  work.waitEnded = !work.lifecycle->Wait(platform::Deadline::Never(), platform::WaitPause::kSleep,
                                         5, [] { return false; });
  return 0;
}

// Stays inside a call that may need the loader lock until released, as a program start blocked
// on the lock that the unloading thread holds.
unsigned BlockInLoaderCall(void* raw) {
  auto& work = *static_cast<Work*>(raw);
  Lifecycle::LoaderCall call(*work.lifecycle);
  if (!call.Permitted()) return 1;
  work.inside = true;
  // Long past every stop's bound, but not for ever: a thread the platform cannot end still ends.
  static_cast<void>(WaitUntil([&work] { return work.release.load(); }, 60000));
  return 0;
}

// Starts procedure on a library thread and returns once the thread is inside its work.
LibraryThread* StartInside(Lifecycle& lifecycle, Work& work, platform::ThreadProc procedure) {
  work.lifecycle = &lifecycle;
  LibraryThread* thread = lifecycle.StartThread(procedure, &work);
  if (thread != nullptr) {
    EXPECT_TRUE(WaitUntil([&work] { return work.inside.load(); }, 10000, 1))
        << "the thread did not begin its work";
  }
  return thread;
}

TEST(LifecycleTest, NoThreadStartsOnceTheUnloadHasBegun) {
  Lifecycle lifecycle;
  Work work;
  work.lifecycle = &lifecycle;
  EXPECT_FALSE(lifecycle.Unloading());
  EXPECT_EQ(lifecycle.BeginUnload(), StopMode::kUnload);
  EXPECT_TRUE(lifecycle.Unloading());
  EXPECT_EQ(lifecycle.StartThread(Mark, &work), nullptr);
  Lifecycle::LoaderCall call(lifecycle);
  EXPECT_FALSE(call.Permitted()) << "a program start or a message box began during the unload";
}

TEST(LifecycleTest, TellsItsThreadsFromTheHostsWithoutASlot) {
  Lifecycle lifecycle;
  Work work;
  work.lifecycle = &lifecycle;
  LibraryThread* thread = lifecycle.StartThread(Mark, &work);
  ASSERT_NE(thread, nullptr);
  ASSERT_TRUE(lifecycle.WaitThreadEnd(thread, 5000, platform::WaitPause::kSleep));
  EXPECT_TRUE(work.ran);
  EXPECT_EQ(work.seenAs.load(), thread);
  EXPECT_EQ(lifecycle.CallingThread(), nullptr) << "the host's thread counted as the library's";
  lifecycle.ReleaseThread(thread);
}

TEST(LifecycleTest, AThreadThatHasNotBegunIsEndedWithoutWaitingForIt) {
  Lifecycle lifecycle;
  Work work;
  work.lifecycle = &lifecycle;
  LibraryThread* thread = lifecycle.StartThread(Mark, &work, platform::ThreadStart::kSuspended);
  ASSERT_NE(thread, nullptr);
  lifecycle.BeginUnload();
  EXPECT_FALSE(lifecycle.ResumeUnlessUnloading(thread));
  EXPECT_TRUE(lifecycle.EndThread(thread, 60000, StopMode::kUnload));
  EXPECT_FALSE(work.ran) << "a thread stopped before it began ran the library's code";
  lifecycle.ReleaseThread(thread);
}

// The unload runs where Windows holds the loader lock, and a thread that starts then cannot run
// until the unload is over: its end is not waited for. (Without a loader lock the thread begins,
// finds itself stopped and returns.)
TEST(LifecycleTest, AThreadHeldInItsStartByTheLoaderLockDoesNotHoldTheUnload) {
  Lifecycle lifecycle;
  Work work;
  work.lifecycle = &lifecycle;
  const bool held = TakeLoaderLock();
  LibraryThread* thread = lifecycle.StartThread(Mark, &work);
  ASSERT_NE(thread, nullptr);
  lifecycle.BeginUnload();
  // On this thread, which holds the lock: a thread started to watch it could not begin either.
  // Waiting for the thread instead would wait past the case's time limit.
  const bool ended = lifecycle.EndThread(thread, 60000, StopMode::kUnload);
  if (held) ReleaseLoaderLock();
  EXPECT_TRUE(ended);
  if (held) {
    EXPECT_FALSE(work.ran);
  }
  lifecycle.ReleaseThread(thread);
}

TEST(LifecycleTest, WaitsEndWhenTheUnloadBegins) {
  Lifecycle lifecycle;
  Work work;
  LibraryThread* thread = StartInside(lifecycle, work, WaitForEver);
  ASSERT_NE(thread, nullptr);
  lifecycle.BeginUnload();
  EXPECT_TRUE(lifecycle.EndThread(thread, 10000, StopMode::kUnload));
  EXPECT_TRUE(work.waitEnded);
  lifecycle.ReleaseThread(thread);
}

// A thread inside a program start or a message box when the unload begins may be blocked on the
// loader lock that the unloading thread holds: it is ended by force where the platform can, and
// never waited for beyond the stop's bound.
TEST(LifecycleTest, AThreadInsideALoaderCallIsEndedByForceAtTheUnload) {
  Lifecycle lifecycle;
  auto work = std::make_unique<Work>();
  LibraryThread* thread = StartInside(lifecycle, *work, BlockInLoaderCall);
  ASSERT_NE(thread, nullptr);
  lifecycle.BeginUnload();
  const bool ended = lifecycle.EndThread(thread, 2000, StopMode::kUnload);
  EXPECT_EQ(ended, Lifecycle::CanEndByForce());
  if (!ended) {
    // POSIX: the call is not blocked by the unload there, and returns on its own.
    work->release = true;
    ASSERT_TRUE(lifecycle.WaitThreadEnd(thread, 10000, platform::WaitPause::kSleep));
  }
  lifecycle.ReleaseThread(thread);
}

TEST(LifecycleTest, AtTheEndOfTheProcessNothingIsWaitedFor) {
  Lifecycle lifecycle;
  auto work = std::make_unique<Work>();
  LibraryThread* thread = StartInside(lifecycle, *work, BlockInLoaderCall);
  ASSERT_NE(thread, nullptr);
  EXPECT_FALSE(Lifecycle::StopWait(StopMode::kProcessEnd, 60000, 5, [] { return false; }));
  EXPECT_TRUE(lifecycle.EndThread(thread, 60000, StopMode::kProcessEnd));
  platform::Lock lock;
  lock.lock();
  EXPECT_FALSE(Lifecycle::LockForStop(lock, StopMode::kProcessEnd))
      << "a lock that a thread the system ended holds was waited for";
  lock.unlock();
  work->release = true;
  ASSERT_TRUE(lifecycle.WaitThreadEnd(thread, 10000, platform::WaitPause::kSleep));
  lifecycle.ReleaseThread(thread);
}

}  // namespace
