// A host whose sink blocks, stops and starts measurements from inside its own calls, loads the
// plug-in again, or is closing with a quit in its queue: none of it may hang the host, leave a
// second thread calling it, or call a sink after its MeasureStop has returned.
#include <algorithm>
#include <atomic>

#include "E2eFixture.h"
#include "EventSink.h"
#include "HostFaults.h"
#include "platform/thread.h"

namespace {

using HostSafetyTest = E2eTest;

SimulatorOptions FastStream() {
  SimulatorOptions options;
  options.stripesPerSecond = 200;
  options.pointsPerStripe = 300;
  return options;
}

// Holds the calling thread until released or for at most timeoutMs, holding nothing else: as a
// host's record call that waits for its own window thread.
class Blocker {
 public:
  void Block(int timeoutMs) {
    entered_ = true;
    for (int waited = 0; !released_ && waited < timeoutMs; waited += 5) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  void Release() { released_ = true; }
  bool entered() const { return entered_; }

 private:
  std::atomic<bool> entered_{false};
  std::atomic<bool> released_{false};
};

TEST_F(HostSafetyTest, SinkBlockedPastTheStopBoundCostsTheNextMeasurementNothing) {
  EventSink& sink = NewSink();
  ASSERT_NO_FATAL_FAILURE(StartStreamingMeasurement(FastStream(), 1, sink));
  // The measurement itself stays out of the way of the data channel while the host blocks.
  Blocker blocker;
  sink.OnNext("AddPassMeasure", [&] { blocker.Block(20000); });
  ASSERT_TRUE(sim_->sendButton(1));  // opens a pass, whose first record comes at once
  ASSERT_TRUE(sim_->waitUntil([&] { return blocker.entered(); }, 5000));
  // More than the sockets' buffers hold: the data channel reads on while the host blocks.
  int stripes = sim_->stripesSent();
  EXPECT_TRUE(sim_->waitForStripes(stripes + 400, 10000))
      << "the data channel waited for the host's record call";

  std::int32_t stopped = -1;
  std::uint32_t ms = Timed([&] { stopped = plugin_.MeasureStop(); });
  EXPECT_EQ(stopped, 0);
  EXPECT_LE(ms, 10000u) << "the stop waits 2.5 s for the thread, not for the host";
  std::size_t calls = sink.Events().size();

  // A new measurement records, commands are answered and the link resets, all while the old
  // thread may still be inside the host (POSIX, where it cannot be ended by force).
  EventSink& next = NewSink();
  ASSERT_EQ(plugin_.MeasureStart(&next), 0);
  EXPECT_TRUE(next.WaitFor("AddFreeMeasure"));
  EXPECT_EQ(plugin_.MeasureStop(), 0);
  std::int32_t type = -1, kind = -1;
  double radius = -1;
  EXPECT_EQ(plugin_.SensorGet(&type, &radius, &kind), 0);
  EXPECT_EQ(plugin_.Reset(), 0);
  blocker.Release();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(sink.Events().size(), calls) << "the stopped sink was called again";
  UnloadWithin(10000);
}

TEST_F(HostSafetyTest, MeasureStopFromARecordCallReturnsWithinItsNormalBounds) {
  EventSink& sink = NewSink();
  std::atomic<std::int32_t> stopped{-1};
  std::atomic<std::uint32_t> stopMs{0};
  std::atomic<std::size_t> callsAtReturn{0};
  ASSERT_NO_FATAL_FAILURE(StartStreamingMeasurement(FastStream(), 1, sink));
  sink.OnNext("AddPassMeasure", [&] {
    stopMs = Timed([&] { stopped = plugin_.MeasureStop(); });
    callsAtReturn = sink.Events().size();
  });
  ASSERT_TRUE(sim_->sendButton(1));
  ASSERT_TRUE(sim_->waitUntil([&] { return stopped != -1; }, 35000));
  EXPECT_EQ(stopped, 0);
  EXPECT_LE(stopMs, 5000u) << "the scan end was not read while the host held its record";
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(sink.Events().size(), callsAtReturn) << "a sink call after MeasureStop returned";
  EXPECT_EQ(plugin_.MeasureStop(), 1);
  UnloadWithin(10000);
}

TEST_F(HostSafetyTest, StopFromInsideACycleEndsThatCycle) {
  // Button mode 0: a trigger opens a pass and adds its record in the same cycle. A stop from
  // BeginPass ends the cycle there.
  EventSink& sink = NewSink();
  std::atomic<std::int32_t> stopped{-1};
  ASSERT_NO_FATAL_FAILURE(StartStreamingMeasurement(FastStream(), 0, sink));
  sink.OnNext("BeginPass", [&] { stopped = plugin_.MeasureStop(); });
  ASSERT_TRUE(sim_->sendButton(1));
  ASSERT_TRUE(sim_->waitUntil([&] { return stopped != -1; }, 35000));
  EXPECT_EQ(stopped, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  std::vector<std::string> events = sink.Events();
  EXPECT_EQ(events.back(), "BeginPass");
  EXPECT_EQ(sink.Count("AddPassMeasure"), 0);
  UnloadWithin(10000);
}

TEST_F(HostSafetyTest, StopThenStartFromTheSinkLeavesOneThreadOnTheNewSink) {
  EventSink& sink = NewSink();
  EventSink& next = NewSink();
  std::atomic<std::int32_t> stopped{-1}, started{-1};
  std::atomic<std::size_t> callsAtRestart{0};
  std::atomic<std::uint32_t> restartMs{0};
  ASSERT_NO_FATAL_FAILURE(StartStreamingMeasurement(FastStream(), 1, sink));
  sink.OnNext("AddPassMeasure", [&] {
    restartMs = Timed([&] {
      stopped = plugin_.MeasureStop();
      started = plugin_.MeasureStart(&next);
    });
    callsAtRestart = sink.Events().size();
  });
  ASSERT_TRUE(sim_->sendButton(1));
  ASSERT_TRUE(sim_->waitUntil([&] { return started != -1; }, 35000));
  EXPECT_EQ(stopped, 0);
  ASSERT_EQ(started, 0);
  EXPECT_LT(restartMs, 2000u) << "the thread waited for itself";
  ASSERT_TRUE(next.WaitFor("BeginMeasure"));
  ASSERT_TRUE(next.WaitFor("AddFreeMeasure"));
  ASSERT_TRUE(sim_->sendButton(1));
  EXPECT_TRUE(next.WaitFor("AddPassMeasure"));
  EXPECT_EQ(next.Count("BeginMeasure"), 1);
  EXPECT_EQ(sink.Events().size(), callsAtRestart) << "the old thread went on";
  // The host's stop ends the new measurement; nothing is left running to stop.
  EXPECT_EQ(plugin_.MeasureStop(), 0);
  EXPECT_EQ(plugin_.MeasureStop(), 1);
  std::size_t nextCalls = next.Events().size();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(next.Events().size(), nextCalls);
  UnloadWithin(10000);
}

TEST_F(HostSafetyTest, NoSinkCallBeginsAfterTheHostsStopReturns) {
  for (int mode : {0, 1, 2}) {
    SCOPED_TRACE("button mode " + std::to_string(mode));
    EventSink& sink = NewSink();
    if (mode == 0) {
      ASSERT_NO_FATAL_FAILURE(StartStreamingMeasurement(FastStream(), mode, sink));
    } else {
      plugin_.ButtonModeSet(mode);
      ASSERT_EQ(plugin_.MeasureStart(&sink), 0);
      ASSERT_TRUE(sink.WaitFor("BeginMeasure"));
    }
    // Passes open and close while the stop comes: every kind of call is under way.
    ASSERT_TRUE(sim_->sendButton(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(plugin_.MeasureStop(), 0);
    std::size_t calls = sink.Events().size();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(sink.Events().size(), calls);
  }
  UnloadWithin(10000);
}

TEST_F(HostSafetyTest, LoadingAgainAfterAnUnloadWhileStreamingFindsTheDataPortFree) {
  EventSink& sink = NewSink();
  ASSERT_NO_FATAL_FAILURE(StartStreamingMeasurement(FastStream(), 1, sink));
  UnloadWithin(15000);
  Load();
  ASSERT_EQ(plugin_.Connect(1), 0);
  plugin_.SensorSet(2);
  EventSink& next = NewSink();
  ASSERT_EQ(plugin_.MeasureStart(&next), 0);
  EXPECT_TRUE(next.WaitFor("AddFreeMeasure")) << "no data connection after loading again";
  EXPECT_EQ(plugin_.MeasureStop(), 0);
  UnloadWithin(10000);
}

TEST_F(HostSafetyTest, PendingQuitKeepsTheStartsWaitAWait) {
  SimulatorOptions options;
  options.noScanBegin = true;
  LoadConnected(options);
  if (!PostQuitToHostQueue()) GTEST_SKIP() << "no message queue on this platform";
  // The scan begins two seconds into the start's wait.
  auto scanBegins = std::async(std::launch::async, [this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(2000));
    return sim_->sendScanBegin();
  });
  EventSink& sink = NewSink();
  double cpuBefore = ThreadCpuMs();
  std::int32_t started = -1;
  std::uint32_t ms = Timed([&] { started = plugin_.MeasureStart(&sink); });
  double cpuMs = ThreadCpuMs() - cpuBefore;
  EXPECT_TRUE(scanBegins.get());
  EXPECT_EQ(started, 0);
  ASSERT_GE(ms, 1500u);
  std::printf("MeasureStart waited %u ms with a quit pending, using %.0f ms of processor time\n",
              static_cast<unsigned>(ms), cpuMs);
  // A wait that returns at once for the pending quit would use the whole core.
  EXPECT_LT(cpuMs, 0.25 * ms);
  EXPECT_TRUE(TakeQuitFromHostQueue()) << "the host's quit was taken away";
  EXPECT_EQ(plugin_.MeasureStop(), 0);
  UnloadWithin(10000);
}

// A sink that resets the link while the console takes its time over the new handshake is inside
// the library: the host's stop waits for it instead of ending it by force, and every call then
// works within its bounds. Ended by force there, it would leave the command channel's lock and
// the one connection sequence owned by a dead thread.
TEST_F(HostSafetyTest, SinkBackInTheLibraryIsNeverEndedByForce) {
  EventSink& sink = NewSink();
  ASSERT_NO_FATAL_FAILURE(StartStreamingMeasurement(FastStream(), 1, sink));
  sim_->holdReply(HeldReply{CMD_HANDSHAKE_A, 6000, 1});
  std::atomic<bool> inReset{false}, resetDone{false};
  sink.OnNext("AddFreeMeasure", [&] {
    inReset = true;
    plugin_.Reset();
    resetDone = true;
  });
  ASSERT_TRUE(sim_->waitUntil([&] { return inReset.load(); }, 5000));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  std::int32_t stopped = -1;
  EXPECT_LE(Timed([&] { stopped = plugin_.MeasureStop(); }), 12000u);
  EXPECT_EQ(stopped, 0);
  EXPECT_TRUE(sim_->waitUntil([&] { return resetDone.load(); }, 20000))
      << "the sink's call into the library never returned";
  EXPECT_LE(Timed([&] { plugin_.SoundSet(1); }), 11000u);
  EXPECT_EQ(plugin_.Connect(1), 0);
  EXPECT_EQ(plugin_.IsConnected(), 1);
  EventSink& next = NewSink();
  ASSERT_EQ(plugin_.MeasureStart(&next), 0);
  EXPECT_TRUE(next.WaitFor("AddFreeMeasure"));
  EXPECT_EQ(plugin_.MeasureStop(), 0);
  EXPECT_LE(Timed([&] { UnloadWithin(5000); }), 5000u);
}

// A sink that hands work to the host's window thread with a synchronous window message while
// that thread waits in MeasureStop for the acquisition thread: the wait dispatches, the message
// is answered, and the thread ends on its own.
TEST_F(HostSafetyTest, SinkSendingToTheHostsWindowDuringTheStopIsAnswered) {
  void* window = HostWindowOfThisThread();
  if (window == nullptr) GTEST_SKIP() << "no host windows on this platform";
  EventSink& sink = NewSink();
  ASSERT_NO_FATAL_FAILURE(StartStreamingMeasurement(FastStream(), 1, sink));
  std::atomic<bool> sending{false}, answered{false};
  sink.OnNext("AddFreeMeasure", [&] {
    sending = true;
    // Past the console's end of scanning and the data channel's pause after it: the host's
    // thread is in the wait for this thread by then.
    sim_->waitUntil([&] { return !sim_->streaming(); }, 10000);
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    SendToHostWindow(window, [&] { answered = true; });
  });
  ASSERT_TRUE(sim_->waitUntil([&] { return sending.load(); }, 5000));
  std::int32_t stopped = -1;
  std::uint32_t ms = Timed([&] { stopped = plugin_.MeasureStop(); });
  EXPECT_EQ(stopped, 0);
  EXPECT_TRUE(answered);
  EXPECT_LT(ms, 1500u) << "the stop waited for a thread that waited for it";
  EXPECT_EQ(sink.Count("EndPass"), 0);
  UnloadWithin(10000);
}

// An unload while a sink blocks for nine seconds never leaves that call to return into a library
// that is gone: the thread is ended inside the host's code where the platform can, and where it
// cannot, the unload waits for the host's own call to return.
TEST_F(HostSafetyTest, UnloadWhileASinkBlocksNeverLeavesItToReturnIntoNothing) {
  EventSink& sink = NewSink();
  ASSERT_NO_FATAL_FAILURE(StartStreamingMeasurement(FastStream(), 1, sink));
  Blocker blocker;
  std::atomic<bool> returned{false};
  sink.OnNext("AddFreeMeasure", [&] {
    blocker.Block(9000);
    returned = true;
  });
  ASSERT_TRUE(sim_->waitUntil([&] { return blocker.entered(); }, 5000));
  std::uint32_t ms = Timed([&] { UnloadWithin(15000); });
  if (platform::threadTerminateAvailable()) {
    EXPECT_LT(ms, 8000u) << "the thread inside the host's call was not ended";
  } else {
    EXPECT_TRUE(returned) << "the unload ended before the host's call returned";
  }
  // The process is whole after the call's return, or after its end by force.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
}

// An unload while a recovery on the acquisition thread waits in a handshake for a console that
// does not answer: the unload cuts that wait short instead of waiting it out.
TEST_F(HostSafetyTest, UnloadCutsARecoveryThatWaitsForTheConsole) {
  SimulatorOptions options = FastStream();
  options.cutReplies.push_back(CMD_PROBE_QUERY);
  EventSink& sink = NewSink();
  ASSERT_NO_FATAL_FAILURE(StartStreamingMeasurement(options, 2, sink));
  SensorEntry entries[3];
  std::int32_t count = 0;
  plugin_.SensorGetList(entries, 0, &count);
  ASSERT_EQ(plugin_.IsConnected(), 0);
  sim_->holdReply(HeldReply{CMD_HANDSHAKE_A, 600000, -1});
  std::size_t before = sim_->commandWords().size();
  ASSERT_TRUE(sim_->sendButton(1));
  ASSERT_TRUE(sim_->waitUntil(
      [&] {
        Words words = sim_->commandWords();
        return std::find(words.begin() + static_cast<long>(before), words.end(), CMD_HANDSHAKE_A) !=
               words.end();
      },
      5000))
      << "no recovery on the acquisition thread";
  EXPECT_LE(Timed([&] { UnloadWithin(5000); }), 1000u);
  EXPECT_EQ(Starts(), "") << "a program was started although both run";
}

}  // namespace

// A sink that stops its measurement and starts another while the host unloads the plug-in: the
// start's wait for the console ends with the unload, and no thread is left to run on in the
// unloaded library. (It started one, which then called the new sink from unmapped code.)
TEST_F(HostSafetyTest, StartFromASinkDuringTheUnloadLeavesNoThread) {
  EventSink& sink = NewSink();
  EventSink& next = NewSink();
  ASSERT_NO_FATAL_FAILURE(StartStreamingMeasurement(FastStream(), 1, sink));
  std::atomic<bool> starting{false};
  std::atomic<std::int32_t> started{-1};
  sink.OnNext("AddFreeMeasure", [&] {
    plugin_.MeasureStop();
    // The scan begins a second after the start asks for it, well into the unload.
    sim_->holdReply(HeldReply{CMD_SCAN_START, 1000, 1});
    starting = true;
    started = plugin_.MeasureStart(&next);
  });
  ASSERT_TRUE(sim_->waitUntil([&] { return starting.load(); }, 10000));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  UnloadWithin(20000);
  EXPECT_EQ(started, 2);
  EXPECT_TRUE(next.Events().empty());
}
