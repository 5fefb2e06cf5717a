// A capture target that takes bytes only once told to: a FIFO (POSIX) or a named pipe (Windows)
// whose reader is open but does not read. A writer fills the pipe's buffer (64 KiB) and then
// stalls, as on a share that stops answering.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class StalledTarget {
 public:
  // The FIFO is made in folder; the named pipe's name is the process's own.
  explicit StalledTarget(const std::string& folder);
  ~StalledTarget();
  StalledTarget(const StalledTarget&) = delete;
  StalledTarget& operator=(const StalledTarget&) = delete;

  // False with the reason in error() when the target could not be made.
  bool ready() const { return ready_; }
  const std::string& error() const { return error_; }
  // The path a writer opens.
  const std::string& path() const { return path_; }

  // From now on reads everything written, on a thread of its own. Only once a writer has opened
  // the target.
  void StartReading();
  // Reads until the writer has closed its end, at most timeoutMs, and returns all that was read
  // since StartReading (which it calls when nobody has).
  std::vector<unsigned char> Finish(int timeoutMs);
  // How many bytes have been read so far. Any thread.
  std::size_t BytesRead() {
    std::lock_guard<std::mutex> lock(mutex_);
    return count_;
  }

 private:
  // The reading thread's loop, per platform: keeps what it reads until the writer's end or stop_.
  void Read();
  // Keeps one piece read. The pieces are joined only at the end: a reader that copied all it had
  // read at each growth could stall longer than a stalled target is given, under a sanitizer.
  void Keep(const unsigned char* piece, std::size_t size);

  bool ready_ = false;
  std::string error_;
  std::string path_;
  std::intptr_t handle_ = -1;  // the reading end: a descriptor or a HANDLE
  std::intptr_t event_ = -1;   // Windows: the overlapped reads' event
  void* connect_ = nullptr;    // Windows: the pipe's overlapped connect, pending until a writer
  std::thread reader_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> ended_{false};  // the writer has closed its end
  std::mutex mutex_;
  std::vector<std::vector<unsigned char>> pieces_;
  std::size_t count_ = 0;
};
