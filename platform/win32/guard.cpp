// A structured-exception frame of the library's own around the host's code. A host built with
// Microsoft's compiler throws a C++ exception as a structured exception that unwinds by the
// frames registered on the thread's chain; this library's frames are not on it, so without a
// frame here the exception would end the process. The frame's handler takes only such C++
// exceptions: it unwinds the host's frames and resumes after the call, as an __except would.
#include "platform/guard.h"

#include <windows.h>

namespace platform {

namespace {

// The code Microsoft's C++ runtime raises for every throw ('msc' with the customer bits).
constexpr DWORD kForeignCppException = 0xE06D7363;

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

// Exceptions of this library's own compiler unwind by its tables, not by the frame chain.
__attribute__((noinline)) bool CallCatching(void (*procedure)(void*), void* argument) {
  try {
    procedure(argument);
  } catch (...) {
    return false;
  }
  return true;
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

}  // namespace platform
