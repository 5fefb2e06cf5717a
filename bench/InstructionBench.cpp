// Instruction counts of the data path, for valgrind's cachegrind (scripts/bench runs it): counts
// of instructions do not depend on what else the machine does, so a change of a few per cent
// shows where wall-clock times on a shared machine do not. Each figure is the difference of two
// runs that differ only in how much work they do, so that start-up and teardown drop out:
//
//   instruction_bench data POINTS STRIPES   the plug-in's receive, conversion and store of
//       STRIPES laser stripes of POINTS points, sent by a child process (whose instructions are
//       counted apart) through a socket pair into the data channel's connection loop; each
//       stripe is followed by an echo, and the next is sent once the echo's answer is back
//   instruction_bench widen POINTS REPEATS  a plain loop that widens the same points from float
//       to double REPEATS times: the floor for that work
//   instruction_bench cycle POINTS RECORDS  acquisition cycles that each hand a record of POINTS
//       points to a sink that returns at once, until RECORDS have been handed
//
// Prints "pid N" first: cachegrind's file for this process is the one named after it.
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "BenchData.h"
#include "acquisition/AcquisitionThreads.h"
#include "datachannel/DataChannel.h"
#include "datachannel/MeasurementStore.h"
#include "link/ConsoleLink.h"
#include "link/ScannerSettings.h"
#include "platform/thread.h"
#include "wire/WireRecords.h"

namespace {

using bench::Bytes;
using bench::Stripe;

bool WriteAll(int fd, const unsigned char* data, std::size_t length) {
  while (length > 0) {
    const ssize_t written = ::write(fd, data, length);
    if (written <= 0) return false;
    data += written;
    length -= static_cast<std::size_t>(written);
  }
  return true;
}

int Data(int points, int stripes) {
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) return 1;
  // A stripe and its echo, as one piece: the plug-in's read brings all of it at once (below), so
  // that every run reads the stream in the same pieces.
  Bytes message = Stripe(points);
  const std::size_t echoAt = message.size();
  message.resize(echoAt + 4 + ECHO_PAYLOAD_SIZE);
  PutInt32(message.data() + echoAt, DATA_ECHO);
  const pid_t writer = ::fork();
  if (writer == 0) {
    ::close(pair[0]);
    unsigned char answer[4 + ECHO_REPLY_SIZE];
    for (int i = 0; i < stripes; ++i) {
      if (!WriteAll(pair[1], message.data(), message.size())) ::_exit(1);
      for (std::size_t got = 0; got < sizeof answer;) {
        const ssize_t n = ::read(pair[1], answer + got, sizeof answer - got);
        if (n <= 0) ::_exit(1);
        got += static_cast<std::size_t>(n);
      }
    }
    ::_exit(0);
  }
  ::close(pair[1]);
  // A receive returns once a whole stripe and its echo are there (or the writer has closed).
  const int whole = static_cast<int>(message.size());
  if (::setsockopt(pair[0], SOL_SOCKET, SO_RCVLOWAT, &whole, sizeof whole) != 0) return 1;
  auto store = std::make_unique<MeasurementStore>();
  store->SetLaserActive(true);
  auto state = std::make_unique<DataChannelState>();
  Lifecycle lifecycle;
  DataChannel channel(lifecycle, *store);
  // Returns when the writer has closed its end.
  channel.Serve(pair[0], *state);
  ::close(pair[0]);
  int status = 0;
  ::waitpid(writer, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}

int Widen(int points, int repeats) {
  const Bytes stripe = Stripe(points);
  const unsigned char* block = stripe.data() + 4 + POSE_HEADER_SIZE + 4;
  std::vector<double> out(3 * static_cast<std::size_t>(points));
  for (int r = 0; r < repeats; ++r) {
    for (int i = 0; i < 3 * points; ++i) {
      float value;
      std::memcpy(&value, block + 4 * i, sizeof value);
      out[static_cast<std::size_t>(i)] = value;
    }
    // Each round's result counts: the compiler may not fold the rounds into one.
    asm volatile("" : : "r"(out.data()) : "memory");
  }
  return out[1] == 1.0 ? 0 : 1;
}

// Counts records and wakes the main thread at the last one, without polling. The last call
// returns only once the main thread has asked the thread to stop: the thread then ends the same
// way in every run.
class CountingSink : public bench::RecordSink {
 public:
  explicit CountingSink(int wanted) : wanted_(wanted) {}
  void WaitAll() {
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [this] { return records_ >= wanted_; });
  }
  void Release() {
    std::lock_guard<std::mutex> lock(mutex_);
    released_ = true;
    done_.notify_all();
  }

 private:
  void Take(MeasureRecord* /*record*/) override {
    std::unique_lock<std::mutex> lock(mutex_);
    if (++records_ != wanted_) return;
    done_.notify_all();
    done_.wait(lock, [this] { return released_; });
  }
  const int wanted_;
  std::mutex mutex_;
  std::condition_variable done_;
  int records_ = 0;
  bool released_ = false;
};

int Cycle(int points, int records) {
  Lifecycle lifecycle;
  ScannerSettings settings;
  auto store = std::make_unique<MeasurementStore>();
  DataChannel data(lifecycle, *store);
  ConsoleLink link(lifecycle, settings, *store, data);
  AcquisitionParts parts{lifecycle, *store, settings, link};
  store->SetLaserActive(false);
  {
    // A pose whose x is NaN lies within no threshold of anything: every cycle hands its record.
    MeasurementStore::Message message(*store);
    message.position()[0] = std::numeric_limits<double>::quiet_NaN();
    message.setPointCount(points);
    for (int i = 0; i < 3 * points; ++i) message.points()[i] = i;
  }
  store->Publish();
  CountingSink sink(records);
  AcquisitionRun run(parts, &sink);
  // Started as a measurement starts it: the run has its thread before the thread runs.
  LibraryThread* thread =
      lifecycle.StartThread(AcquireToggled, &run, platform::ThreadStart::kSuspended);
  if (thread == nullptr) return 1;
  run.SetThread(thread);
  lifecycle.ResumeThread(thread);
  sink.WaitAll();
  run.RequestStop();
  sink.Release();
  const bool ended = lifecycle.WaitThreadEnd(thread, 5000, platform::WaitPause::kSleep);
  lifecycle.ReleaseThread(thread);
  return ended ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: instruction_bench data|widen|cycle POINTS COUNT\n");
    return 2;
  }
  const std::string what = argv[1];
  const int points = std::atoi(argv[2]);
  const int count = std::atoi(argv[3]);
  if (points < 1 || points > MAX_BLOCK_POINTS || count < 1) return 2;
  std::printf("pid %d\n", static_cast<int>(::getpid()));
  std::fflush(stdout);
  if (what == "data") return Data(points, count);
  if (what == "widen") return Widen(points, count);
  if (what == "cycle") return Cycle(points, count);
  return 2;
}
