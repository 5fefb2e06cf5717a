// What the platform layer offers to the tests and tools around the plug-in, not to the plug-in
// itself: a replaceable clock, tasks posted into another thread's message queue, loading a
// library by path as a host does, and the process that holds a port. Implemented beside the rest
// of each platform's layer.
#pragma once

#include <cstdint>

namespace platform {

// For tests of the time limits: makes tickCount() return source() instead of the system's count
// until called again with null. Set it while no other thread of the library reads the clock.
void setTickSourceForTesting(std::uint32_t (*source)());

struct PumpTarget;

// The calling thread's queue, made ready to receive posts. Its owner must be alive to post to it.
PumpTarget* pumpCurrentThread();

// Queues task(argument) to run on the target thread the next time it dispatches a message
// (pumpDispatchOne). False when the post fails. Any thread.
[[nodiscard]] bool pumpPost(PumpTarget* target, void (*task)(void*), void* argument);

// Loads a library by path like a host does; null on failure.
void* libraryLoad(const char* path);
void* librarySymbol(void* library, const char* name);
[[nodiscard]] bool libraryUnload(void* library);
// A readable reason for the last failure of libraryLoad or librarySymbol.
const char* libraryError();

// The process that holds a local TCP port: the one listening on it, else one with a connection
// from it. Its id and its executable file name (no folder; empty when the system gives none).
// False when nothing holds the port or the system does not say (Windows: GetExtendedTcpTable;
// Linux: /proc, which names only the processes the caller may look into). Any thread.
[[nodiscard]] bool socketPortHolder(std::uint16_t port, long long* processId, char* exeName,
                                    unsigned size);

}  // namespace platform
