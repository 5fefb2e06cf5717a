// The fault-injection build only, linked into the plug-in alone: arms the injector at the
// plug-in's load, before the application object is made, and reports after that object's
// teardown at the unload; and gives the plug-in's own allocations a call site that can fail as
// an exhausted heap does (std::bad_alloc).
//
// Where the allocations go after that differs. On POSIX the C++ runtime is the process's: each
// call goes on to the operator new and delete that the rest of the process uses, so memory that
// the runtime allocates and the plug-in frees, or the other way round, stays consistent. On
// Windows the DLL carries its own copy of the C++ runtime, which these operators replace for the
// whole DLL, and nothing allocated inside it is freed outside: malloc and free serve.
#if !defined(_WIN32)
#include <dlfcn.h>
#endif

#include <cstddef>
#include <cstdlib>
#include <new>

#include "platform/faults/Injector.h"

namespace {

#if defined(_WIN32)
void* Allocate(bool /*array*/, std::size_t size) {
  // As the runtime's own operator: a size of 0 still gives a pointer of its own.
  return std::malloc(size != 0 ? size : 1);
}
void* AllocateOrNull(std::size_t size) { return Allocate(false, size); }
void Release(bool /*array*/, void* pointer) { std::free(pointer); }
// Nothing to find before the first allocation.
void FindOperators() {}
#else
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

void* Allocate(bool array, std::size_t size) {
  const ProcessOperators& operators = g_operators.Resolved();
  return (array ? operators.arrays : operators.single)(size);
}
void* AllocateOrNull(std::size_t size) {
  return g_operators.Resolved().nothrow(size, std::nothrow);
}
void Release(bool array, void* pointer) {
  const ProcessOperators& operators = g_operators.Resolved();
  (array ? operators.releaseArray : operators.release)(pointer);
}
void FindOperators() { static_cast<void>(g_operators.Resolved()); }
#endif

// Made before, and so destroyed after, the objects of default priority: the application object's
// load and unload are inside. On Windows both run under the loader lock: arming reads the
// environment and the report file and allocates, and the report appends to that file; none of it
// loads a library, starts or waits for a thread.
struct Arming {
  Arming() {
    FindOperators();
    platform::faults::armFromEnvironment();
  }
  ~Arming() { platform::faults::disarmAndReport(); }
};
__attribute__((init_priority(101))) Arming g_arming;

void* allocate(bool array, std::size_t size, const void* site) {
  if (platform::faults::decide("operatorNew", site, {"nomemory"}) == 1) throw std::bad_alloc();
  void* memory = Allocate(array, size);
  if (memory == nullptr) throw std::bad_alloc();
  return memory;
}

void* allocateOrNull(std::size_t size, const void* site) {
  if (platform::faults::decide("operatorNew", site, {"nomemory"}) == 1) return nullptr;
  return AllocateOrNull(size);
}

}  // namespace

void* operator new(std::size_t size) { return allocate(false, size, __builtin_return_address(0)); }
void* operator new[](std::size_t size) { return allocate(true, size, __builtin_return_address(0)); }
void* operator new(std::size_t size, const std::nothrow_t& /*nothrow*/) noexcept {
  return allocateOrNull(size, __builtin_return_address(0));
}
void operator delete(void* pointer) noexcept { Release(false, pointer); }
void operator delete[](void* pointer) noexcept { Release(true, pointer); }
void operator delete(void* pointer, std::size_t /*size*/) noexcept { Release(false, pointer); }
void operator delete[](void* pointer, std::size_t /*size*/) noexcept { Release(true, pointer); }
