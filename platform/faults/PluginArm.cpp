// The fault-injection build only, linked into the plug-in alone: arms the injector at the
// plug-in's load, before the application object is made, and reports after that object's
// teardown at the unload; and gives the plug-in's own allocations a call site that can fail as
// an exhausted heap does (std::bad_alloc). The allocations themselves are the process's: each
// call goes on to the operator new and delete that the rest of the process uses, so memory that
// the C++ runtime allocates and the plug-in frees, or the other way round, stays consistent.
#include <dlfcn.h>

#include <cstddef>
#include <new>

#include "platform/faults/Injector.h"

namespace {

using NewFn = void* (*)(std::size_t);
using NothrowNewFn = void* (*)(std::size_t, const std::nothrow_t&);
using DeleteFn = void (*)(void*);

// The process's own operators: the plug-in's definitions are local to it, so a lookup from the
// start of the process finds the executable's or the C++ runtime's. They are looked up once, at
// the load, on the loading thread: a lookup later, on a thread of the plug-in, would wait for the
// dynamic linker's lock, which the unloading thread holds while the unload frees memory through
// these. Constant-initialised, so that an allocation before any constructor has run finds them
// null and looks them up itself, still on the loading thread.
struct ProcessOperators {
  NewFn single = nullptr;
  NewFn arrays = nullptr;
  NothrowNewFn nothrow = nullptr;
  DeleteFn release = nullptr;
  DeleteFn releaseArray = nullptr;

  template <typename Fn>
  static Fn Find(const char* name) {
    return reinterpret_cast<Fn>(::dlsym(RTLD_DEFAULT, name));
  }
  const ProcessOperators& Resolved() {
    if (releaseArray == nullptr) {
      single = Find<NewFn>("_Znwm");
      arrays = Find<NewFn>("_Znam");
      nothrow = Find<NothrowNewFn>("_ZnwmRKSt9nothrow_t");
      release = Find<DeleteFn>("_ZdlPv");
      releaseArray = Find<DeleteFn>("_ZdaPv");
    }
    return *this;
  }
};
ProcessOperators g_operators;

// Made before, and so destroyed after, the objects of default priority: the application object's
// load and unload are inside.
struct Arming {
  Arming() {
    static_cast<void>(g_operators.Resolved());
    platform::faults::armFromEnvironment();
  }
  ~Arming() { platform::faults::disarmAndReport(); }
};
__attribute__((init_priority(101))) Arming g_arming;

void* allocate(bool array, std::size_t size, const void* site) {
  if (platform::faults::decide("operatorNew", site, {"nomemory"}) == 1) throw std::bad_alloc();
  const ProcessOperators& operators = g_operators.Resolved();
  return (array ? operators.arrays : operators.single)(size);
}

void* allocateOrNull(std::size_t size, const std::nothrow_t& nothrow, const void* site) {
  if (platform::faults::decide("operatorNew", site, {"nomemory"}) == 1) return nullptr;
  return g_operators.Resolved().nothrow(size, nothrow);
}

void release(bool array, void* pointer) {
  const ProcessOperators& operators = g_operators.Resolved();
  (array ? operators.releaseArray : operators.release)(pointer);
}

}  // namespace

void* operator new(std::size_t size) { return allocate(false, size, __builtin_return_address(0)); }
void* operator new[](std::size_t size) { return allocate(true, size, __builtin_return_address(0)); }
void* operator new(std::size_t size, const std::nothrow_t& nothrow) noexcept {
  return allocateOrNull(size, nothrow, __builtin_return_address(0));
}
void operator delete(void* pointer) noexcept { release(false, pointer); }
void operator delete[](void* pointer) noexcept { release(true, pointer); }
void operator delete(void* pointer, std::size_t /*size*/) noexcept { release(false, pointer); }
void operator delete[](void* pointer, std::size_t /*size*/) noexcept { release(true, pointer); }
