// Clocks and sleeping.
#pragma once

#include <cstdint>

namespace platform {

// Milliseconds since an arbitrary start, wrapping at 2^32 like GetTickCount. Any thread.
std::uint32_t tickCount();

// Wall-clock time in whole seconds and milliseconds (_ftime). Any thread.
void wallClock(std::int64_t* seconds, int* milliseconds);

// Blocks the calling thread for about ms milliseconds.
void sleepMs(unsigned ms);

}  // namespace platform
