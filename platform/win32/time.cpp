// Windows clocks and sleeping.
#include "platform/time.h"

#include <windows.h>

#include <atomic>

#include "platform/testing.h"

namespace platform {

namespace {
// Null but in tests, which replace it while no other thread reads the clock; loaded by any thread.
std::atomic<std::uint32_t (*)()> g_tickSource{nullptr};
}  // namespace

std::uint32_t tickCount() {
  std::uint32_t (*source)() = g_tickSource.load();
  return source != nullptr ? source() : GetTickCount();
}

void setTickSourceForTesting(std::uint32_t (*source)()) { g_tickSource = source; }

void wallClock(std::int64_t* seconds, int* milliseconds) {
  // FILETIME counts 100-nanosecond intervals since 1601-01-01; Unix time starts 1970-01-01.
  constexpr std::uint64_t kUnixEpoch = 116444736000000000ULL;
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  std::uint64_t ticks =
      (static_cast<std::uint64_t>(now.dwHighDateTime) << 32 | now.dwLowDateTime) - kUnixEpoch;
  *seconds = static_cast<std::int64_t>(ticks / 10000000);
  *milliseconds = static_cast<int>(ticks % 10000000 / 10000);
}

void localTimeNow(LocalTime* now) {
  SYSTEMTIME parts;
  GetLocalTime(&parts);
  *now = {parts.wYear, parts.wMonth, parts.wDay, parts.wHour, parts.wMinute, parts.wSecond};
}

void sleepMs(unsigned ms) { Sleep(ms); }

}  // namespace platform
