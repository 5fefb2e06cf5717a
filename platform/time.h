// Clocks and sleeping.
#pragma once

#include <cstdint>

namespace platform {

// Milliseconds since an arbitrary start, wrapping at 2^32 like GetTickCount. Any thread.
std::uint32_t tickCount();

// The local date and time, to the second, as the machine's clock and time zone give them
// (GetLocalTime). Any thread.
struct LocalTime {
  int year;
  int month;  // 1 to 12
  int day;    // 1 to 31
  int hour;
  int minute;
  int second;
};
void localTimeNow(LocalTime* now);

// Blocks the calling thread for about ms milliseconds.
void sleepMs(unsigned ms);

}  // namespace platform
