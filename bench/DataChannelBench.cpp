// Data-channel throughput: full and short laser stripes streamed through the real data-channel
// thread and conversion into the scanner object, against two plain loopback receivers that only
// read the same bytes, in 8 KiB and in 256 KiB pieces: the median and spread of seven alternating
// rounds each. Then the longest the data thread's store of a stripe takes while a measurement
// runs whose host holds each record 20 ms, against one whose host returns at once (a slow host
// must not lengthen it), seven alternating rounds. All of it three times: with the capture off,
// on into a file, and on into a target that stalls (a FIFO, under Windows a named pipe, that
// nobody reads), each with the capture's counts and the time its stop took. Last, on Windows,
// the processor time of MeasureStart's wait with a quit in the host's queue.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "BenchData.h"
#include "HostFaults.h"
#include "StalledTarget.h"
#include "acquisition/AcquisitionThreads.h"
#include "capture/Capture.h"
#include "datachannel/DataChannel.h"
#include "platform/socket.h"
#include "platform/time.h"
#include "shell/KvtScan3DLumora.h"
#include "tools/console-sim/ConsoleSimulator.h"
#include "wire/WireRecords.h"

namespace {

using bench::Bytes;
using bench::Stripe;
constexpr std::uint16_t kPlainPort = 2102;

std::uint32_t Loopback() {
  std::uint32_t address = 0;
  static_cast<void>(platform::socketParseDotted("127.0.0.1", &address));
  return address;
}

platform::SocketHandle ConnectTo(std::uint16_t port) {
  for (int attempt = 0; attempt < 500; ++attempt) {
    platform::SocketHandle s = platform::socketOpenTcp();
    if (platform::socketConnect(s, Loopback(), port)) return s;
    platform::socketClose(s);
    platform::sleepMs(10);
  }
  std::fprintf(stderr, "cannot connect to port %u\n", port);
  std::exit(1);
}

bool SendAllBytes(platform::SocketHandle s, const unsigned char* data, std::size_t length) {
  while (length > 0) {
    int piece = length > (1 << 20) ? (1 << 20) : static_cast<int>(length);
    int sent = platform::socketSend(s, data, piece);
    if (sent <= 0) return false;
    data += sent;
    length -= static_cast<std::size_t>(sent);
  }
  return true;
}

struct Rate {
  double stripesPerSecond;
  double pointsPerSecond;
};

// Rounds alternate between what is compared: on a machine that others share, a round that
// another process slowed says little, and the median of seven says what is usual.
constexpr int kRounds = 7;

// The median of the rounds and their smallest and largest.
struct Spread {
  double median;
  double low;
  double high;
};

Spread Of(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return {values[values.size() / 2], values.front(), values.back()};
}

// moving: every other stripe a millimetre away, so that a running measurement has a record in
// every cycle.
Rate ThroughPlugin(int points, int stripes, bool moving = false) {
  Bytes here = Stripe(points, 10);
  Bytes there = Stripe(points, moving ? 11 : 10);
  platform::SocketHandle s = ConnectTo(DATA_PORT);
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < stripes; ++i) {
    const Bytes& stripe = i % 2 == 0 ? here : there;
    SendAllBytes(s, stripe.data(), stripe.size());
  }
  // The echo's answer comes after every stripe before it has been converted.
  unsigned char echo[4 + ECHO_PAYLOAD_SIZE] = {};
  PutInt32(echo, DATA_ECHO);
  SendAllBytes(s, echo, sizeof echo);
  unsigned char reply[4 + ECHO_REPLY_SIZE];
  int got = 0;
  while (got < static_cast<int>(sizeof reply)) {
    int n = platform::socketReceive(s, reply + got, static_cast<int>(sizeof reply) - got);
    if (n <= 0) break;
    got += n;
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  platform::socketClose(s);
  return {stripes / seconds, static_cast<double>(stripes) * points / seconds};
}

Rate ThroughPlainReceiver(int points, int stripes, std::size_t pieceBytes) {
  Bytes stripe = Stripe(points);
  platform::SocketHandle listener = platform::socketOpenTcp();
  if (!platform::socketBind(listener, Loopback(), kPlainPort) ||
      !platform::socketListen(listener, 1)) {
    std::fprintf(stderr, "cannot listen on port %u\n", kPlainPort);
    std::exit(1);
  }
  std::size_t total = stripe.size() * static_cast<std::size_t>(stripes);
  std::thread receiver([listener, total, pieceBytes] {
    platform::SocketHandle s = platform::socketAccept(listener);
    std::vector<unsigned char> piece(pieceBytes);
    std::size_t got = 0;
    while (got < total) {
      int n = platform::socketReceive(s, piece.data(), static_cast<int>(piece.size()));
      if (n <= 0) break;
      got += static_cast<std::size_t>(n);
    }
    platform::socketClose(s);
  });
  platform::SocketHandle s = ConnectTo(kPlainPort);
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < stripes; ++i) SendAllBytes(s, stripe.data(), stripe.size());
  receiver.join();
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  platform::socketClose(s);
  platform::socketClose(listener);
  return {stripes / seconds, static_cast<double>(stripes) * points / seconds};
}

