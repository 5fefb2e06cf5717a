// A host whose sink blocks, stops and starts measurements from inside its own calls, loads the
// plug-in again, or is closing with a quit in its queue: none of it may hang the host, leave a
// second thread calling it, or call a sink after its MeasureStop has returned.
#include <algorithm>
#include <atomic>

#include "E2eFixture.h"
#include "EventSink.h"
#include "ExportBounds.h"
#include "HostFaults.h"
#include "SinkGate.h"
#include "platform/thread.h"

namespace {

using HostSafetyTest = E2eTest;

SimulatorOptions FastStream() {
  SimulatorOptions options;
  options.stripesPerSecond = 200;
  options.pointsPerStripe = 300;
  return options;
}

TEST_F(HostSafetyTest, SinkBlockedPastTheStopBoundCostsTheNextMeasurementNothing) {
  EventSink& sink = NewSink();
  ASSERT_NO_FATAL_FAILURE(StartStreamingMeasurement(FastStream(), 1, sink));
  // The measurement itself stays out of the way of the data channel while the host blocks.
  SinkGate gate;
  sink.OnNext("AddPassMeasure", [&] { gate.Hold(20000); });
  ASSERT_TRUE(sim_->sendButton(1));  // opens a pass, whose first record comes at once
  ASSERT_TRUE(gate.WaitHeld(5000));
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
  gate.Release();
  // The unload waits for every thread of the library: after it, none can call.
  UnloadWithin(10000);
  EXPECT_EQ(sink.Events().size(), calls) << "the stopped sink was called again";
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
  EXPECT_EQ(plugin_.MeasureStop(), 1);
  UnloadWithin(10000);
  EXPECT_EQ(sink.Events().size(), callsAtReturn) << "a sink call after MeasureStop returned";
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
  UnloadWithin(10000);
  std::vector<std::string> events = sink.Events();
  EXPECT_EQ(events.back(), "BeginPass");
  EXPECT_EQ(sink.Count("AddPassMeasure"), 0);
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
  EXPECT_LT(restartMs, THREAD_END_MS) << "the thread waited for itself";
  ASSERT_TRUE(next.WaitFor("BeginMeasure"));
  ASSERT_TRUE(next.WaitFor("AddFreeMeasure"));
  ASSERT_TRUE(sim_->sendButton(1));
  EXPECT_TRUE(next.WaitFor("AddPassMeasure"));
  EXPECT_EQ(next.Count("BeginMeasure"), 1);
  // The host's stop ends the new measurement; nothing is left running to stop.
  EXPECT_EQ(plugin_.MeasureStop(), 0);
  EXPECT_EQ(plugin_.MeasureStop(), 1);
  std::size_t nextCalls = next.Events().size();
  UnloadWithin(10000);
  EXPECT_EQ(sink.Events().size(), callsAtRestart) << "the old thread went on";
  EXPECT_EQ(next.Events().size(), nextCalls);
}

TEST_F(HostSafetyTest, NoSinkCallBeginsAfterTheHostsStopReturns) {
  std::vector<std::pair<EventSink*, std::size_t>> stopped;
  for (int mode : {0, 1, 2}) {
    SCOPED_TRACE("button mode " + std::to_string(mode));
    EventSink& sink = NewSink();
    if (mode == 0) {
      ASSERT_NO_FATAL_FAILURE(StartStreamingMeasurement(FastStream(), mode, sink));
    } else {
      plugin_.ButtonModeSet(mode);
      ASSERT_EQ(plugin_.MeasureStart(&sink), 0);
      // A free record: the thread has cleared its trigger (and in button mode 2 armed it).
      ASSERT_TRUE(sink.WaitFor("AddFreeMeasure"));
    }
    // The stop comes while a pass runs: every kind of call is under way.
    ASSERT_TRUE(sim_->sendButton(1));
    ASSERT_TRUE(sink.WaitFor("BeginPass"));
    ASSERT_EQ(plugin_.MeasureStop(), 0);
    stopped.emplace_back(&sink, sink.Events().size());
  }
  // The unload waits for every thread of the library: after it, none can call.
  UnloadWithin(10000);
  for (const auto& [sink, calls] : stopped) EXPECT_EQ(sink->Events().size(), calls);
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
  // The scan begins once the start waits for it (its processor time meanwhile is a figure of
  // data_channel_bench).
  const std::size_t before = sim_->commandWords().size();
  auto scanBegins = std::async(std::launch::async, [this, before] {
    return WaitForWord(before, CMD_SCAN_START, 10000) && sim_->sendScanBegin();
  });
  EventSink& sink = NewSink();
  EXPECT_EQ(plugin_.MeasureStart(&sink), 0) << "the start's wait ended before the scan began";
  EXPECT_TRUE(scanBegins.get());
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
  std::atomic<bool> resetDone{false};
  const std::size_t before = sim_->commandWords().size();
  sink.OnNext("AddFreeMeasure", [&] {
    plugin_.Reset();
    resetDone = true;
  });
  // The console holds its answer to the new handshake's first question: the sink is inside.
  ASSERT_TRUE(WaitForWord(before, CMD_HANDSHAKE_A, 5000)) << "the sink's Reset never began";
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
  std::atomic<bool> sending{false}, answered{false}, returned{false};
  sink.OnNext("AddFreeMeasure", [&] {
    sending = true;
    // The plug-in closes the data connection after the console's end of scanning and the pause
    // after it: the host's thread has left the wait for the scan's end and waits for this one.
    static_cast<void>(sim_->waitUntil([&] { return !sim_->dataConnected(); }, 20000));
    SendToHostWindow(window, [&] { answered = true; });
    returned = true;
  });
  ASSERT_TRUE(sim_->waitUntil([&] { return sending.load(); }, 5000));
  EXPECT_EQ(plugin_.MeasureStop(), 0);
  EXPECT_TRUE(answered);
  // Ended by force, the thread would never have returned from the host's call.
  EXPECT_TRUE(returned) << "the stop waited for a thread that waited for it";
  EXPECT_EQ(sink.Count("EndPass"), 0);
  UnloadWithin(10000);
}

// An unload while a sink blocks for nine seconds never leaves that call to return into a library
// that is gone: the thread is ended inside the host's code where the platform can, and where it
// cannot, the unload waits for the host's own call to return.
TEST_F(HostSafetyTest, UnloadWhileASinkBlocksNeverLeavesItToReturnIntoNothing) {
  EventSink& sink = NewSink();
  ASSERT_NO_FATAL_FAILURE(StartStreamingMeasurement(FastStream(), 1, sink));
  SinkGate gate;
  std::atomic<bool> returned{false};
  sink.OnNext("AddFreeMeasure", [&] {
    gate.Hold(9000);
    returned = true;
  });
  ASSERT_TRUE(gate.WaitHeld(5000));
  UnloadWithin(15000);
  if (platform::threadTerminateAvailable()) {
    EXPECT_FALSE(returned) << "the thread inside the host's call was not ended";
  } else {
    EXPECT_TRUE(returned) << "the unload ended before the host's call returned";
  }
  // The process is whole after the call's return, or after its end by force: the fixture counts
  // its threads.
}

// An unload while a recovery on the acquisition thread waits in a handshake for a console that
// does not answer: the unload cuts that wait short instead of waiting it out.
TEST_F(HostSafetyTest, UnloadCutsARecoveryThatWaitsForTheConsole) {
  EventSink& sink = NewSink();
  ASSERT_NO_FATAL_FAILURE(StartARecoveryThatWaitsForTheConsole(FastStream(), sink));
  // Waited out, the handshake's reply limit alone would take 10 s.
  UnloadWithin(static_cast<int>(REPLY_MS / 2));
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
  std::atomic<std::size_t> beforeStart{0};
  std::atomic<std::int32_t> started{-1};
  sink.OnNext("AddFreeMeasure", [&] {
    plugin_.MeasureStop();
    // The console holds the scan's beginning back well past the unload.
    sim_->holdReply(HeldReply{CMD_SCAN_START, 15000, 1});
    beforeStart = sim_->commandWords().size();
    starting = true;
    started = plugin_.MeasureStart(&next);
  });
  ASSERT_TRUE(sim_->waitUntil([&] { return starting.load(); }, 10000));
  // The start has asked for the scan and waits for its beginning.
  ASSERT_TRUE(WaitForWord(beforeStart, CMD_SCAN_START, 10000));
  // Less than the console's hold: the unload cuts the start's wait short.
  UnloadWithin(10000);
  EXPECT_EQ(started, 2);
  EXPECT_TRUE(next.Events().empty());
}
