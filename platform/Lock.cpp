// The stop's way to a lock whose holder the system may have ended, the same on every platform.
#include "platform/thread.h"
#include "platform/time.h"

namespace platform {

bool lockUnlessAbandoned(Lock& lock, unsigned limitMs) {
  const std::uint32_t start = tickCount();
  for (;;) {
    if (lock.tryLock()) return true;
    if (static_cast<std::uint32_t>(tickCount() - start) >= limitMs) return false;
    sleepMs(1);
  }
}

}  // namespace platform