// A host sink that spends a fixed time in each record call, as a host that draws every stripe
// before it returns.
class TimedSink : public bench::RecordSink {
 public:
  explicit TimedSink(unsigned recordMs) : recordMs_(recordMs) {}
  int records() const { return records_; }

 private:
  void Take(MeasureRecord* /*record*/) override {
    ++records_;
    if (recordMs_ > 0) platform::sleepMs(recordMs_);
  }
  unsigned recordMs_;
  std::atomic<int> records_{0};
};

// A measurement in button mode 1 with a pass open, so that every moved stripe is a record.
class Measurement {
 public:
  Measurement(KvtScan3DLumora& scanner, MeasureSink* sink) : run_(scanner.Parts(), sink) {
    MeasurementStore& store = scanner.Store();
    store.ClearTrigger();
    thread_ = platform::threadStart(AcquireToggled, &run_);
    platform::sleepMs(50);
    store.ButtonPressed(1);
  }
  ~Measurement() {
    run_.RequestStop();
    static_cast<void>(platform::threadWaitEnd(thread_, 5000));
    platform::threadRelease(thread_);
  }
  Measurement(const Measurement&) = delete;
  Measurement& operator=(const Measurement&) = delete;

 private:
  AcquisitionRun run_;
  platform::Thread* thread_ = nullptr;
};

// Stores stripes the way the data thread does, on this thread, while a host takes records: the
// longest store shows the longest wait for the measurement lock.
void StoreTimes(KvtScan3DLumora& scanner, int stripes, double* medianUs, double* longestUs) {
  Bytes stripe = Stripe(10000, 10);
  PoseHeader header = DecodePoseHeader(stripe.data() + 4);
  const unsigned char* block = stripe.data() + 4 + POSE_HEADER_SIZE + 4;
  PoseConversion conversion;
  std::vector<double> times;
  for (int i = 0; i < stripes; ++i) {
    header.x = i % 2 == 0 ? 10.0f : 11.0f;
    auto start = std::chrono::steady_clock::now();
    conversion.StoreLaserPoints(scanner.Store(), header, block);
    times.push_back(
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
            .count());
    platform::sleepMs(1);
  }
  std::sort(times.begin(), times.end());
  *medianUs = times[times.size() / 2];
  *longestUs = times.back();
}

