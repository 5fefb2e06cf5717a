// The calling thread's message queue: what the plug-in dispatches while it waits on the host's
// thread.
#pragma once

namespace platform {

// If a message waits for the calling thread, takes it off the queue, translates and dispatches
// it (POSIX: runs one queued task) and returns true; otherwise returns false at once.
[[nodiscard]] bool pumpDispatchOne();

// Blocks the calling thread until a message waits for it or timeoutMs have passed.
void pumpWait(unsigned timeoutMs);

}  // namespace platform
