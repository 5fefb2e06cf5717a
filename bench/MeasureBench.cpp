// Measurements through the exports of the built plug-in: the latency from a laser stripe's send
// on the data channel to the host sink's record call, and the CPU time the plug-in's threads use
// while a measurement runs without data and while its start waits for the console's scanning.
// Each figure is the median and spread of seven rounds, the cases alternating round by round.
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "BenchSession.h"
#include "platform/socket.h"
#include "platform/time.h"
#include "shell/MeasureSink.h"
#include "tools/console-sim/ConsoleSimulator.h"
#include "tools/host/PluginLibrary.h"
#include "wire/CommandCodes.h"

namespace {

using bench::Session;
using Clock = std::chrono::steady_clock;

constexpr int kPointsPerStripe = 1000;
constexpr int kRounds = 7;
constexpr int kCpuWindowMs = 1000;
// After MeasureStart has returned: the acquisition thread's first cycles are not the steady state.
constexpr int kCpuSettleMs = 1000;
// The console of the waiting case reports scanning this long after the scan start, which ends
// the wait well after the measured window and long before MeasureStart's own limit of 30 s.
constexpr int kWaitWindowStartMs = 500;
constexpr int kLateScanBeginMs = 2500;

double Milliseconds(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

// A sink that keeps, for every pass record, the stripe number stamped into it and when the call
// came; it ignores every other call but the measurement's begin.
class TimingSink : public MeasureSink {
 public:
  struct Sample {
    int stripe;
    Clock::time_point at;
  };

  explicit TimingSink(std::size_t capacity) { samples_.reserve(capacity); }

  void OnButtonEvent2() override {}
  void OnButtonEvent4() override {}
  void BeginMeasure() override {
    std::lock_guard<std::mutex> lock(mutex_);
    begun_ = true;
    changed_.notify_all();
  }
  void AddPassMeasure(MeasureRecord* record) override {
    const Clock::time_point at = Clock::now();
    const int stripe = static_cast<int>(record->position[0]);
    std::lock_guard<std::mutex> lock(mutex_);
    if (samples_.size() < samples_.capacity()) samples_.push_back({stripe, at});
  }
  void BeginPass() override {}
  void EndPass() override {}
  void AddFreeMeasure(MeasureRecord* record) override {}
  void NotifyButton(std::int32_t button) override {}

  bool WaitBegun(int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return begun_; });
  }
  std::vector<Sample> Samples() {
    std::lock_guard<std::mutex> lock(mutex_);
    return samples_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool begun_ = false;
  std::vector<Sample> samples_;
};

// CPU time of the whole process and its context switches, the voluntary ones being wake-ups.
struct Usage {
  Clock::time_point wall;
  double cpuMs;
  long switches;
};

Usage TakeUsage() {
  timespec cpu{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu);
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return {Clock::now(), cpu.tv_sec * 1e3 + cpu.tv_nsec / 1e6, usage.ru_nvcsw + usage.ru_nivcsw};
}

struct CpuFigure {
  double cpuMs;
  double windowMs;
  double switchesPerSecond;
};

CpuFigure Between(const Usage& from, const Usage& to) {
  double windowMs = Milliseconds(to.wall - from.wall);
  return {to.cpuMs - from.cpuMs, windowMs,
          static_cast<double>(to.switches - from.switches) * 1000.0 / windowMs};
}

struct LatencyFigure {
  int stripes;
  int records;
  int unmatched;  // records without a stripe sent (the pass's first record may come before one)
  double medianMs;
  double p99Ms;
  double maxMs;
};

double NearestRank(const std::vector<double>& sorted, double fraction) {
  if (sorted.empty()) return NAN;
  std::size_t rank = static_cast<std::size_t>(std::ceil(fraction * sorted.size()));
  return sorted[std::min(sorted.size(), std::max<std::size_t>(rank, 1)) - 1];
}

// Button mode 2 with the laser: a button press opens a pass, the plug-in switches the console's
// acquisition on, and stamped stripes stream at the rate until count have gone.
bool MeasureLatency(double rate, int count, LatencyFigure* figure) {
  std::vector<Clock::time_point> sent(static_cast<std::size_t>(count) + 2);
  LatencyFigure result{};
  {
    Session session;
    SimulatorOptions options;
    options.stripesPerSecond = rate;
    options.pointsPerStripe = kPointsPerStripe;
    options.stamped = true;
    options.streamOn = SimStreamOn::Acquire;
    options.onStripeSend = [&sent](int number) {
      if (number >= 0 && static_cast<std::size_t>(number) < sent.size())
        sent[number] = Clock::now();
    };
    TimingSink sink(static_cast<std::size_t>(count) + 100);
    if (!session.StartSimulator(options) || !session.Connect(2)) return false;
    if (!Session::Report(session.plugin.MeasureStart(&sink) == 0, "MeasureStart failed") ||
        !Session::Report(sink.WaitBegun(5000), "no BeginMeasure")) {
      return false;
    }
    platform::sleepMs(50);  // the thread arms its trigger in its first cycles
    if (!Session::Report(session.simulator->sendButton(1), "the button press failed")) return false;
    const int streamMs = static_cast<int>(count / rate * 1000.0);
    bool streamed = session.simulator->waitForStripes(count, streamMs + 10000);
    session.plugin.MeasureStop();
    session.plugin.Unload();
    session.simulator->stop();
    if (!Session::Report(streamed, "the stripes did not all go out")) return false;
    if (session.simulator->errorCount() != 0) {
      std::fprintf(stderr, "measure_bench: the simulator saw %d errors\n",
                   session.simulator->errorCount());
    }
    result.stripes = session.simulator->stripesSent();
    std::vector<double> latencies;
    for (const TimingSink::Sample& sample : sink.Samples()) {
      if (sample.stripe < 1 || static_cast<std::size_t>(sample.stripe) >= sent.size() ||
          sent[sample.stripe] == Clock::time_point()) {
        ++result.unmatched;
        continue;
      }
      latencies.push_back(Milliseconds(sample.at - sent[sample.stripe]));
    }
    std::sort(latencies.begin(), latencies.end());
    result.records = static_cast<int>(latencies.size());
    result.medianMs = NearestRank(latencies, 0.5);
    result.p99Ms = NearestRank(latencies, 0.99);
    result.maxMs = latencies.empty() ? NAN : latencies.back();
  }
  *figure = result;
  return true;
}

// Button mode 1 with the laser and a console that streams only once acquisition is switched on,
// which that mode never does: the measurement runs and no data comes. The console is a process
// of its own, so the process's CPU time is the plug-in's and this program's idle main thread.
bool MeasureIdleCpu(CpuFigure* figure) {
  Session session;
  TimingSink sink(16);
  if (!session.StartConsoleProgram({"--stream", "acquire"}) || !session.Connect(1)) return false;
  if (!Session::Report(session.plugin.MeasureStart(&sink) == 0, "MeasureStart failed") ||
      !Session::Report(sink.WaitBegun(5000), "no BeginMeasure")) {
    return false;
  }
  platform::sleepMs(kCpuSettleMs);
  Usage from = TakeUsage();
  platform::sleepMs(kCpuWindowMs);
  *figure = Between(from, TakeUsage());
  session.plugin.MeasureStop();
  return true;
}

// MeasureStart on a host thread of its own, against a console that reports scanning only
// kLateScanBeginMs after the scan start; the window lies inside the wait.
bool MeasureWaitingCpu(CpuFigure* figure) {
  Session session;
  const std::string script = session.File("late-scan-begin.txt");
  WriteWholeFile(script, std::to_string(kLateScanBeginMs) + " scan-begin\n");
  if (!session.StartConsoleProgram({"--no-scan-begin", "--script", script}) ||
      !session.Connect(1)) {
    return false;
  }
  TimingSink sink(16);
  std::atomic<bool> returned{false};
  std::int32_t result = -1;
  std::thread host([&] {
    result = session.plugin.MeasureStart(&sink);
    returned = true;
  });
  platform::sleepMs(kWaitWindowStartMs);
  Usage from = TakeUsage();
  platform::sleepMs(kCpuWindowMs);
  Usage to = TakeUsage();
  bool waitedThroughout = !returned;
  host.join();
  if (result == 0) session.plugin.MeasureStop();
  if (!Session::Report(waitedThroughout, "MeasureStart returned inside the window")) return false;
  *figure = Between(from, to);
  return true;
}

// The median of the rounds and their smallest and largest, as "median (low-high)".
std::string Rounds(std::vector<double> values, const char* format) {
  std::sort(values.begin(), values.end());
  char text[96];
  const std::string f = std::string(format) + " (" + format + "-" + format + ")";
  std::snprintf(text, sizeof text, f.c_str(), values[values.size() / 2], values.front(),
                values.back());
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  double scale = argc > 1 ? std::atof(argv[1]) : 1.0;
  int started = 0;
  static_cast<void>(platform::socketsStart(&started));

  const struct {
    double rate;
    int stripes;
  } cases[] = {{200, 2000}, {50, 750}};
  std::vector<double> medians[2], p99s[2];
  std::vector<double> idle, waiting;
  int stripes[2] = {};
  for (int round = 0; round < kRounds; ++round) {
    for (int i = 0; i < 2; ++i) {
      stripes[i] = std::max(20, static_cast<int>(cases[i].stripes * scale / kRounds));
      LatencyFigure figure{};
      if (!MeasureLatency(cases[i].rate, stripes[i], &figure)) return 1;
      medians[i].push_back(figure.medianMs);
      p99s[i].push_back(figure.p99Ms);
    }
    CpuFigure cpu{};
    if (!MeasureIdleCpu(&cpu)) return 1;
    idle.push_back(cpu.cpuMs * 100.0 / cpu.windowMs);
    if (!MeasureWaitingCpu(&cpu)) return 1;
    waiting.push_back(cpu.cpuMs * 100.0 / cpu.windowMs);
  }

  std::printf(
      "stripe sent to AddPassMeasure, button mode 2, %d points per stripe; %d rounds, each\n"
      "figure the median of the rounds (smallest-largest)\n",
      kPointsPerStripe, kRounds);
  std::printf("%-8s %8s %26s %26s\n", "str/s", "stripes", "median ms", "p99 ms");
  for (int i = 0; i < 2; ++i) {
    std::printf("%-8.0f %8d %26s %26s\n", cases[i].rate, stripes[i],
                Rounds(medians[i], "%.2f").c_str(), Rounds(p99s[i], "%.2f").c_str());
  }
  std::printf("target: median within 10 ms, p99 within 15 ms\n\n");
  std::printf("CPU of the plug-in's threads, %% of a core over %d ms windows\n", kCpuWindowMs);
  std::printf("  %-36s %s (target 1%%)\n", "a measurement runs without data",
              Rounds(idle, "%.2f").c_str());
  std::printf("  %-36s %s (target 2%%)\n", "MeasureStart waits for scanning",
              Rounds(waiting, "%.2f").c_str());
  return 0;
}
