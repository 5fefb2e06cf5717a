// The hand-moved clock: a time and a count of looks, both atomics, behind the platform's
// replaceable tick source.
#include "ManualClock.h"

#include <atomic>

#include "Wait.h"
#include "platform/testing.h"

namespace {

std::atomic<std::uint32_t> g_now{0};
std::atomic<std::uint32_t> g_step{0};
std::atomic<std::uint64_t> g_looks{0};

std::uint32_t Ticks() {
  ++g_looks;
  return g_now.fetch_add(g_step.load());
}

}  // namespace

ManualClock::ManualClock(std::uint32_t startMs) {
  g_now = startMs;
  g_step = 0;
  g_looks = 0;
  platform::setTickSourceForTesting(Ticks);
}

ManualClock::~ManualClock() { platform::setTickSourceForTesting(nullptr); }

std::uint32_t ManualClock::Now() const { return g_now.load(); }

void ManualClock::Set(std::uint32_t ms) { g_now = ms; }

void ManualClock::StepEachLook(std::uint32_t ms) { g_step = ms; }

std::uint64_t ManualClock::Looks() const { return g_looks.load(); }

bool ManualClock::WaitForLooks(std::uint64_t count, int timeoutMs) const {
  const std::uint64_t target = g_looks.load() + count;
  return WaitUntil([target] { return g_looks.load() >= target; }, timeoutMs);
}
