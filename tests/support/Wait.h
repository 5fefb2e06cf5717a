// The tests' one wait: looks at a condition until it holds or a bound of real time has passed.
// Real time (steady_clock), not the library's tickCount(), which a test may have replaced to move
// the plug-in's time limits on. Every test that waits for an event (a sink call, a console
// message, a log line, a state the library reports) waits through this.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

constexpr int kWaitPollMs = 5;

// True as soon as condition() holds; false when it still does not after timeoutMs (it is looked
// at once more at the end).
inline bool WaitUntil(const std::function<bool()>& condition, int timeoutMs,
                      int pollMs = kWaitPollMs) {
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= giveUp) return condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(pollMs));
  }
  return true;
}
