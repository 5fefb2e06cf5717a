// What a faulty or busy host does to the plug-in: throws from its sink, runs its own window
// messages inside the plug-in's waits, and holds the loader lock while the plug-in's threads start.
#pragma once

#include <functional>

// Throws as code of the host's compiler would: a C++ exception on POSIX; on Windows the
// structured exception that a throw of Microsoft's compiler raises.
[[noreturn]] void ThrowFromHostCode();

// Queues task as a window message of the calling thread, to run when a message loop on this
// thread (the plug-in's waits included) dispatches it. False where hosts have no message queue
// (POSIX).
bool PostToHostWindow(const std::function<void()>& task);

// The calling thread's window, made on first use: for SendToHostWindow from other threads. Null
// where hosts have no windows (POSIX).
void* HostWindowOfThisThread();
// Runs task on the thread of window with a synchronous window message (SendMessage), as a host's
// sink hands work to its window thread: returns once that thread has dispatched it. False where
// hosts have no windows.
bool SendToHostWindow(void* window, const std::function<void()>& task);

// A quit in the calling thread's queue, as a host that is closing leaves one for its main loop;
// false where hosts have no message queue (POSIX).
bool PostQuitToHostQueue();
// Takes a quit off the calling thread's queue: true when one was there.
bool TakeQuitFromHostQueue();

// Processor time the calling thread has used so far, in milliseconds.
double ThreadCpuMs();

// The head of the calling thread's chain of registered exception handlers (32-bit Windows, where
// a guard registers one for its call); null where threads have no such chain.
void* HandlerChainHead();

// Takes the loader lock on the calling thread, as Windows holds it on the thread that loads or
// unloads a DLL while the DLL's entry point runs: until it is released, no thread that starts
// meanwhile runs any code of a DLL, and a call that needs the lock (a library's load, the
// shell's program start) waits. It may be taken again on the same thread, by the loader itself
// too. False where there is no such lock (POSIX).
bool TakeLoaderLock();
void ReleaseLoaderLock();
