// The library's own pthread_once, linked in place of winpthreads' (-Wl,--wrap=pthread_once) in
// the plug-in DLL only.
//
// The statically linked C++ runtime calls pthread_once while the DLL loads (the 32-bit unwinder
// registers the DLL's unwind tables) and on first use of some of its own statics. winpthreads'
// version keeps a record of the calling thread, a duplicated thread handle and an event, for as
// long as that thread lives; the loading thread is the host's, so a host that loads and frees the
// plug-in again and again would keep one more of each per cycle. This one keeps nothing.
#include <pthread.h>
#include <windows.h>

namespace {

// PTHREAD_ONCE_INIT is 0 and winpthreads marks a done once with 1; kept so, whatever either side
// reads of a flag.
constexpr LONG kNotRun = 0;
constexpr LONG kDone = 1;
constexpr LONG kRunning = 2;

LONG Read(volatile LONG* state) { return InterlockedCompareExchange(state, 0, 0); }

}  // namespace

extern "C" int __wrap_pthread_once(pthread_once_t* once, void (*init)(void)) {
  static_assert(sizeof(pthread_once_t) == sizeof(LONG), "pthread_once_t is winpthreads' long");
  volatile LONG* state = reinterpret_cast<volatile LONG*>(once);
  if (Read(state) == kDone) return 0;
  if (InterlockedCompareExchange(state, kRunning, kNotRun) == kNotRun) {
    init();
    InterlockedExchange(state, kDone);
    return 0;
  }
  // Another thread runs init: the runtime's initialisations take microseconds.
  while (Read(state) != kDone) Sleep(1);
  return 0;
}
