#include "HostFaults.h"

#include <time.h>

#include <stdexcept>

void ThrowFromHostCode() { throw std::runtime_error("host sink failure"); }

bool PostToHostWindow(const std::function<void()>& /*task*/) { return false; }

void* HostWindowOfThisThread() { return nullptr; }

bool SendToHostWindow(void* /*window*/, const std::function<void()>& /*task*/) { return false; }

bool PostQuitToHostQueue() { return false; }

bool TakeQuitFromHostQueue() { return false; }

void* HandlerChainHead() { return nullptr; }

double ThreadCpuMs() {
  timespec used{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &used);
  return static_cast<double>(used.tv_sec) * 1000.0 + static_cast<double>(used.tv_nsec) / 1e6;
}

bool TakeLoaderLock() { return false; }

void ReleaseLoaderLock() {}
