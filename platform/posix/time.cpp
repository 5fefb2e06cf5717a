// POSIX clocks behind the time contract.
#include "platform/time.h"

#include <time.h>

#include <atomic>
#include <cerrno>
#include <ctime>

#include "platform/testing.h"

namespace platform {

namespace {
// Null but in tests, which replace it while no other thread reads the clock; loaded by any thread.
std::atomic<std::uint32_t (*)()> g_tickSource{nullptr};
}  // namespace

void setTickSourceForTesting(std::uint32_t (*source)()) { g_tickSource = source; }

std::uint32_t tickCount() {
  std::uint32_t (*source)() = g_tickSource.load();
  if (source != nullptr) return source();
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  std::uint64_t ms = static_cast<std::uint64_t>(now.tv_sec) * 1000u +
                     static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
  return static_cast<std::uint32_t>(ms);
}

void localTimeNow(LocalTime* now) {
  std::time_t seconds = std::time(nullptr);
  std::tm parts{};
  localtime_r(&seconds, &parts);
  *now = {parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday,
          parts.tm_hour,        parts.tm_min,     parts.tm_sec};
}

void sleepMs(unsigned ms) {
  timespec rest{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&rest, &rest) != 0 && errno == EINTR) {
  }
}

}  // namespace platform
