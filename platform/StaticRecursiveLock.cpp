// The first-use construction of a lock in static storage, the same on every platform.
#include <new>

#include "platform/thread.h"
#include "platform/time.h"

namespace platform {

RecursiveLock& StaticRecursiveLock::get() {
  RecursiveLock* made = reinterpret_cast<RecursiveLock*>(storage_);
  if (state_.load(std::memory_order_acquire) == kReady) return *made;
  int expected = kUnmade;
  if (state_.compare_exchange_strong(expected, kMaking, std::memory_order_acq_rel)) {
    new (storage_) RecursiveLock();
    state_.store(kReady, std::memory_order_release);
    return *made;
  }
  // Another thread is making it: that takes microseconds, and happens once per process.
  while (state_.load(std::memory_order_acquire) != kReady) sleepMs(0);
  return *made;
}

}  // namespace platform
