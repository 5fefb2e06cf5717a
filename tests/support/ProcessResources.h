// What the test process holds of the operating system: the plug-in must give all of it back.
#pragma once

#include <map>
#include <ostream>
#include <string>

#include "Wait.h"

struct ProcessResources {
  // Windows: those that did not start in the test program itself (the plug-in's, the system's).
  int threads = 0;
  // Open file descriptors (POSIX): sockets, files; -1 where not counted (Windows).
  int handles = 0;
};

ProcessResources CountProcessResources();

// Windows: the process's open handles, counted by object type ("Event", "Thread", "Key", ...);
// empty when the system cannot list them.
std::map<std::string, int> CountHandlesByType();

// How many thread-local slots (TlsAlloc, pthread_key_create) the process can still take: taken
// one by one until none is left, then all given back.
int FreeThreadSlots();

// Runs the work that leaves the system's own lasting state in a process (socket layer,
// message queues, process snapshot), so that later counts show only what the plug-in keeps.
void WarmUpProcessResources();

// Waits until the process holds no more threads and handles than before (threads may take a
// moment to go once they have said they are done); false after timeoutMs. *now gets the last
// count.
inline bool WaitForResourcesBack(const ProcessResources& before, int timeoutMs,
                                 ProcessResources* now) {
  return WaitUntil(
      [&] {
        *now = CountProcessResources();
        return now->threads <= before.threads && now->handles <= before.handles;
      },
      timeoutMs, 20);
}

inline std::ostream& operator<<(std::ostream& out, const ProcessResources& r) {
  return out << r.threads << " threads, " << r.handles << " handles";
}
