// Waiting for something another thread or the console does: one shape for every wait of the
// library, timed on tickCount(), so that a test that replaces the clock reaches all of them. The
// library makes its waits through its lifecycle (lifecycle/Lifecycle.h), which ends them at the
// unload.
#pragma once

#include <cstdint>

#include "platform/pump.h"
#include "platform/time.h"

namespace platform {

// A time limit counted from the moment it is made. The unsigned difference keeps it right across
// the tick count's wrap.
class Deadline {
 public:
  explicit Deadline(std::uint32_t limitMs) : start_(tickCount()), limitMs_(limitMs) {}

  // A wait that only its condition ends (a stop request, another thread's claim).
  static Deadline Never() { return Deadline(); }

  bool Passed() const {
    return bounded_ && static_cast<std::uint32_t>(tickCount() - start_) > limitMs_;
  }

 private:
  Deadline() : start_(0), limitMs_(0), bounded_(false) {}

  std::uint32_t start_;
  std::uint32_t limitMs_;
  bool bounded_ = true;
};

// What a wait does between two looks at its condition.
enum class WaitPause {
  // Sleeps the poll period: threads without a host window, and waits that must not run the
  // host's code (the unload's).
  kSleep,
  // Dispatches one waiting message of the calling thread, or when none waits, sleeps until one
  // comes or the poll period ends: the host's windows stay alive during the wait.
  kPump,
};

// Looks at done() until it holds or the deadline has passed, pausing between looks. The result
// is that of the last look; done() is always looked at once.
template <typename Done>
[[nodiscard]] bool WaitUntil(const Deadline& deadline, WaitPause pause, unsigned pollMs,
                             Done done) {
  for (;;) {
    if (done()) return true;
    if (deadline.Passed()) return false;
    if (pause == WaitPause::kSleep) {
      sleepMs(pollMs);
    } else if (!pumpDispatchOne()) {
      pumpWait(pollMs);
    }
  }
}

}  // namespace platform