// The data channel's figures with the capture as it is now.
void Figures(KvtScan3DLumora& scanner, double scale) {
  std::printf("%-18s %24s %20s %20s %6s\n", "stripe, rounds", "plug-in str/s (spread)",
              "8 KiB Mpts/s", "256 KiB Mpts/s", "ratio");
  const struct {
    int points;
    int stripes;
  } cases[] = {{10000, 4000}, {1280, 20000}};
  for (const auto& c : cases) {
    int stripes = static_cast<int>(c.stripes * scale / kRounds);
    if (stripes < 10) stripes = 10;
    std::vector<double> plugin, small, large;
    for (int round = 0; round < kRounds; ++round) {
      plugin.push_back(ThroughPlugin(c.points, stripes).stripesPerSecond);
      small.push_back(ThroughPlainReceiver(c.points, stripes, 8 << 10).pointsPerSecond);
      large.push_back(ThroughPlainReceiver(c.points, stripes, 256 << 10).pointsPerSecond);
    }
    const Spread p = Of(plugin), s8 = Of(small), s256 = Of(large);
    char label[32];
    std::snprintf(label, sizeof label, "%d, %dx%d", c.points, kRounds, stripes);
    std::printf("%-18s %7.0f (%6.0f-%6.0f) %6.1f (%5.1f-%5.1f) %6.1f (%5.1f-%5.1f) %6.2f\n", label,
                p.median, p.low, p.high, s8.median / 1e6, s8.low / 1e6, s8.high / 1e6,
                s256.median / 1e6, s256.low / 1e6, s256.high / 1e6,
                p.median * c.points / std::max(s8.median, s256.median));
  }

  // The slow host's rounds alternate with the instant host's.
  const int stores = std::max(10, static_cast<int>(500 * scale));
  std::vector<double> longest[2], median[2];
  for (int round = 0; round < kRounds; ++round) {
    for (int slow = 0; slow < 2; ++slow) {
      TimedSink sink(slow != 0 ? 20 : 0);
      Measurement measurement(scanner, &sink);
      double medianUs = 0, longestUs = 0;
      StoreTimes(scanner, stores, &medianUs, &longestUs);
      longest[slow].push_back(longestUs);
      median[slow].push_back(medianUs);
    }
  }
  std::printf(
      "Store of a 10000-point stripe while a measurement takes records (button mode 1, a pass\n"
      "open), %d rounds of %d stores: longest store, median of rounds (spread); median store\n",
      kRounds, stores);
  for (int slow = 0; slow < 2; ++slow) {
    const Spread l = Of(longest[slow]), m = Of(median[slow]);
    std::printf("  %-40s %6.0f us (%.0f-%.0f); %4.0f us\n",
                slow != 0 ? "host holds each record 20 ms:" : "host returns at once:", l.median,
                l.low, l.high, m.median);
  }
}

// Stops the capture and prints what it took and what it left out.
void StopCapture(KvtScan3DLumora& scanner) {
  InstallSocketTap(nullptr);
  const auto start = std::chrono::steady_clock::now();
  scanner.CaptureOfLoad().Stop(StopMode::kUnload);
  const double stopMs =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  const CaptureTotals totals = scanner.CaptureOfLoad().Counts();
  const double all = static_cast<double>(totals.packets + totals.droppedPackets);
  std::printf(
      "  capture: %llu packets queued, %llu left out (%.1f%%, %.1f MB); %.1f MB written, %.1f MB "
      "unwritten at the stop; the stop took %.0f ms\n",
      static_cast<unsigned long long>(totals.packets),
      static_cast<unsigned long long>(totals.droppedPackets),
      all > 0 ? 100.0 * static_cast<double>(totals.droppedPackets) / all : 0.0,
      static_cast<double>(totals.droppedBytes) / 1e6,
      static_cast<double>(totals.writtenBytes) / 1e6,
      static_cast<double>(totals.unwrittenBytes) / 1e6, stopMs);
}

