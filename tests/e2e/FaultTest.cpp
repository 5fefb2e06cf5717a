// The exports against a console that misbehaves: garbage and impossible counts on the data
// channel, a block cut off, the data port taken by another program, and a console that dies.
#include "E2eFixture.h"
#include "EventSink.h"
#include "platform/socket.h"
#include "platform/time.h"

namespace {

using FaultTest = E2eTest;

ScriptEvent Event(ScriptEventKind kind, std::int32_t number = 0, std::int32_t pointsSent = -1) {
  ScriptEvent event;
  event.kind = kind;
  event.number = number;
  event.pointsSent = pointsSent;
  return event;
}

TEST_F(FaultTest, BadCountsAndACutBlockLeaveTheMeasurementRunning) {
  SimulatorOptions options;
  options.stripesPerSecond = 100;
  options.pointsPerStripe = 200;
  EventSink sink;
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
  for (const EventSink::Record& record : sink.Records()) {
    EXPECT_LE(record.points.size(), 3u * 10000u);
  }
  EXPECT_EQ(plugin_.MeasureStop(), 0);
}

TEST_F(FaultTest, GarbageOnTheDataChannelCostsNothing) {
  LoadConnected();
  plugin_.SensorSet(2);
  EventSink sink;
  ASSERT_EQ(plugin_.MeasureStart(&sink), 0);
  for (int i = 0; i < 20; ++i) sim_->runEvent(Event(ScriptEventKind::Garbage, 1000), 2000);
  EXPECT_EQ(plugin_.MeasureStop(), 0);
  EXPECT_EQ(plugin_.IsConnected(), 1);
  UnloadWithin(10000);
}

TEST_F(FaultTest, DataPortTakenByAnotherProgramStillConnectsAndUnloads) {
  int started = 0;
  platform::socketsStart(&started);
  platform::SocketHandle squatter = platform::socketOpenTcp();
  std::uint32_t loopback = 0;
  platform::socketParseDotted("127.0.0.1", &loopback);
  ASSERT_TRUE(platform::socketBind(squatter, loopback, DATA_PORT));
  ASSERT_TRUE(platform::socketListen(squatter, 1));
  LoadConnected();
  EXPECT_EQ(plugin_.IsConnected(), 1);
  UnloadWithin(5000);
  platform::socketClose(squatter);
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

}  // namespace
