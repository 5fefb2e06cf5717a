// What happened in one random scenario, each line stamped with the milliseconds since it began:
// the host's calls with their results and durations, what the sinks did, the console's faults
// and every broken rule. A failing scenario prints it merged with the console's transcripts.
#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <vector>

using ScenarioClock = std::chrono::steady_clock;

class Timeline {
 public:
  struct Line {
    double ms;
    std::string text;
  };

  Timeline() : start_(ScenarioClock::now()) {}

  ScenarioClock::time_point Start() const { return start_; }
  double Now() const { return MsSinceStart(ScenarioClock::now()); }
  double MsSinceStart(ScenarioClock::time_point at) const {
    return std::chrono::duration<double, std::milli>(at - start_).count();
  }

  void Note(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // A broken rule: noted, counted, and written to standard error at once, so that a scenario
  // that then hangs has said what went wrong.
  void Fail(const char* format, ...) __attribute__((format(printf, 2, 3)));
  int Failures() const { return failures_; }

  std::vector<Line> Lines() const;

  // Prints the lines merged by time with the console's transcripts, whose stamps count from the
  // scenario's start, each named by a prefix. Runs of stripe lines are folded into one.
  struct Transcript {
    std::string path;
    std::string prefix;
  };
  void Print(const std::vector<Transcript>& transcripts) const;

 private:
  void Add(const std::string& text);

  const ScenarioClock::time_point start_;
  mutable std::mutex mutex_;
  std::vector<Line> lines_;
  std::atomic<int> failures_{0};
};