// MeasureStart's wait for the console's scan with a quit in the host's queue (Windows: POSIX hosts
// have no queue): the waiting thread's processor time, which a wait that returned at once for the
// pending quit would make a whole core's.
void QuitPendingFigure(KvtScan3DLumora& scanner) {
  if (!PostQuitToHostQueue()) return;
  SimulatorOptions options;
  options.noScanBegin = true;
  ConsoleSimulator console(options);
  std::string error;
  if (!console.start(&error) || scanner.Connect(2) != 0) {
    std::fprintf(stderr, "no console for the quit's figure: %s\n", error.c_str());
    static_cast<void>(TakeQuitFromHostQueue());
    return;
  }
  constexpr int kWaitMs = 2000;
  auto scanBegins = std::async(std::launch::async, [&console] {
    platform::sleepMs(kWaitMs);
    return console.sendScanBegin();
  });
  TimedSink sink(0);
  const double cpuBefore = ThreadCpuMs();
  const auto start = std::chrono::steady_clock::now();
  const std::int32_t started = scanner.MeasureStart(&sink);
  const double ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  const double cpuMs = ThreadCpuMs() - cpuBefore;
  const bool began = scanBegins.get();
  const bool kept = TakeQuitFromHostQueue();
  if (started == 0) static_cast<void>(scanner.MeasureStop());
  std::printf(
      "\nMeasureStart's wait with a quit pending: %.0f ms of processor time in %.0f ms (%.1f%% of "
      "a core)%s%s\n",
      cpuMs, ms, 100.0 * cpuMs / ms, began && started == 0 ? "" : "; the start failed",
      kept ? "" : "; the quit was taken away");
  console.stop();
}

bool StartCapture(KvtScan3DLumora& scanner, const std::string& path) {
  CaptureSettings capture;
  capture.path = path;
  // No limit: a file that reached one would leave the rest of the run without a capture.
  capture.limitBytes = ~std::uint64_t{0};
  capture.comment = "data_channel_bench";
  return scanner.StartCapture(capture);
}

}  // namespace

// Usage: data_channel_bench [scale] [folder for the capture file, else the current folder]
int main(int argc, char** argv) {
  double scale = argc > 1 ? std::atof(argv[1]) : 1.0;
  const std::filesystem::path folder =
      argc > 2 ? std::filesystem::path(argv[2]) : std::filesystem::current_path();
  int started = 0;
  static_cast<void>(platform::socketsStart(&started));
  std::int32_t status = 0;
  auto scanner = std::make_unique<KvtScan3DLumora>(&status);
  scanner->Store().SetLaserActive(true);
  if (!scanner->Data().Start()) {
    std::fprintf(stderr, "cannot start the data-channel thread\n");
    return 1;
  }

  std::printf("Capture off:\n");
  Figures(*scanner, scale);

  const std::string file = (folder / "kvt-bench.pcapng").string();
  std::printf("\nCapture on, into a file named after %s:\n", file.c_str());
  if (!StartCapture(*scanner, file)) return 1;
  Figures(*scanner, scale);
  StopCapture(*scanner);
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    if (entry.path().filename().string().rfind("kvt-bench-", 0) == 0) {
      std::filesystem::remove(entry.path());
    }
  }

  const std::filesystem::path stalledFolder =
      std::filesystem::temp_directory_path() / ("kvt-bench-" + std::to_string(std::rand()));
  // A folder of that name is what a run stopped half-way left behind: its FIFO would be in the way.
  std::filesystem::remove_all(stalledFolder);
  std::filesystem::create_directories(stalledFolder);
  {
    StalledTarget target(stalledFolder.string());
    if (!target.ready()) {
      std::fprintf(stderr, "no stalled target: %s\n", target.error().c_str());
      return 1;
    }
    std::printf("\nCapture on, into %s, which nobody reads:\n", target.path().c_str());
    if (!StartCapture(*scanner, target.path())) return 1;
    Figures(*scanner, scale);
    StopCapture(*scanner);
  }
  std::filesystem::remove_all(stalledFolder);
  QuitPendingFigure(*scanner);
  scanner.reset();
  return 0;
}
