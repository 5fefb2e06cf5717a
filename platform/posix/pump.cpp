// POSIX message pump: a per-thread queue of tasks stands in for the thread's window messages.
#include "platform/pump.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>

namespace platform {

struct PumpTarget {
  struct Task {
    void (*run)(void*);
    void* argument;
  };
  std::mutex mutex;
  std::condition_variable posted;
  std::deque<Task> tasks;
};

namespace {
thread_local PumpTarget t_queue;
}  // namespace

bool pumpDispatchOne() {
  PumpTarget::Task task{};
  {
    std::lock_guard<std::mutex> lock(t_queue.mutex);
    if (t_queue.tasks.empty()) return false;
    task = t_queue.tasks.front();
    t_queue.tasks.pop_front();
  }
  task.run(task.argument);
  return true;
}

void pumpWait(unsigned timeoutMs) {
  std::unique_lock<std::mutex> lock(t_queue.mutex);
  t_queue.posted.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                          [] { return !t_queue.tasks.empty(); });
}

PumpTarget* pumpCurrentThread() { return &t_queue; }

bool pumpPost(PumpTarget* target, void (*task)(void*), void* argument) {
  if (target == nullptr || task == nullptr) return false;
  {
    std::lock_guard<std::mutex> lock(target->mutex);
    target->tasks.push_back({task, argument});
  }
  target->posted.notify_all();
  return true;
}

}  // namespace platform
