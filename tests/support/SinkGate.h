// A point where a host's sink call waits, as a record call that waits for the host's own window
// thread: it holds no lock while it waits (only atomics), so a thread that the library ends by
// force there leaves nothing taken.
#pragma once

#include <atomic>

#include "Wait.h"

class SinkGate {
 public:
  // Holds the calling thread until Release() or for at most limitMs; true when released.
  bool Hold(int limitMs) {
    held_ = true;
    return WaitUntil([this] { return released_.load(); }, limitMs);
  }
  // Until a thread is (or was) held here; false after timeoutMs.
  bool WaitHeld(int timeoutMs) const {
    return WaitUntil([this] { return held_.load(); }, timeoutMs);
  }
  bool Held() const { return held_; }
  void Release() { released_ = true; }

 private:
  std::atomic<bool> held_{false};
  std::atomic<bool> released_{false};
};
