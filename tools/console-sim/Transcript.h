// The simulator's transcript: one line per event, stamped with milliseconds since its start.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>

class SimTranscript {
 public:
  SimTranscript();
  ~SimTranscript();
  SimTranscript(const SimTranscript&) = delete;
  SimTranscript& operator=(const SimTranscript&) = delete;

  // "" writes nowhere, "-" to standard output, anything else to that file, truncated. False
  // with a message when the file cannot be created.
  bool open(const std::string& path, std::string* error);
  void close();

  // Restarts the clock that the time stamps count from, at from.
  void restartClock(std::chrono::steady_clock::time_point from = std::chrono::steady_clock::now());

  // Writes "<ms> <text>" with the milliseconds right-aligned to three decimals, and flushes so a
  // reader following the file sees each line at once. Any thread.
  void line(const char* format, ...) __attribute__((format(printf, 2, 3)));

  bool enabled() const { return enabled_; }

 private:
  std::atomic<bool> enabled_{false};
  std::mutex mutex_;
  std::FILE* file_ = nullptr;
  bool ownsFile_ = false;
  std::chrono::steady_clock::time_point start_;
};
