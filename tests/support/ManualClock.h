// A clock that the test moves by hand, for the library's time limits: while one exists, the
// platform's tickCount() returns its time. Every look at it is counted, so that a test can wait
// until a wait of the library has looked at the clock again after a move, and then see whether
// that wait has ended: a limit is then held to the millisecond, on any machine.
#pragma once

#include <cstdint>

class ManualClock {
 public:
  // Installed at startMs, standing still. One at a time; make it while no thread of the library
  // looks at the clock.
  explicit ManualClock(std::uint32_t startMs = 1000);
  ~ManualClock();
  ManualClock(const ManualClock&) = delete;
  ManualClock& operator=(const ManualClock&) = delete;

  std::uint32_t Now() const;
  void Set(std::uint32_t ms);
  // From now on each look moves the clock on by ms after reading it (0: standing still).
  void StepEachLook(std::uint32_t ms);
  // How many times the library has looked at the clock so far.
  std::uint64_t Looks() const;
  // Waits (in real time, at most timeoutMs) until the library has looked at the clock count more
  // times from now: a wait that polls it has then seen the clock's time.
  bool WaitForLooks(std::uint64_t count, int timeoutMs = 5000) const;
};
