// The calling thread's message queue: what the plug-in dispatches while it waits on the host's
// thread.
#pragma once

namespace platform {

// If a message waits for the calling thread, takes it off the queue, translates and dispatches
// it (POSIX: runs one queued task) and returns true; otherwise returns false at once.
bool pumpDispatchOne();

// Blocks the calling thread until a message waits for it or timeoutMs have passed.
void pumpWait(unsigned timeoutMs);

struct PumpTarget;

// The calling thread's queue, made ready to receive posts. Its owner must be alive to post to it.
PumpTarget* pumpCurrentThread();

// Queues task(argument) to run on the target thread the next time it dispatches a message.
// False when the post fails. Any thread.
bool pumpPost(PumpTarget* target, void (*task)(void*), void* argument);

}  // namespace platform
