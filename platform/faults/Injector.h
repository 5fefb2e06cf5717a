// The fault-injection build only: decides, call by call, whether a call of the platform layer
// fails, and counts the calls of each call site. A call site is the place in the plug-in's code
// that made the call, named by the function called and the return address's offset in the
// plug-in's module, so that it names the same place in every run of the same build.
//
// Switched on in the plug-in only, at its load, by the environment:
//   KVT_FAULTS=count                     count the calls of every site
//   KVT_FAULTS=FUNCTION@OFFSET:KIND:N    also fail the N-th call of that site as KIND says
//   KVT_FAULTS_REPORT=PATH               where the counts and the failure that fired are appended
// Everywhere else (the tests' and tools' own copies of the platform layer) every call runs.
#pragma once

#include <initializer_list>

namespace platform::faults {

// For a call of function from the site whose return address is returnAddress: 0 when the real
// call runs, else the 1-based index of the failure kind (among kinds) that it must show. Any
// thread; never blocks for long.
[[nodiscard]] int decide(const char* function, const void* returnAddress,
                         std::initializer_list<const char*> kinds);

// Reads the plan from the environment and starts counting (the plug-in's load).
void armFromEnvironment();

// Appends every site's count to the report and stops counting (the plug-in's unload, after its
// teardown).
void disarmAndReport();

}  // namespace platform::faults
