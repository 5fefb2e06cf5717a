// What a faulty or busy host does to the plug-in: throws from its sink, and runs its own window
// messages inside the plug-in's waits.
#pragma once

#include <functional>

// Throws as code of the host's compiler would: a C++ exception on POSIX; on Windows the
// structured exception that a throw of Microsoft's compiler raises.
[[noreturn]] void ThrowFromHostCode();

// Queues task as a window message of the calling thread, to run when a message loop on this
// thread (the plug-in's waits included) dispatches it. False where hosts have no message queue
// (POSIX).
bool PostToHostWindow(const std::function<void()>& task);
