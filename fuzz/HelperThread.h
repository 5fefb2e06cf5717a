// One thread kept for a whole fuzzing run that plays the plug-in's peer for each input: a new
// thread per input would grow the sanitizers' per-thread records without end.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <thread>

class HelperThread {
 public:
  HelperThread() : thread_([this] { Loop(); }) { thread_.detach(); }
  HelperThread(const HelperThread&) = delete;
  HelperThread& operator=(const HelperThread&) = delete;

  // Hands the job over; it starts at once.
  void Start(std::function<void()> job) {
    std::lock_guard<std::mutex> lock(mutex_);
    job_ = std::move(job);
    done_ = false;
    changed_.notify_all();
  }

  // Waits for the job to end. Each job bounds its own waits; one that outlives limit means the
  // harness itself is stuck, and the run stops there.
  void Wait(std::chrono::seconds limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!changed_.wait_for(lock, limit, [this] { return done_; })) {
      std::fprintf(stderr, "the fuzzer's helper thread did not finish its job\n");
      std::abort();
    }
  }

 private:
  // Users allocate the object once and never delete it, so the detached thread never outlives
  // it. Between inputs it waits for the next job.
  void Loop() {
    for (;;) {
      std::function<void()> job;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return static_cast<bool>(job_); });
        job = std::move(job_);
        job_ = nullptr;
      }
      job();
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
      changed_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::function<void()> job_;
  bool done_ = true;
  std::thread thread_;
};
