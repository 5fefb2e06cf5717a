// The exports against a console that misbehaves or dies and a host that misbehaves: garbage and
// impossible counts on the data channel, blocks cut off, the data port taken, a console killed
// at every stage, replies held back, a second console, a throwing sink, and calls from inside
// the plug-in's own waits. Each case ends with the library unloaded within a bound and, by the
// fixture, nothing of it left in the process.
#include <atomic>
#include <fstream>

#include "DialogDriver.h"
#include "E2eFixture.h"
#include "EventSink.h"
#include "HostFaults.h"
#include "RawPeer.h"
#include "platform/socket.h"
#include "platform/time.h"

namespace {

class FaultTest : public E2eTest {
 protected:
  // Loaded, connected to the console program the test started, and measuring the laser in
  // button mode 1.
  void StartMeasurementOnTheConsoleProgram(EventSink& sink) {
    Load();
    ASSERT_EQ(plugin_.Connect(1), 0);
    plugin_.SensorSet(2);
    plugin_.ButtonModeSet(1);
    ASSERT_EQ(plugin_.MeasureStart(&sink), 0);
  }

  // Connects to a console that holds its answer to the last handshake question back holdMs
  // (the first count times, -1 every time); that connect fails and leaves the link down. The
  // milliseconds it took.
  std::uint32_t ConnectWithTheLastAnswerHeld(int holdMs, int count) {
    SimulatorOptions options;
    options.heldReplies.push_back(HeldReply{CMD_HANDSHAKE_C, holdMs, count});
    PretendProgramsRun();
    StartSimulator(options);
    Load();
    std::int32_t result = -1;
    std::uint32_t ms = Timed([&] { result = plugin_.Connect(1); });
    EXPECT_EQ(result, 2);
    EXPECT_EQ(plugin_.IsConnected(), 0) << "connected without a command connection";
    return ms;
  }
};

ScriptEvent Event(ScriptEventKind kind, std::int32_t number = 0, std::int32_t pointsSent = -1) {
  ScriptEvent event;
  event.kind = kind;
  event.number = number;
  event.pointsSent = pointsSent;
  return event;
}

// A stream the plug-in keeps up with easily, so that a fault is the only thing going on.
SimulatorOptions ModerateStream() {
  SimulatorOptions options;
  options.stripesPerSecond = 100;
  options.pointsPerStripe = 200;
  return options;
}

TEST_F(FaultTest, BadCountsAndACutBlockLeaveTheMeasurementRunning) {
  SimulatorOptions options = ModerateStream();
  EventSink& sink = NewSink();
  ASSERT_NO_FATAL_FAILURE(StartStreamingMeasurement(options, 1, sink));
  // Counts the block cannot hold, sent whole: read and dropped, the stream stays in step.
  sim_->runEvent(Event(ScriptEventKind::BadCount, 10001));
  sim_->runEvent(Event(ScriptEventKind::BadCount, -7));
  ASSERT_TRUE(sim_->sendEcho()) << "the data channel fell out of step";
  // A block cut off: the plug-in drops the connection and takes the next one.
  sim_->runEvent(Event(ScriptEventKind::Cut));
  ASSERT_TRUE(sim_->sendScanBegin()) << "no new data connection after a cut block";
  ASSERT_TRUE(sim_->sendEcho());
  ASSERT_TRUE(sim_->sendButton(1));
  ASSERT_TRUE(sink.WaitFor("AddPassMeasure", 3));
  // Every record holds one stripe of the console's, or none: nothing of the dropped blocks.
  for (const EventSink::Record& record : sink.Records()) {
    EXPECT_TRUE(record.points.empty() || record.points.size() == 3u * 200u)
        << record.points.size() / 3 << " points";
  }
  EXPECT_EQ(plugin_.MeasureStop(), 0);
}

TEST_F(FaultTest, GarbageOnTheDataChannelCostsNothing) {
  LoadConnected();
  plugin_.SensorSet(2);
  EventSink& sink = NewSink();
  ASSERT_EQ(plugin_.MeasureStart(&sink), 0);
  ASSERT_TRUE(sink.WaitFor("AddFreeMeasure")) << "the resting pose is the first record";
  for (int i = 0; i < 20; ++i) sim_->runEvent(Event(ScriptEventKind::Garbage, 1000), 2000);
  // Records still flow: the channel is in step again and a stripe that moves the sensor reaches
  // the host.
  ASSERT_TRUE(sim_->sendEcho()) << "the data channel fell out of step";
  const int records = sink.Count("AddFreeMeasure");
  ASSERT_TRUE(sim_->sendStripe());
  EXPECT_TRUE(sink.WaitFor("AddFreeMeasure", records + 1)) << "no record after the garbage";
  EXPECT_EQ(plugin_.MeasureStop(), 0);
  EXPECT_EQ(plugin_.IsConnected(), 1);
  UnloadWithin(10000);
}

TEST_F(FaultTest, DataPortTakenByAnotherProgramStillConnectsAndUnloads) {
  const std::uint32_t loopback = LoopbackAddress();
  platform::SocketHandle squatter = platform::socketOpenTcp();
  ASSERT_TRUE(platform::socketBind(squatter, loopback, DATA_PORT));
  ASSERT_TRUE(platform::socketListen(squatter, 1));
  LoadConnected();
  EXPECT_EQ(plugin_.IsConnected(), 1);
  UnloadWithin(5000);
  platform::socketClose(squatter);
}

// Another program holds the data port at the connect and frees it 5 s later: the data thread says
// so once, listens as soon as it can, and the next measurement runs.
TEST_F(FaultTest, DataPortTakenAtTheConnectIsListenedOnOnceFreed) {
  const std::uint32_t loopback = LoopbackAddress();
  platform::SocketHandle squatter = platform::socketOpenTcp();
  ASSERT_TRUE(platform::socketBind(squatter, loopback, DATA_PORT));
  ASSERT_TRUE(platform::socketListen(squatter, 1));
  SimulatorOptions options = ModerateStream();
  options.streamOn = SimStreamOn::Scan;
  LoadConnected(options);
  const auto freedAt = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  EXPECT_EQ(plugin_.IsConnected(), 1);
  const std::string held = "Pb : cannot listen on port 2002 [error 10048].\n";
  EXPECT_TRUE(WaitForLog(held)) << Log();
  std::this_thread::sleep_until(freedAt);
  platform::socketClose(squatter);
  ASSERT_TRUE(WaitForLog("Listening on port 2002.\n")) << Log();
  const std::string log = Log();
  EXPECT_EQ(log.find(held), log.rfind(held)) << "said more than once:\n" << log;

  plugin_.SensorSet(2);
  EventSink& sink = NewSink();
  ASSERT_EQ(plugin_.MeasureStart(&sink), 0);
  EXPECT_TRUE(sink.WaitFor("AddFreeMeasure"));
  EXPECT_EQ(plugin_.MeasureStop(), 0);
  UnloadWithin(5000);
}

TEST_F(FaultTest, ConsoleKilledDuringTheHandshakeFailsTheConnect) {
  PretendProgramsRun();
  SimulatorOptions options;
  options.refuse = SimRefuse::Close;  // accepts and hangs up at once, as a dying console does
  StartSimulator(options);
  Load();
  EXPECT_EQ(plugin_.Connect(1), 2);
  EXPECT_EQ(plugin_.IsConnected(), 0);
  UnloadWithin(5000);
}

// The console programs' arguments for a laser that streams from the scan start.
std::vector<std::string> StreamingConsole(std::vector<std::string> more = {}) {
  std::vector<std::string> arguments = {"--stream", "scan", "--rate", "200", "--points", "300"};
  arguments.insert(arguments.end(), more.begin(), more.end());
  return arguments;
}

TEST_F(FaultTest, ConsoleKilledWhileScanningUnloadsWithinTheBound) {
  ASSERT_NO_FATAL_FAILURE(StartConsoleProgram(StreamingConsole({"--stamped"})));
  EventSink& sink = NewSink();
  ASSERT_NO_FATAL_FAILURE(StartMeasurementOnTheConsoleProgram(sink));
  ASSERT_TRUE(sink.WaitFor("AddFreeMeasure", 3)) << "no records before the kill";
  dummyConsole_.Kill();
  // The unload stops the measurement the host left running; the scan end it waits for cannot
  // come, so its bound decides. Its failed sends start nothing.
  EXPECT_LE(Timed([&] { UnloadWithin(20000); }), 7000u);
  // Records after the kill come only from stripes the console sent before it: each holds one
  // stamped stripe, later than the record before it.
  double last = 0;
  for (const EventSink::Record& record : sink.Records()) {
    if (record.points.empty()) continue;
    EXPECT_GT(record.position[0], last) << "a record that no stripe brought";
    last = record.position[0];
    EXPECT_EQ(record.points[0], record.position[0]) << "a torn record";
  }
  // A program is started only after its line in the log, which is whole once the library is gone.
  EXPECT_EQ(Log().find("is not running"), std::string::npos) << "the unload started a program";
  EXPECT_EQ(Starts(), "") << "the unload started a program";
}

TEST_F(FaultTest, ConsoleThatNeverAnswersTheLastHandshakeQuestionFailsTheConnectOnce) {
  std::uint32_t ms = ConnectWithTheLastAnswerHeld(600000, -1);
  EXPECT_LE(ms, 20000u) << "the connect nested another sequence";
  Words words = sim_->commandWords();
  EXPECT_EQ(std::count(words.begin(), words.end(), CMD_HANDSHAKE_A), 1);
  UnloadWithin(10000);
}

// The console's sensor answer through SensorGet, which must be the answer to its own question.
void ExpectSensorAnswersInStep(PluginLibrary& plugin, ConsoleSimulator& sim) {
  plugin.SensorSet(SENSOR_TYPE_AUTOMATIC);
  std::int32_t type = -1, kind = -1;
  double radius = -1;
  sim.setLaserActive(false);
  EXPECT_EQ(plugin.SensorGet(&type, &radius, &kind), 0);
  EXPECT_EQ(kind, SENSOR_KIND_PROBE);
  EXPECT_DOUBLE_EQ(radius, 1.0) << "the probe's 2.0 diameter, halved";
}

TEST_F(FaultTest, LastHandshakeAnswerPastTheReceiveLimitFailsThatConnectAndTheNextIsInStep) {
  std::uint32_t ms = ConnectWithTheLastAnswerHeld(11000, 1);
  EXPECT_GE(ms, 9000u) << "the answer was not awaited";
  // The late answer arrives on the dropped connection and is never read as another's.
  ASSERT_EQ(plugin_.Connect(1), 0);
  EXPECT_EQ(plugin_.IsConnected(), 1);
  ExpectSensorAnswersInStep(plugin_, *sim_);
  UnloadWithin(10000);
}

TEST_F(FaultTest, AnswerCutShortInAnyHandshakeStepFailsThatConnectAndTheNextIsInStep) {
  PretendProgramsRun();
  Load();
  // The sound question first, while the setting is still off: half of the console's 1 would
  // read as 1.
  for (std::int32_t code : {CMD_SOUND_QUERY, CMD_HANDSHAKE_A, CMD_HANDSHAKE_B, CMD_HANDSHAKE_C}) {
    SCOPED_TRACE(code);
    SimulatorOptions options;
    options.cutReplies.push_back(code);
    options.sound = 1;
    StartSimulator(options);
    EXPECT_EQ(plugin_.Connect(1), 2);
    EXPECT_EQ(plugin_.IsConnected(), 0);
    if (code == CMD_SOUND_QUERY) {
      EXPECT_EQ(plugin_.SoundGet(), 0) << "half an answer stored as the sound setting";
    }
    ASSERT_EQ(plugin_.Connect(1), 0);
    EXPECT_EQ(plugin_.IsConnected(), 1);
    EXPECT_EQ(plugin_.SoundGet(), 1);
    ExpectSensorAnswersInStep(plugin_, *sim_);
    EXPECT_EQ(plugin_.Connect(0), 0);
    sim_->stop();
  }
  EXPECT_EQ(Starts(), "") << "a failed handshake started a program";
  UnloadWithin(10000);
}

TEST_F(FaultTest, ConsoleKilledDuringARecoveryOnTheAcquisitionThreadWhileTheHostSends) {
  EventSink& sink = NewSink();
  ASSERT_NO_FATAL_FAILURE(StartARecoveryThatWaitsForTheConsole(ModerateStream(), sink));
  // The host sends meanwhile; the console dies a moment later. The host's failed sends never
  // start a sequence of their own beside the running one, and nothing waits past a reply's
  // receive limit.
  std::atomic<bool> sending{false};
  auto kill = std::async(std::launch::async, [this, &sending] {
    static_cast<void>(WaitUntil([&] { return sending.load(); }, 10000));
    sim_->stop();
  });
  sending = true;
  EXPECT_LE(Timed([&] { plugin_.SoundSet(0); }), 11000u);
  kill.get();
  EXPECT_LE(Timed([&] { plugin_.MouseSet(4); }), 3000u);
  EXPECT_EQ(plugin_.IsConnected(), 0) << "connected without a console";
  EXPECT_LE(Timed([&] { plugin_.MeasureStop(); }), 5000u);
  EXPECT_LE(Timed([&] { UnloadWithin(20000); }), 5000u);
  EXPECT_EQ(Starts(), "") << "a program was started although both run";
}

// A command link lost during a measurement and brought up again by a recovery, the stop's own or
// an earlier command's, still ends the console's scan: the stop goes out on the new connection.
TEST_F(FaultTest, LinkRecoveredDuringAMeasurementStillStopsTheConsolesScan) {
  SimulatorOptions options = ModerateStream();
  options.streamOn = SimStreamOn::Scan;
  options.cutReplies = {CMD_PROBE_QUERY, CMD_PROBE_QUERY};
  LoadConnected(options);
  plugin_.SensorSet(2);
  for (bool commandRecoversFirst : {false, true}) {
    SCOPED_TRACE(commandRecoversFirst ? "a command's recovery before the stop"
                                      : "the stop's own recovery");
    EventSink& sink = NewSink();
    ASSERT_EQ(plugin_.MeasureStart(&sink), 0);
    ASSERT_TRUE(sink.WaitFor("AddFreeMeasure"));
    // The cut answer drops the command link; the console scans on.
    SensorEntry entries[3];
    std::int32_t count = 0;
    plugin_.SensorGetList(entries, 0, &count);
    ASSERT_EQ(plugin_.IsConnected(), 0);
    if (commandRecoversFirst) {
      plugin_.SoundSet(1);
      ASSERT_EQ(plugin_.IsConnected(), 1) << "the failed command ran no recovery";
    }
    const std::size_t before = sim_->commandWords().size();
    EXPECT_EQ(plugin_.MeasureStop(), 0);
    EXPECT_EQ(plugin_.IsConnected(), 1);
    EXPECT_TRUE(WaitForWord(before, CMD_SCAN_STOP, 5000)) << "the console was left scanning";
    ASSERT_TRUE(sim_->waitUntil([&] { return !sim_->streaming(); }, 5000));
  }
  UnloadWithin(10000);
}

TEST_F(FaultTest, ConsoleKilledInTheMiddleOfABlockUnloadsWithinTheBound) {
  std::string script = dir_.file("stall.script");
  std::string transcript = dir_.file("console.txt");
  std::ofstream(script) << "300 stall\n";
  ASSERT_NO_FATAL_FAILURE(
      StartConsoleProgram(StreamingConsole({"--script", script, "--transcript", transcript})));
  EventSink& sink = NewSink();
  ASSERT_NO_FATAL_FAILURE(StartMeasurementOnTheConsoleProgram(sink));
  ASSERT_TRUE(WaitUntil(
      [&] { return ReadWholeFile(transcript).find("stalled") != std::string::npos; }, 5000, 20))
      << "the console never stopped half-way through a block";
  dummyConsole_.Kill();
  // The unload stops a measurement the host left running, with a console that is gone: as when
  // it dies between blocks, the stop's own bounds decide, well within the helper's limit.
  EXPECT_LE(Timed([&] { UnloadWithin(30000); }), 10000u);
}

TEST_F(FaultTest, ConsoleKilledDuringTheStopsWaitEndsItWithinTheBound) {
  // The console takes the scan stop and then says nothing: the stop waits for the scan end.
  ASSERT_NO_FATAL_FAILURE(StartConsoleProgram(
      StreamingConsole({"--hold-reply", std::to_string(CMD_SCAN_STOP) + ":600000"})));
  EventSink& sink = NewSink();
  ASSERT_NO_FATAL_FAILURE(StartMeasurementOnTheConsoleProgram(sink));
  ASSERT_TRUE(sink.WaitFor("BeginMeasure"));
  auto stop = std::async(std::launch::async, [this] {
    std::int32_t result = -1;
    std::uint32_t ms = Timed([&] { result = plugin_.MeasureStop(); });
    return std::make_pair(result, ms);
  });
  ASSERT_EQ(stop.wait_for(std::chrono::milliseconds(1000)), std::future_status::timeout)
      << "the stop did not wait for the scan end";
  dummyConsole_.Kill();
  ASSERT_EQ(stop.wait_for(std::chrono::seconds(45)), std::future_status::ready);
  auto [result, ms] = stop.get();
  EXPECT_EQ(result, 0);
  EXPECT_LE(ms, 40000u);
  UnloadWithin(20000);
}

TEST_F(FaultTest, ReplyHeldPastTheReceiveLimitDropsTheLinkInsteadOfReadingOneBehind) {
  SimulatorOptions options;
  options.heldReplies.push_back(HeldReply{CMD_SENSOR_QUERY, 12000, 1});
  LoadConnected(options);
  plugin_.SensorSet(SENSOR_TYPE_AUTOMATIC);  // SensorGet asks the console
  std::int32_t type = -1, kind = -1;
  double radius = -1;
  std::int32_t result = -1;
  std::uint32_t ms = Timed([&] { result = plugin_.SensorGet(&type, &radius, &kind); });
  EXPECT_EQ(result, 2);
  EXPECT_GE(ms, 9000u);
  EXPECT_LE(ms, 15000u);
  EXPECT_EQ(plugin_.IsConnected(), 0) << "the late reply would be read as the next one";
  // The host connects again and the console's answers are in step.
  ASSERT_EQ(plugin_.Connect(1), 0);
  sim_->setLaserActive(false);
  EXPECT_EQ(plugin_.SensorGet(&type, &radius, &kind), 0);
  EXPECT_EQ(kind, SENSOR_KIND_PROBE);
  EXPECT_DOUBLE_EQ(radius, 1.0) << "the probe's 2.0 diameter, halved";
  UnloadWithin(10000);
}

TEST_F(FaultTest, SecondConsoleConnectingWhileOneIsServedWaitsAndCostsNothing) {
  SimulatorOptions options = ModerateStream();
  EventSink& sink = NewSink();
  ASSERT_NO_FATAL_FAILURE(StartStreamingMeasurement(options, 1, sink));
  platform::SocketHandle second = platform::socketOpenTcp();
  ASSERT_TRUE(platform::socketConnect(second, LoopbackAddress(), DATA_PORT));
  RawPeer intruder(second);
  unsigned char garbage[256];
  for (std::size_t i = 0; i < sizeof garbage; ++i) garbage[i] = static_cast<unsigned char>(i * 37);
  intruder.Send(garbage, sizeof garbage);
  int before = sim_->stripesSent();
  ASSERT_TRUE(sim_->waitForStripes(before + 20, 5000));
  ASSERT_TRUE(sim_->sendButton(1));
  ASSERT_TRUE(sink.WaitFor("AddPassMeasure")) << "the served console lost its stream";
  EXPECT_EQ(plugin_.MeasureStop(), 0);
  UnloadWithin(10000);
}

TEST_F(FaultTest, ThrowingSinkEndsItsMeasurementAndTheNextOneRuns) {
  SimulatorOptions options = ModerateStream();
  EventSink& sink = NewSink();
  // Thrown while the plug-in holds the record for the host.
  sink.OnNext("AddPassMeasure", ThrowFromHostCode);
  ASSERT_NO_FATAL_FAILURE(StartStreamingMeasurement(options, 1, sink));
  ASSERT_TRUE(sim_->sendButton(1));
  ASSERT_TRUE(sink.WaitFor("AddPassMeasure"));
  // Ten more stripes stored (the echo is answered after them), each a record had the thread gone
  // on in its open pass.
  ASSERT_TRUE(sim_->waitForStripes(sim_->stripesSent() + 10, 5000));
  ASSERT_TRUE(sim_->sendEcho());
  EXPECT_EQ(sink.Count("AddPassMeasure"), 1) << "the thread went on after the throw";
  EXPECT_EQ(plugin_.MeasureStop(), 0);
  // The record's lock was given back: the data channel stores again and a new measurement
  // records.
  EventSink& next = NewSink();
  ASSERT_EQ(plugin_.MeasureStart(&next), 0);
  // Free records show the new thread has cleared the toggle it starts with.
  ASSERT_TRUE(next.WaitFor("AddFreeMeasure"));
  ASSERT_TRUE(sim_->sendButton(1));
  EXPECT_TRUE(next.WaitFor("AddPassMeasure", 3));
  EXPECT_EQ(plugin_.MeasureStop(), 0);
  UnloadWithin(10000);
}

TEST_F(FaultTest, SinkCallingMeasureStopOnItsButtonEndsTheMeasurement) {
  SimulatorOptions options;
  options.stripesPerSecond = 100;
  EventSink& sink = NewSink();
  std::atomic<std::int32_t> stopped{-1};
  sink.OnNext("OnButtonEvent2", [&] { stopped = plugin_.MeasureStop(); });
  ASSERT_NO_FATAL_FAILURE(StartStreamingMeasurement(options, 1, sink));
  plugin_.DetectSet(1);
  ASSERT_TRUE(sim_->sendButton(2));
  ASSERT_TRUE(sink.WaitFor("OnButtonEvent2"));
  ASSERT_TRUE(sim_->waitUntil([&] { return stopped != -1; }, 35000));
  EXPECT_EQ(stopped, 0);
  const std::size_t calls = sink.Events().size();
  // The stopped thread is collected: the host may measure again at once.
  EventSink& next = NewSink();
  ASSERT_EQ(plugin_.MeasureStart(&next), 0);
  ASSERT_TRUE(next.WaitFor("BeginMeasure"));
  EXPECT_EQ(plugin_.MeasureStop(), 0);
  EXPECT_EQ(plugin_.MeasureStop(), 1) << "nothing left to stop";
  // Once the library is gone no call can come.
  UnloadWithin(10000);
  EXPECT_EQ(sink.Events().size(), calls) << "the measurement went on";
}

TEST_F(FaultTest, HostWindowCallingTheExportsInsideTheirWaitsNeverDoublesAMeasurement) {
  LoadConnected();
  plugin_.SensorSet(2);
  EventSink& sink = NewSink();
  EventSink& nestedSink = NewSink();
  std::atomic<std::int32_t> nestedStart{-1}, nestedStop{-1};
  if (!PostToHostWindow([&] { nestedStart = plugin_.MeasureStart(&nestedSink); })) {
    GTEST_SKIP() << "no host window messages on this platform";
  }
  // The nested start runs inside the outer start's wait and wins; the outer one must not start
  // a second thread beside it.
  EXPECT_EQ(plugin_.MeasureStart(&sink), 2);
  EXPECT_EQ(nestedStart, 0);
  ASSERT_TRUE(nestedSink.WaitFor("BeginMeasure"));
  // A stop inside the stop's wait for the scan end.
  ASSERT_TRUE(PostToHostWindow([&] { nestedStop = plugin_.MeasureStop(); }));
  EXPECT_EQ(plugin_.MeasureStop(), 0);
  EXPECT_EQ(nestedStop, 0);
  EXPECT_EQ(sink.Count("BeginMeasure"), 0);
  EXPECT_EQ(plugin_.MeasureStop(), 1);
  UnloadWithin(10000);
}

TEST_F(FaultTest, UnloadWhileTheConsoleIsHalfWayThroughABlock) {
  EventSink& sink = NewSink();
  ASSERT_NO_FATAL_FAILURE(StartStreamingMeasurement({}, 1, sink));
  ASSERT_TRUE(sim_->runEvent(Event(ScriptEventKind::Stall)));
  // The data thread waits in the middle of a block that never ends: the unload ends it instead
  // of waiting for the console, and only the stop's own bounds remain.
  EXPECT_LE(Timed([&] { UnloadWithin(15000); }), 10000u);
}

TEST_F(FaultTest, UnloadWhileTheSettingsWindowIsOpenOnTheHostsThread) {
  LoadConnected();
  std::unique_ptr<DialogDriver> driver = DialogDriver::Create();
  std::uint32_t unloadMs = 0;
  EXPECT_EQ(RunDialog(
                *driver, [this] { return plugin_.Config(); },
                [&](DialogDriver& dialog) {
                  ASSERT_TRUE(dialog.WaitOpen());
                  // The host ends while its thread still runs the window.
                  unloadMs = Timed([&] { UnloadWithin(15000); });
                  EXPECT_TRUE(dialog.WaitClosed());
                }),
            0);
  EXPECT_LE(unloadMs, 10000u);
  EXPECT_FALSE(plugin_.loaded());
}

// A console that dropped the command link and listens again: the next measurement's first
// command (the scan start with the laser chosen, the sensor query with automatic detection) is
// not written into the closed connection but goes out on a new one, and the measurement starts.
class ConsoleDroppedTheLinkTest : public E2eTest,
                                  public ::testing::WithParamInterface<std::int32_t> {};

TEST_P(ConsoleDroppedTheLinkTest, NextMeasurementStartsOnANewConnection) {
  LoadConnected(ModerateStream());
  plugin_.SensorSet(GetParam());
  ASSERT_TRUE(sim_->dropCommandConnection());
  ASSERT_TRUE(sim_->waitUntil([&] { return !sim_->commandConnected(); }, 5000));
  EventSink& sink = NewSink();
  EXPECT_EQ(plugin_.MeasureStart(&sink), 0);
  EXPECT_EQ(sim_->commandConnections(), 2);
  EXPECT_TRUE(sink.WaitFor("BeginMeasure"));
  EXPECT_EQ(plugin_.MeasureStop(), 0);
  Words words = sim_->commandWords();
  EXPECT_EQ(std::count(words.begin(), words.end(), CMD_SCAN_START), 1);
  EXPECT_EQ(sim_->errorCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(Sensors, ConsoleDroppedTheLinkTest, ::testing::Values(2, 1),
                         [](const ::testing::TestParamInfo<std::int32_t>& info) {
                           return std::string(info.param == 2 ? "Laser" : "AutomaticDetection");
                         });

}  // namespace
