// POSIX message pump: a per-thread queue of tasks stands in for the thread's window messages.
#include "platform/pump.h"

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "platform/testing.h"

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

// Each thread's queue, made on first use and freed when the thread ends. Not a thread_local
// object: glibc keeps a library loaded while a thread-local destructor of it is pending, so the
// host's thread would pin the plug-in for good. The key is made before, and removed after, every
// other static object of the library, whose destructors may still pump.
class QueueKey {
 public:
  QueueKey() : made_(pthread_key_create(&key_, &threadEnded) == 0) {}
  ~QueueKey() {
    if (!made_) return;
    // Every queue goes with the library: no thread can reach one without the library's code,
    // and the threads that made them (the host's among them) may well live on.
    pthread_setspecific(key_, nullptr);
    pthread_key_delete(key_);
    std::lock_guard<std::mutex> lock(allMutex_);
    for (PumpTarget* queue : all_) delete queue;
    all_.clear();
  }
  PumpTarget* find() const {
    return made_ ? static_cast<PumpTarget*>(pthread_getspecific(key_)) : nullptr;
  }
  PumpTarget* findOrMake() {
    PumpTarget* queue = find();
    if (queue != nullptr || !made_) return queue;
    // Without memory for a queue the thread has none: its waits sleep instead.
    std::lock_guard<std::mutex> lock(allMutex_);
    try {
      queue = new PumpTarget;
    } catch (const std::bad_alloc&) {
      return nullptr;
    }
    try {
      all_.push_back(queue);
    } catch (const std::bad_alloc&) {
      delete queue;
      return nullptr;
    }
    if (pthread_setspecific(key_, queue) != 0) {
      all_.pop_back();
      delete queue;
      return nullptr;
    }
    return queue;
  }

 private:
  // A thread that ends while the library is loaded takes its queue with it.
  static void threadEnded(void* queue);

  pthread_key_t key_;
  bool made_;
  std::mutex allMutex_;
  std::vector<PumpTarget*> all_;
};

__attribute__((init_priority(101))) QueueKey g_queues;

void QueueKey::threadEnded(void* queue) {
  {
    std::lock_guard<std::mutex> lock(g_queues.allMutex_);
    auto& all = g_queues.all_;
    all.erase(std::remove(all.begin(), all.end(), static_cast<PumpTarget*>(queue)), all.end());
  }
  delete static_cast<PumpTarget*>(queue);
}

}  // namespace

bool pumpDispatchOne() {
  PumpTarget* queue = g_queues.find();
  if (queue == nullptr) return false;
  PumpTarget::Task task{};
  {
    std::lock_guard<std::mutex> lock(queue->mutex);
    if (queue->tasks.empty()) return false;
    task = queue->tasks.front();
    queue->tasks.pop_front();
  }
  task.run(task.argument);
  return true;
}

void pumpWait(unsigned timeoutMs) {
  PumpTarget* queue = g_queues.findOrMake();
  if (queue == nullptr) {
    std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs));
    return;
  }
  std::unique_lock<std::mutex> lock(queue->mutex);
  queue->posted.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                         [queue] { return !queue->tasks.empty(); });
}

PumpTarget* pumpCurrentThread() { return g_queues.findOrMake(); }

bool pumpPost(PumpTarget* target, void (*task)(void*), void* argument) {
  if (target == nullptr || task == nullptr) return false;
  {
    std::lock_guard<std::mutex> lock(target->mutex);
    try {
      target->tasks.push_back({task, argument});
    } catch (const std::bad_alloc&) {
      return false;
    }
  }
  target->posted.notify_all();
  return true;
}

}  // namespace platform
