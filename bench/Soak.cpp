// A long run through the exports of the built plug-in: stamped laser stripes stream as fast as the
// plug-in reads them, measurements are started and stopped every few seconds and the link is
// reset every few measurements. At the end it prints what it checked and whether the process
// stayed flat: every record whole, every start matched by a stop, resident memory, descriptors
// and threads as they were after the first cycle. Exits non-zero when a check fails.
//
// Usage: soak [SECONDS] (default 600)
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>

#include "BenchSession.h"
#include "ProcessResources.h"
#include "platform/socket.h"
#include "shell/MeasureSink.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kPointsPerStripe = 1000;
constexpr int kMeasureMs = 2500;         // each measurement runs this long
constexpr int kPassMs = 1000;            // of which a pass (toggle on) takes this long
constexpr int kResetEvery = 4;           // measurements between two resets of the link
constexpr long kRssAllowanceKiB = 4096;  // what allocator caches may move by

// Checks each record in the call, as a host copying it would see it, and keeps only counts.
class CheckingSink : public MeasureSink {
 public:
  void OnButtonEvent2() override {}
  void OnButtonEvent4() override {}
  void BeginMeasure() override { ++begun; }
  void AddPassMeasure(MeasureRecord* record) override { Check(record); }
  void BeginPass() override { ++passes; }
  void EndPass() override {}
  void AddFreeMeasure(MeasureRecord* record) override { Check(record); }
  void NotifyButton(std::int32_t /*button*/) override {}

  std::atomic<long> begun{0};
  std::atomic<long> passes{0};
  std::atomic<long> records{0};
  std::atomic<long> torn{0};
  std::atomic<long> points{0};

 private:
  // A stamped stripe carries its number in the pose's x and in every point's x, and each point's
  // index in its y.
  void Check(const MeasureRecord* record) {
    ++records;
    bool whole = record->pointCount == kPointsPerStripe;
    for (int i = 0; whole && i < record->pointCount; ++i) {
      whole = record->points[3 * i] == record->position[0] &&
              record->points[3 * i + 1] == static_cast<double>(i);
    }
    if (!whole) ++torn;
    points += record->pointCount;
  }
};

long ProcStatusKiB(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  const std::string prefix = std::string(field) + ":";
  while (std::getline(status, line)) {
    if (line.compare(0, prefix.size(), prefix) == 0) return std::atol(line.c_str() + prefix.size());
  }
  return -1;
}

struct Footprint {
  long rssKiB;
  int descriptors;
  int threads;
};

Footprint TakeFootprint() {
  const ProcessResources counts = CountProcessResources();
  return {ProcStatusKiB("VmRSS"), counts.handles, counts.threads};
}

long CountWords(const std::vector<std::int32_t>& words, std::int32_t code) {
  return static_cast<long>(std::count(words.begin(), words.end(), code));
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 600.0;
  if (seconds <= 0) {
    std::fprintf(stderr, "usage: soak [SECONDS]\n");
    return 2;
  }
  int started = 0;
  static_cast<void>(platform::socketsStart(&started));

  bench::Session session;
  SimulatorOptions options;
  options.stripesPerSecond = 0;  // as fast as the plug-in reads
  options.pointsPerStripe = kPointsPerStripe;
  options.stamped = true;
  options.streamOn = SimStreamOn::Scan;
  if (!session.StartSimulator(options, static_cast<int>(seconds) + 600) || !session.Connect(1)) {
    return 1;
  }
  ConsoleSimulator& console = *session.simulator;

  CheckingSink sink;
  long measurements = 0, startsAccepted = 0, stopsAccepted = 0, resets = 0, failures = 0;
  Footprint first{}, peak{}, last{};
  const Clock::time_point begin = Clock::now();
  const Clock::time_point end = begin + std::chrono::milliseconds(static_cast<long>(seconds * 1e3));
  while (Clock::now() < end) {
    std::int32_t result = session.plugin.MeasureStart(&sink);
    ++measurements;
    if (result == 0) {
      ++startsAccepted;
      std::this_thread::sleep_for(std::chrono::milliseconds(kMeasureMs - kPassMs));
      console.sendButton(1);  // a pass while the toggle is on
      std::this_thread::sleep_for(std::chrono::milliseconds(kPassMs));
      console.sendButton(1);
      if (session.plugin.MeasureStop() == 0) ++stopsAccepted;
    } else {
      ++failures;
      std::fprintf(stderr, "soak: MeasureStart returned %d\n", result);
    }
    if (measurements % kResetEvery == 0) {
      session.plugin.Reset();
      ++resets;
      if (session.plugin.IsConnected() != 1) {
        ++failures;
        std::fprintf(stderr, "soak: not connected after a reset\n");
        session.plugin.Connect(1);
      }
    }
    last = TakeFootprint();
    if (measurements == 1) first = last;
    peak.rssKiB = std::max(peak.rssKiB, last.rssKiB);
    peak.descriptors = std::max(peak.descriptors, last.descriptors);
    peak.threads = std::max(peak.threads, last.threads);
  }
  const double elapsed = std::chrono::duration<double>(Clock::now() - begin).count();
  const std::vector<std::int32_t> words = console.commandWords();
  const long scanStarts = CountWords(words, CMD_SCAN_START);
  const long scanStops = CountWords(words, CMD_SCAN_STOP);
  const int stripes = console.stripesSent();

  const bool recordsWhole = sink.torn == 0 && sink.records > 0;
  const bool startsMatched = startsAccepted == stopsAccepted && sink.begun == startsAccepted &&
                             scanStarts == scanStops && scanStarts >= startsAccepted;
  const bool memoryFlat = last.rssKiB - first.rssKiB <= kRssAllowanceKiB;
  const bool handlesFlat = last.descriptors <= first.descriptors && last.threads <= first.threads;
  const bool consoleContent = console.errorCount() == 0;

  std::printf("soak: %.0f s, %ld measurements (%ld passes), %ld link resets\n", elapsed,
              measurements, sink.passes.load(), resets);
  std::printf("stripes sent %d (%.0f a second, %d points each), records checked %ld, torn %ld\n",
              stripes, stripes / elapsed, kPointsPerStripe, sink.records.load(), sink.torn.load());
  std::printf(
      "starts accepted %ld, stops accepted %ld, BeginMeasure %ld; console saw %ld scan "
      "starts, %ld scan stops\n",
      startsAccepted, stopsAccepted, sink.begun.load(), scanStarts, scanStops);
  std::printf("resident memory KiB: after the first cycle %ld, at the end %ld, peak %ld\n",
              first.rssKiB, last.rssKiB, peak.rssKiB);
  std::printf("descriptors: %d then %d (peak %d); threads: %d then %d (peak %d)\n",
              first.descriptors, last.descriptors, peak.descriptors, first.threads, last.threads,
              peak.threads);
  std::printf("console's complaints about the plug-in's answers: %d\n", console.errorCount());
  std::printf(
      "records whole: %s; starts matched by stops: %s; memory flat: %s; descriptors and "
      "threads flat: %s; other failures: %ld\n",
      recordsWhole ? "yes" : "NO", startsMatched ? "yes" : "NO", memoryFlat ? "yes" : "NO",
      handlesFlat ? "yes" : "NO", failures);
  return recordsWhole && startsMatched && memoryFlat && handlesFlat && consoleContent &&
                 failures == 0
             ? 0
             : 1;
}
