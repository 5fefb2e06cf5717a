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

void localTimeNow(LocalTime* now) {
  SYSTEMTIME parts;
  GetLocalTime(&parts);
  *now = {parts.wYear, parts.wMonth, parts.wDay, parts.wHour, parts.wMinute, parts.wSecond};
}

void sleepMs(unsigned ms) { Sleep(ms); }

}  // namespace platform
