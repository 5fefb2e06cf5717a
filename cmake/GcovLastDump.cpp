// The Windows builds that count lines (KVT_COVERAGE) write each binary's counts at the very end of
// its unload or exit, after the destructors of its static objects.
//
// gcc's counted code asks for the write from a destructor that the mingw-w64 C runtime runs first
// when a DLL unloads or a program exits, and only then the destructors that each static object
// registered with atexit as it was made. What those run, the plug-in's whole unload among it,
// would never be counted. Every binary of such a build is linked with -Wl,--wrap=__gcov_exit: the
// early request comes here and does nothing, and the real write is registered with atexit before
// any static object is made, so that it runs after the last of them. Counts are written once per
// load, as before.
#include <cstdlib>

// The names are the linker's: --wrap=SYMBOL sends SYMBOL to __wrap_SYMBOL, and __real_SYMBOL to the
// original.
// NOLINTBEGIN(bugprone-reserved-identifier,readability-identifier-naming)
extern "C" void __real___gcov_exit();

extern "C" void __wrap___gcov_exit() {}
// NOLINTEND(bugprone-reserved-identifier,readability-identifier-naming)

namespace {

void writeCounts() { __real___gcov_exit(); }

// 101 is the first priority open to programs: the counters register themselves at 100, before
// this, and the static objects at the default priority, after it.
__attribute__((constructor(101))) void writeCountsLast() { std::atexit(writeCounts); }

}  // namespace
