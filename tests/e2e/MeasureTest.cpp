// Measurements through the exports against the console simulator: start and stop rules, the
// button-mode-2 passes with the console's acquisition switched per pass, whole records under
// load, and unloading in the middle of a measurement.
#include <algorithm>
#include <atomic>
#include <future>
#include <string>
#include <vector>

#include "E2eFixture.h"
#include "EventSink.h"
#include "platform/time.h"

namespace {

using MeasureTest = E2eTest;

TEST_F(MeasureTest, StartRefusesWithoutALinkOrWithAMeasurementRunning) {
  PretendProgramsRun();
  StartSimulator();
  Load();
  EventSink& sink = NewSink();
  EXPECT_EQ(plugin_.MeasureStart(&sink), 2);
  EXPECT_EQ(plugin_.MeasureStop(), 1);
  EXPECT_EQ(sim_->commandConnections(), 0) << "nothing was sent";

  ASSERT_EQ(plugin_.Connect(1), 0);
  EXPECT_EQ(plugin_.MeasureStart(&sink), 0);
  // The handshake, the scan start and, with the laser not chosen, the acquisition start.
  std::size_t before = WordsAfter(0, 11).size();
  EXPECT_EQ(plugin_.MeasureStart(&sink), 2);
  // The refused start sent nothing: the stop's words come right after the first start's.
  EXPECT_EQ(plugin_.MeasureStop(), 0);
  EXPECT_EQ(WordsAfter(before, 2), (Words{3904, 3873}));
  EXPECT_EQ(plugin_.MeasureStop(), 1);
}

TEST_F(MeasureTest, UnknownButtonModeSendsTheScanStartButCreatesNoThread) {
  LoadConnected();
  std::size_t before = WordsAfter(0, 9).size();
  EventSink& sink = NewSink();
  EXPECT_EQ(plugin_.ButtonModeSet(3), 0);
  EXPECT_EQ(plugin_.ButtonModeGet(), 3);
  EXPECT_EQ(plugin_.MeasureStart(&sink), 2);
  // The laser is not chosen: acquisition is switched on too, before the mode is looked at.
  EXPECT_EQ(WordsAfter(before, 2), (Words{3872, 3905}));
  EXPECT_EQ(plugin_.MeasureStop(), 1);
  EXPECT_EQ(sink.Count("BeginMeasure"), 0);
}

TEST_F(MeasureTest, NullSinkStartsAndStops) {
  LoadConnected();
  EXPECT_EQ(plugin_.MeasureStart(nullptr), 0);
  EXPECT_EQ(plugin_.MeasureStop(), 0);
}

TEST_F(MeasureTest, AutomaticDetectionOfTheProbeSwitchesAcquisitionOnAtStart) {
  SimulatorOptions options;
  options.laserActive = false;
  LoadConnected(options);
  std::size_t before = WordsAfter(0, 9).size();
  plugin_.SensorSet(1);
  EventSink& sink = NewSink();
  ASSERT_EQ(plugin_.MeasureStart(&sink), 0);
  EXPECT_EQ(WordsAfter(before, 3), (Words{3971, 3872, 3905}));
  ASSERT_TRUE(sink.WaitFor("BeginMeasure"));
  EXPECT_EQ(plugin_.MeasureStop(), 0);
  // Acquiring with the probe: stop switches acquisition off before the scan stop.
  Words after = WordsAfter(before + 3, 2);
  EXPECT_EQ(after, (Words{3904, 3873}));
  EXPECT_EQ(sim_->errorCount(), 0);
}

// Who switches the console's acquisition in button mode 2 with the laser, by the scanning type of
// the settings file: the start and the stop for 0, each pass for 1, nobody for 2. Two option
// sends mark where the start ends and where the passes end in the console's words.
struct ScanningTypeCase {
  int typeScanning;
  std::vector<std::int32_t> words;
};

void PrintTo(const ScanningTypeCase& c, std::ostream* out) { *out << c.typeScanning; }

class ScanningTypeTest : public E2eTest, public ::testing::WithParamInterface<ScanningTypeCase> {};

TEST_P(ScanningTypeTest, DecidesWhoSwitchesTheConsolesAcquisition) {
  WriteWholeFile(dir_.file("KvtScanner.ini"),
                 "[Lumora]\r\nTypeScanning=" + std::to_string(GetParam().typeScanning) + "\r\n");
  SimulatorOptions options;
  options.stripesPerSecond = 200;
  options.pointsPerStripe = 100;
  EventSink& sink = NewSink();
  ASSERT_NO_FATAL_FAILURE(StartStreamingMeasurement(options, 2, sink));
  // The connection's words: the handshake, the tool bar shown, the model start.
  const std::size_t before = 9;
  EXPECT_EQ(plugin_.MouseSet(4), 0);  // 3924, 1: the start is over
  ASSERT_TRUE(sim_->sendButton(1));
  ASSERT_TRUE(sink.WaitFor("BeginPass"));
  ASSERT_TRUE(sink.WaitFor("AddPassMeasure", 5));
  ASSERT_TRUE(sim_->sendButton(1));
  ASSERT_TRUE(sink.WaitFor("EndPass"));
  EXPECT_EQ(plugin_.MouseSet(1), 0);  // 3924, 0: the passes are over
  EXPECT_EQ(plugin_.MeasureStop(), 0);
  EXPECT_EQ(WordsAfter(before, GetParam().words.size()), GetParam().words);
  // Records of the pass carry the console's stripes.
  int stripes = 0;
  for (const EventSink::Record& record : sink.Records()) {
    if (!record.pass || record.points.empty()) continue;
    ++stripes;
    EXPECT_EQ(record.points.size(), 300u);
    EXPECT_LT(record.direction[2], 0.0) << "the sensor looks down";
  }
  EXPECT_GT(stripes, 0);
  EXPECT_EQ(sim_->errorCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    ButtonModeTwo, ScanningTypeTest,
    ::testing::Values(ScanningTypeCase{0, {3872, 3905, 3924, 1, 3924, 0, 3904, 3873}},
                      ScanningTypeCase{1, {3872, 3924, 1, 3905, 3904, 3924, 0, 3873}},
                      ScanningTypeCase{2, {3872, 3924, 1, 3924, 0, 3873}}),
    [](const ::testing::TestParamInfo<ScanningTypeCase>& info) {
      return "TypeScanning" + std::to_string(info.param.typeScanning);
    });

TEST_F(MeasureTest, EveryRecordIsWholeWhileStripesStreamAtFullSpeed) {
  SimulatorOptions options;
  // Fast enough that every cycle finds a new stripe, slow enough for a few hundred cycles.
  options.stripesPerSecond = 2500;
  options.pointsPerStripe = 1000;
  options.stamped = true;
  EventSink& sink = NewSink();
  ASSERT_NO_FATAL_FAILURE(StartStreamingMeasurement(options, 1, sink));
  ASSERT_TRUE(sim_->sendButton(1));  // a pass for as long as the toggle stays set
  ASSERT_TRUE(sim_->waitForStripes(10000, 120000));
  EXPECT_EQ(plugin_.MeasureStop(), 0);

  std::vector<EventSink::Record> records = sink.Records();
  ASSERT_GT(records.size(), 20u);
  int torn = 0;
  for (const EventSink::Record& record : records) {
    if (record.points.size() != 3000u) {
      ++torn;
      continue;
    }
    for (std::size_t i = 0; i < record.points.size(); i += 3) {
      if (record.points[i] != record.position[0]) {
        ++torn;
        break;
      }
    }
  }
  EXPECT_EQ(torn, 0) << "of " << records.size() << " records over " << sim_->stripesSent()
                     << " stripes";
}

TEST_F(MeasureTest, UnloadInTheMiddleOfAMeasurementEndsEverything) {
  SimulatorOptions options;
  options.stripesPerSecond = 0;
  options.pointsPerStripe = 10000;
  EventSink& sink = NewSink();
  ASSERT_NO_FATAL_FAILURE(StartStreamingMeasurement(options, 0, sink));
  ASSERT_TRUE(sim_->waitForStripes(20, 10000));
  std::size_t before = sim_->commandWords().size();
  UnloadWithin(10000);
  // Acquisition stop, scan stop, then the disconnect, which stops acquisition once more when the
  // thread raised the flag again after the console's end notice cleared it.
  Words after = WordsAfter(before, 4);
  if (after.size() == 5 && after[2] == 3904) after.erase(after.begin() + 2);
  EXPECT_EQ(after, (Words{3904, 3873, 3959, 3957}));
  // No thread of the library is left to call the sink: the fixture counts the process's threads.
}

TEST_F(MeasureTest, UnloadWhenTheConsoleDiedWhileScanningIsBounded) {
  LoadConnected();
  EventSink& sink = NewSink();
  ASSERT_EQ(plugin_.MeasureStart(&sink), 0);
  sim_->stop();  // the console dies: no end of scanning will ever come
  UnloadWithin(15000);
}

// After a stop the console is asked again: nothing of the measurement keeps the sensor query
// answering from what was stored, and a reconnect during a measurement never makes its stop
// forget the console's scan.
TEST_F(MeasureTest, StopLeavesTheConsolesStateToTheConsole) {
  SimulatorOptions options;
  options.streamOn = SimStreamOn::Scan;  // streams while it scans
  LoadConnected(options);
  for (int buttonMode : {0, 1, 2}) {
    SCOPED_TRACE(buttonMode);
    plugin_.ButtonModeSet(buttonMode);
    plugin_.SensorSet(1);
    EventSink& sink = NewSink();
    ASSERT_EQ(plugin_.MeasureStart(&sink), 0);
    ASSERT_TRUE(sink.WaitFor("AddFreeMeasure"));
    ASSERT_EQ(plugin_.MeasureStop(), 0);
    std::size_t before = sim_->commandWords().size();
    std::int32_t type = 0, kind = 0;
    double radius = -1;
    ASSERT_EQ(plugin_.SensorGet(&type, &radius, &kind), 0);
    EXPECT_EQ(WordsAfter(before, 1), (Words{3971})) << "answered from the stored state";

    ASSERT_EQ(plugin_.MeasureStart(&sink), 0);
    ASSERT_TRUE(sink.WaitFor("AddFreeMeasure", 2));
    ASSERT_EQ(plugin_.Reset(), 0);
    ASSERT_EQ(plugin_.IsConnected(), 1);
    before = sim_->commandWords().size();
    ASSERT_EQ(plugin_.MeasureStop(), 0);
    Words after = WordsAfter(before, 1);
    EXPECT_NE(std::find(after.begin(), after.end(), 3873), after.end())
        << "the console was left scanning";
    ASSERT_TRUE(sim_->waitUntil([&] { return !sim_->streaming(); }, 5000));
  }
  UnloadWithin(10000);
}

// A stop from the thread's very first sink call finds the measurement whole: its thread is
// known before it runs.
TEST_F(MeasureTest, StopFromTheFirstSinkCallEndsTheMeasurement) {
  LoadConnected();
  std::vector<EventSink*> rounds;
  for (int round = 0; round < 5; ++round) {
    SCOPED_TRACE(round);
    EventSink& sink = NewSink();
    rounds.push_back(&sink);
    std::atomic<std::int32_t> stopped{-1};
    sink.OnNext("BeginMeasure", [&] { stopped = plugin_.MeasureStop(); });
    ASSERT_EQ(plugin_.MeasureStart(&sink), 0);
    ASSERT_TRUE(sim_->waitUntil([&] { return stopped != -1; }, 5000));
    EXPECT_EQ(stopped, 0);
    EXPECT_EQ(plugin_.MeasureStop(), 1);
  }
  // Once the library is gone no call can come: each round's sink had its first call only.
  UnloadWithin(10000);
  for (EventSink* sink : rounds) {
    EXPECT_EQ(sink->Events(), (std::vector<std::string>{"BeginMeasure"}));
  }
}

// A trigger while the stop waits for the end of scanning switches nothing: the console's last
// acquisition command is not one behind its scan stop, and no pass opens.
TEST_F(MeasureTest, TriggerDuringTheStopsWaitLeavesTheConsoleNotAcquiring) {
  SimulatorOptions options;
  options.stripesPerSecond = 100;
  options.pointsPerStripe = 100;
  // The console holds the scan stop back until the test ends the hold: the stop waits meanwhile.
  options.heldReplies.push_back(HeldReply{CMD_SCAN_STOP, 600000, 1});
  EventSink& sink = NewSink();
  ASSERT_NO_FATAL_FAILURE(StartStreamingMeasurement(options, 2, sink));
  const std::size_t before = sim_->commandWords().size();
  auto stop = std::async(std::launch::async, [this] { return plugin_.MeasureStop(); });
  ASSERT_TRUE(sim_->waitUntil(
      [&] {
        Words words = sim_->commandWords();
        return std::find(words.begin() + static_cast<long>(before), words.end(), CMD_SCAN_STOP) !=
               words.end();
      },
      5000));
  ASSERT_TRUE(sim_->sendButton(1));
  // Two records later the thread has had a whole cycle with the trigger stored.
  ASSERT_TRUE(sink.WaitForRecords(sink.Records().size() + 2));
  sim_->endHolds();
  ASSERT_EQ(stop.wait_for(std::chrono::seconds(40)), std::future_status::ready);
  EXPECT_EQ(stop.get(), 0);
  // Every command sent before the sound's has reached the console once the sound has changed.
  plugin_.SoundSet(0);
  ASSERT_TRUE(sim_->waitUntil([&] { return sim_->sound() == 0; }, 5000));
  Words words = sim_->commandWords();
  auto scanStop = std::find(words.begin() + static_cast<long>(before), words.end(), CMD_SCAN_STOP);
  EXPECT_EQ(std::count(scanStop, words.end(), CMD_ACQUIRE_START), 0)
      << "the console was left acquiring";
  EXPECT_EQ(std::count(scanStop, words.end(), CMD_ACQUIRE_STOP), 0);
  EXPECT_EQ(sink.Count("BeginPass"), 0);
}

}  // namespace
