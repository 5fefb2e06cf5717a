// A structured-exception scope of the library's own around the host's code. A host built with
// Microsoft's compiler throws a C++ exception as a structured exception (code 0xE06D7363) that
// this library's compiler does not catch, so without such a scope the exception would end the
// process. The scope takes only such C++ exceptions: it unwinds the host's frames (its
// destructors run there, as its own compiler has them) and resumes after the call, as an __except
// would. 32-bit Windows finds handlers on a chain of frames registered on the thread's stack;
// 64-bit Windows finds them in the unwind tables of the image, where the scope is described.
#include "platform/guard.h"

#include <windows.h>

namespace platform {

namespace {

// The code Microsoft's C++ runtime raises for every throw ('msc' with the customer bits).
constexpr DWORD kForeignCppException = 0xE06D7363;

// Exceptions of this library's own compiler unwind by its tables, not by the frame chain.
__attribute__((noinline)) bool CallCatching(void (*procedure)(void*), void* argument) {
  try {
    procedure(argument);
  } catch (...) {
    return false;
  }
  return true;
}

#if defined(__i386__)

// The system sees the first two members as the thread's EXCEPTION_REGISTRATION_RECORD; it must
// live on the stack of the thread that registers it.
struct GuardFrame {
  GuardFrame* next;
  void* handler;
  void* resume[5];  // __builtin_setjmp's buffer
};

GuardFrame* RegisteredFrame() {
  GuardFrame* frame;
  __asm__ __volatile__("movl %%fs:0, %0" : "=r"(frame));
  return frame;
}

void Register(GuardFrame* frame) {
  __asm__ __volatile__("movl %0, %%fs:0" : : "r"(frame) : "memory");
}

EXCEPTION_DISPOSITION __cdecl GuardHandler(EXCEPTION_RECORD* record, void* establisher,
                                           CONTEXT* /*context*/, void* /*dispatcher*/) {
  if ((record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) != 0 ||
      record->ExceptionCode != kForeignCppException) {
    return ExceptionContinueSearch;
  }
  auto* frame = static_cast<GuardFrame*>(establisher);
  // Calls the unwind handlers of every frame registered after this one (the host's destructors
  // run there) and leaves this frame the innermost one.
  RtlUnwind(frame, nullptr, record, nullptr);
  __builtin_longjmp(frame->resume, 1);
}

}  // namespace

bool callGuarded(void (*procedure)(void*), void* argument) {
  GuardFrame frame;
  frame.next = RegisteredFrame();
  frame.handler = reinterpret_cast<void*>(&GuardHandler);
  if (__builtin_setjmp(frame.resume) != 0) {
    // Resumed by the handler: the chain ends at this frame, which goes too.
    Register(frame.next);
    return false;
  }
  Register(&frame);
  bool completed = CallCatching(procedure, argument);
  Register(frame.next);
  return completed;
}

#elif defined(__x86_64__)

struct GuardedCall {
  void (*procedure)(void*);
  void* argument;
  bool completed;
};

void RunCatching(void* call) {
  auto* guarded = static_cast<GuardedCall*>(call);
  guarded->completed = CallCatching(guarded->procedure, guarded->argument);
}

// The scope's filter, called by the system's __C_specific_handler while it looks for a handler.
extern "C" LONG KvtGuardFilter(EXCEPTION_POINTERS* pointers, void* /*establisherFrame*/) {
  return pointers->ExceptionRecord->ExceptionCode == kForeignCppException
             ? EXCEPTION_EXECUTE_HANDLER
             : EXCEPTION_CONTINUE_SEARCH;
}

// The call inside one scope entry of the function's unwind data: its start, its end, the filter
// and, as the place to resume, the scope's end, which is followed only by the epilogue. The
// unwinding restores the function's frame and callee-saved registers, so nothing after the end
// label relies on what the call left in other registers. The function has no C++ cleanups of its
// own, so the compiler gives it no handler that would compete with this one; an exception of this
// library's compiler passes the filter and is caught by RunCatching.
// One copy of the function, so that its labels exist once: gcc could otherwise clone it; clang
// does not clone functions and knows no attribute against it.
#if defined(__clang__)
#define KVT_ONE_COPY __attribute__((noinline))
#else
#define KVT_ONE_COPY __attribute__((noinline, noclone))
#endif
KVT_ONE_COPY void CallInScope(GuardedCall* call) {
  __asm__ __volatile__(
      ".l_kvt_guard_start:\n\t"
      ".seh_handler __C_specific_handler, @except\n\t"
      ".seh_handlerdata\n\t"
      ".long 1\n\t"
      ".rva .l_kvt_guard_start, .l_kvt_guard_end, KvtGuardFilter, .l_kvt_guard_end\n\t"
      ".text\n\t" ::
          : "memory");
  RunCatching(call);
  __asm__ __volatile__(
      "nop\n"
      ".l_kvt_guard_end:\n\t"
      "nop\n\t" ::
          : "memory");
}

}  // namespace

bool callGuarded(void (*procedure)(void*), void* argument) {
  GuardedCall call{procedure, argument, false};
  CallInScope(&call);
  return call.completed;
}

#endif

}  // namespace platform
