// POSIX threads behind the thread contract.
#include "platform/thread.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <new>

namespace platform {

struct Thread {
  pthread_t id{};
  ThreadProc proc = nullptr;
  void* argument = nullptr;
  pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t ended = PTHREAD_COND_INITIALIZER;  // also signals `resumed`
  bool resumed = false;
  bool done = false;
  bool joined = false;  // owner's side only
  unsigned exitCode = kThreadStillActive;
  std::atomic<int> references{2};  // the owner's and the thread's own
};

namespace {

void dropReference(Thread* thread) {
  if (thread->references.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    pthread_mutex_destroy(&thread->mutex);
    pthread_cond_destroy(&thread->ended);
    delete thread;
  }
}

void* trampoline(void* raw) {
  auto* thread = static_cast<Thread*>(raw);
  // POSIX threads cannot be created suspended: the thread holds itself here instead, which also
  // makes the id that pthread_create stores visible to it before proc runs.
  pthread_mutex_lock(&thread->mutex);
  while (!thread->resumed) pthread_cond_wait(&thread->ended, &thread->mutex);
  pthread_mutex_unlock(&thread->mutex);
  unsigned code = thread->proc(thread->argument);
  pthread_mutex_lock(&thread->mutex);
  thread->exitCode = code;
  thread->done = true;
  pthread_cond_broadcast(&thread->ended);
  pthread_mutex_unlock(&thread->mutex);
  dropReference(thread);
  return nullptr;
}

}  // namespace

Thread* threadStart(ThreadProc proc, void* argument, ThreadStart start) {
  auto* thread = new (std::nothrow) Thread;
  if (thread == nullptr) return nullptr;
  thread->proc = proc;
  thread->argument = argument;
  if (pthread_create(&thread->id, nullptr, trampoline, thread) != 0) {
    delete thread;
    return nullptr;
  }
  if (start == ThreadStart::kRunning) threadResume(thread);
  return thread;
}

void threadResume(Thread* thread) {
  pthread_mutex_lock(&thread->mutex);
  thread->resumed = true;
  pthread_cond_broadcast(&thread->ended);
  pthread_mutex_unlock(&thread->mutex);
}

bool threadWaitEnd(Thread* thread, unsigned timeoutMs) {
  timespec deadline{};
  clock_gettime(CLOCK_REALTIME, &deadline);
  deadline.tv_sec += timeoutMs / 1000;
  deadline.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  pthread_mutex_lock(&thread->mutex);
  while (!thread->done) {
    if (pthread_cond_timedwait(&thread->ended, &thread->mutex, &deadline) == ETIMEDOUT) break;
  }
  bool done = thread->done;
  pthread_mutex_unlock(&thread->mutex);
  if (done && !thread->joined) {
    // The procedure has returned; joining waits only for the last instructions of the
    // trampoline, so no code of this library runs on that thread afterwards.
    pthread_join(thread->id, nullptr);
    thread->joined = true;
  }
  return done;
}

bool threadExitCode(Thread* thread, unsigned* code) {
  pthread_mutex_lock(&thread->mutex);
  *code = thread->exitCode;
  pthread_mutex_unlock(&thread->mutex);
  return true;
}

bool threadTerminate(Thread* /*thread*/, unsigned /*code*/) { return false; }

bool threadTerminateAvailable() { return false; }

void threadRelease(Thread* thread) {
  if (thread == nullptr) return;
  if (!thread->joined) pthread_detach(thread->id);
  dropReference(thread);
}

bool threadIsCurrent(const Thread* thread) {
  return thread != nullptr && pthread_equal(thread->id, pthread_self()) != 0;
}

std::uint64_t threadCurrentId() {
  // The kernel's thread id: unique among the living threads, as GetCurrentThreadId is.
  return static_cast<std::uint64_t>(syscall(SYS_gettid));
}

static_assert(sizeof(pthread_mutex_t) <= 48, "the lock's storage is too small");
static_assert(alignof(pthread_mutex_t) <= 8, "the lock's storage is not aligned enough");

namespace {
// The lock's storage is all zero until first used: glibc's PTHREAD_MUTEX_INITIALIZER, a default
// (non-recursive) mutex that needs no pthread_mutex_init and no pthread_mutex_destroy.
pthread_mutex_t* mutexOf(unsigned char* storage) {
  return reinterpret_cast<pthread_mutex_t*>(storage);
}
}  // namespace

void Lock::lock() { pthread_mutex_lock(mutexOf(storage_)); }

bool Lock::tryLock() { return pthread_mutex_trylock(mutexOf(storage_)) == 0; }

void Lock::unlock() { pthread_mutex_unlock(mutexOf(storage_)); }

}  // namespace platform
