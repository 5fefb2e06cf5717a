// How long each export blocks in its worst case, against the bound that a host is told: one table
// of bounds, one runner that drives each row's case through the exports against the console
// simulator. Every export prints a line "bound|ORDER|EXPORT|THREADS|DISPATCHES|OBSERVED|MEASURED|
// BOUND|CASE" (milliseconds), from which scripts/bounds-table writes the table of
// docs/host-integration.md.
#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "DialogDriver.h"
#include "E2eFixture.h"
#include "ExportBounds.h"
#include "HostFaults.h"
#include "SinkGate.h"
#include "platform/module.h"
#include "platform/pump.h"
#include "platform/thread.h"
#include "wire/CommandCodes.h"

namespace {

// What a call did to the calling thread's window messages: "yes" when it dispatched one that
// was waiting, "no", or "n/a" where hosts have no message queue.
struct Observed {
  std::string name;
  double ms = 0.0;
  std::string dispatched = "n/a";
  double boundMs = 0.0;      // the export's own bound where a case drives several; 0: the row's
  bool mayDispatch = false;  // the call may or may not dispatch, as its path goes
};

class BoundsTest;
using Driver = std::vector<Observed> (*)(BoundsTest&);

struct Bound {
  const char* exports;     // the export, several sharing one case separated by blanks, or unload
  const char* threads;     // from which threads a host may call it
  const char* dispatches;  // what the guide says about the calling thread's messages
  bool dispatchesInCase;   // whether the case below makes it dispatch them
  double boundMs;          // the longest it may block
  const char* worstCase;   // the case driven, and how the bound is made up
  Driver drive;
  // What the case itself waits out, and a margin for a busy machine: a bound that the case's
  // time limit lets the test hold (several bounds are longer than a case may run).
  double caseMs;
  const char* caseName = nullptr;  // the test's name where the first export names another row
};

std::vector<Observed> FieldExports(BoundsTest& test);
std::vector<Observed> ConnectWithAStartedConsoleThatNeverListens(BoundsTest& test);
std::vector<Observed> DisconnectWhileMeasuring(BoundsTest& test);
std::vector<Observed> ResetPastTheLastAnswersLimit(BoundsTest& test);
std::vector<Observed> OptionSendsThatFail(BoundsTest& test);
std::vector<Observed> ProbeQueryPastItsLimit(BoundsTest& test);
std::vector<Observed> SensorQueryPastItsLimit(BoundsTest& test);
std::vector<Observed> TricklingConsole(BoundsTest& test);
std::vector<Observed> ScanThatNeverBegins(BoundsTest& test);
std::vector<Observed> ScanThatNeverEndsWithTheSinkBlocked(BoundsTest& test);
std::vector<Observed> SettingsWindow(BoundsTest& test);
std::vector<Observed> UnloadWithTheSinkBlockedAndNoScanEnd(BoundsTest& test);

// A busy machine's margin over the limits a case waits out.
constexpr double kCaseMarginMs = 5000;

constexpr const char* HOST_THREAD = "the host's thread, one call at a time";
constexpr const char* ANY_THREAD = "any";
// The connection sequence dispatches while it waits for a console that it had to start.
constexpr const char* WHILE_STARTING = "while it waits for a console it started";
constexpr const char* WHEN_A_SEND_FAILS = "as Connect(1), when a send fails";

// The bounds a host is given. Update a row when the library's waits change; the guide's table
// follows from this test's output.
const Bound kBounds[] = {
    {"ButtonModeAvailable ButtonModeGet ButtonModeSet DetectGet DetectSet GetPluginVersion "
     "IsConnected MouseGet SoundGet SensorSet SetDiameter",
     ANY_THREAD, "no", false, NO_WAIT_MS,
     "no wait: 1000 calls each from two threads while 10,000-point stripes stream at full speed",
     FieldExports, NO_WAIT_MS},
    {"Connect(1)", HOST_THREAD, WHILE_STARTING, true, CONNECT_BOUND_MS,
     "the console it starts never opens its port: the 60 s start-up limit; bound: the channel "
     "(40 s) and the sequence (60 s and a last handshake of four 10 s replies)",
     ConnectWithAStartedConsoleThatNeverListens, START_MS + kCaseMarginMs},
    {"Connect(0)", HOST_THREAD, "no", false, DISCONNECT_BOUND_MS,
     "while a measurement streams; bound: the channel (40 s)", DisconnectWhileMeasuring,
     kCaseMarginMs},
    {"Reset", HOST_THREAD, WHILE_STARTING, false, RESET_BOUND_MS,
     "the console holds the handshake's last answer past the 10 s limit; bound: as Connect(1), "
     "with the disconnect's wait for the channel before it",
     ResetPastTheLastAnswersLimit, REPLY_MS + kCaseMarginMs},
    {"MouseSet SoundSet", HOST_THREAD, WHEN_A_SEND_FAILS, false, OPTION_SEND_BOUND_MS,
     "sent with the link down: the send fails and the connection sequence runs; bound: the "
     "channel and the sequence",
     OptionSendsThatFail, kCaseMarginMs},
    {"SensorGetList", HOST_THREAD, WHEN_A_SEND_FAILS, false, SENSOR_LIST_BOUND_MS,
     "the console holds the probe's diameter past the 10 s limit; bound: the channel, the "
     "sequence when the send fails, and the reply",
     ProbeQueryPastItsLimit, REPLY_MS + kCaseMarginMs},
    {"SensorGet", HOST_THREAD, WHEN_A_SEND_FAILS, false, SENSOR_GET_BOUND_MS,
     "automatic detection, the console holds the sensor's answer past the 10 s limit; bound: "
     "two questions with their replies and the sequence when the second's send fails",
     SensorQueryPastItsLimit, REPLY_MS + kCaseMarginMs},
    {"SensorGetList SensorGet MeasureStart Reset Connect(1)", HOST_THREAD, WHEN_A_SEND_FAILS, false,
     SENSOR_GET_BOUND_MS,
     "the console sends each reply one byte every 9 s: each reply's 10 s limit holds for the "
     "whole reply; bound: each export's own",
     TricklingConsole, REPLY_MS + kCaseMarginMs, "TricklingConsole"},
    {"MeasureStart", HOST_THREAD, "yes", true, MEASURE_START_BOUND_MS,
     "the console never reports that scanning began: the 30 s limit; bound: an earlier "
     "thread's 2.5 s, the sensor question, 30 s, and the sequence for each of two failed sends",
     ScanThatNeverBegins, SCAN_START_MS + kCaseMarginMs},
    {"MeasureStop", HOST_THREAD, "yes", true, MEASURE_STOP_BOUND_MS,
     "the console never reports the end of scanning and the sink blocks: the 30 s limit and the "
     "thread's 2.5 s; bound: a failed send's sequence, 30 s, and 2.5 s twice (forced end)",
     ScanThatNeverEndsWithTheSinkBlocked, SCAN_END_MS + 2 * THREAD_END_MS + kCaseMarginMs},
    {"Config", HOST_THREAD, "yes (the window's own loop)", true, CONFIG_BOUND_MS,
     "runs the window until the user closes it; measured: the return after Cancel, and a second "
     "Config while the window is open (it raises the window)",
     SettingsWindow, NO_WAIT_MS},
    {"unload", "the host's thread, outside any sink call", "no", false, UNLOAD_BOUND_MS,
     "measuring, the sink blocked, the console silent after the scan stop; bound: a window "
     "command's 2 s, 50 ms before another thread's command is cut short, 2 s for the scan end, "
     "2.5 s twice (the forced end), 5 s for a thread in the library, 3 s for the data thread, "
     "4.6 s for the capture's end when it is on; where a thread cannot be ended by force "
     "(Linux), and the sink's call outlasts the bound, the unload also waits for that call to "
     "return",
     UnloadWithTheSinkBlockedAndNoScanEnd,
     UNLOAD_SCAN_END_MS + 2 * THREAD_END_MS + UNLOAD_THREAD_MS + kCaseMarginMs},
};

double MsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

class BoundsTest : public E2eTest, public ::testing::WithParamInterface<Bound> {
 public:
  // Times one call on this thread and sees whether it dispatched a window message that was
  // waiting in this thread's queue when it began.
  Observed Time(const std::string& name, const std::function<void()>& call) {
    Observed observed{name};
    auto dispatched = std::make_shared<std::atomic<bool>>(false);
    const bool posted = PostToHostWindow([dispatched] { *dispatched = true; });
    const auto start = std::chrono::steady_clock::now();
    call();
    observed.ms = MsSince(start);
    if (posted) {
      observed.dispatched = *dispatched ? "yes" : "no";
      // A message the call left is taken here, so the next call starts with an empty queue.
      for (int i = 0; i < 100 && !*dispatched; ++i) {
        if (!platform::pumpDispatchOne()) platform::pumpWait(10);
      }
    }
    return observed;
  }

  // Times a call whose console holds its answer to code past the receive limit, once.
  Observed PastTheReplyLimit(std::int32_t code, const std::string& name,
                             const std::function<void()>& call) {
    sim_->holdReply(HeldReply{code, static_cast<int>(REPLY_MS) + 2000, 1});
    Observed observed = Time(name, call);
    EXPECT_GE(observed.ms, REPLY_MS - 1000) << name << ": the answer was not awaited";
    return observed;
  }

  // Records of the button mode 0 measurement below are free ones; the stripes are large, so
  // their points are not kept.
  EventSink sink_{false};
  // Where the sink's next record call waits (HoldNextRecord), holding nothing of the library's.
  SinkGate gate_;
  void HoldNextRecord(int limitMs) {
    sink_.OnNext("AddFreeMeasure", [this, limitMs] { gate_.Hold(limitMs); });
  }

  // What the drivers below use of the fixture.
  using E2eTest::Load;
  using E2eTest::LoadConnected;
  using E2eTest::plugin_;
  using E2eTest::sim_;

  // Connected to the in-process simulator, with a measurement of the laser in button mode 0
  // reporting records.
  void Measuring(SimulatorOptions options) {
    options.streamOn = SimStreamOn::Scan;
    LoadConnected(options);
    plugin_.SensorSet(SENSOR_TYPE_LASER);
    ASSERT_EQ(plugin_.MeasureStart(&sink_), 0);
    ASSERT_TRUE(sink_.WaitFor("AddFreeMeasure", 1, 10000));
  }
};
std::vector<Observed> FieldExports(BoundsTest& test) {
  SimulatorOptions options;
  options.stripesPerSecond = 0;  // as fast as the plug-in reads
  options.pointsPerStripe = MAX_BLOCK_POINTS;
  test.Measuring(options);
  if (::testing::Test::HasFatalFailure()) return {};
  PluginLibrary& plugin = test.plugin_;
  const std::vector<std::pair<const char*, std::function<void()>>> calls = {
      {"ButtonModeAvailable", [&] { plugin.ButtonModeAvailable(); }},
      {"ButtonModeGet", [&] { plugin.ButtonModeGet(); }},
      {"ButtonModeSet", [&] { plugin.ButtonModeSet(0); }},
      {"DetectGet", [&] { plugin.DetectGet(); }},
      {"DetectSet", [&] { plugin.DetectSet(0); }},
      {"GetPluginVersion", [&] { plugin.GetPluginVersion(nullptr, nullptr); }},
      {"IsConnected", [&] { plugin.IsConnected(); }},
      {"MouseGet", [&] { plugin.MouseGet(); }},
      {"SoundGet", [&] { plugin.SoundGet(); }},
      {"SensorSet", [&] { plugin.SensorSet(SENSOR_TYPE_LASER); }},
      {"SetDiameter", [&] { plugin.SetDiameter(-1.0f); }},
  };
  std::vector<Observed> results;
  for (const auto& entry : calls) {
    const std::function<void()>& call = entry.second;
    Observed worst = test.Time(entry.first, call);
    // The other thread's calls run beside this thread's.
    std::atomic<double> otherWorst{0.0};
    std::thread other([&] {
      for (int i = 0; i < 1000; ++i) {
        const auto start = std::chrono::steady_clock::now();
        call();
        otherWorst = std::max(otherWorst.load(), MsSince(start));
      }
    });
    for (int i = 0; i < 1000; ++i) {
      const auto start = std::chrono::steady_clock::now();
      call();
      worst.ms = std::max(worst.ms, MsSince(start));
    }
    other.join();
    worst.ms = std::max(worst.ms, otherWorst.load());
    results.push_back(worst);
  }
  EXPECT_EQ(plugin.MeasureStop(), 0);
  return results;
}

std::vector<Observed> ConnectWithAStartedConsoleThatNeverListens(BoundsTest& test) {
  // The console that the plug-in starts never opens its port, and ends a little after the
  // sequence has given up.
  SetTestEnvironment("KVT_SIM_ARGS", "--refuse --duration 62");
  test.Load();
  std::int32_t result = -1;
  Observed observed = test.Time("Connect(1)", [&] { result = test.plugin_.Connect(1); });
  EXPECT_EQ(result, 2);
  EXPECT_GE(observed.ms, START_MS - 1000) << "the start-up limit was not waited for";
  EXPECT_TRUE(WaitForProcess("LineStudioConsole.exe", false, 10000));
  return {observed};
}

std::vector<Observed> DisconnectWhileMeasuring(BoundsTest& test) {
  SimulatorOptions options;
  options.stripesPerSecond = 200;
  test.Measuring(options);
  if (::testing::Test::HasFatalFailure()) return {};
  Observed observed = test.Time("Connect(0)", [&] { EXPECT_EQ(test.plugin_.Connect(0), 0); });
  EXPECT_EQ(test.plugin_.IsConnected(), 0);
  EXPECT_EQ(test.plugin_.MeasureStop(), 0);
  return {observed};
}

std::vector<Observed> ResetPastTheLastAnswersLimit(BoundsTest& test) {
  test.LoadConnected();
  Observed observed =
      test.PastTheReplyLimit(CMD_HANDSHAKE_C, "Reset", [&] { EXPECT_EQ(test.plugin_.Reset(), 0); });
  EXPECT_EQ(test.plugin_.IsConnected(), 0);
  return {observed};
}

std::vector<Observed> OptionSendsThatFail(BoundsTest& test) {
  test.LoadConnected();
  std::vector<Observed> results;
  const std::pair<const char*, std::function<void()>> calls[] = {
      {"MouseSet", [&] { EXPECT_EQ(test.plugin_.MouseSet(4), 0); }},
      {"SoundSet", [&] { EXPECT_EQ(test.plugin_.SoundSet(2), 0); }},
  };
  for (const auto& [name, call] : calls) {
    EXPECT_EQ(test.plugin_.Connect(0), 0);
    const int connections = test.sim_->commandConnections();
    results.push_back(test.Time(name, call));
    EXPECT_EQ(test.sim_->commandConnections(), connections + 1) << name << " ran no recovery";
    EXPECT_EQ(test.plugin_.IsConnected(), 1);
  }
  return results;
}

std::vector<Observed> ProbeQueryPastItsLimit(BoundsTest& test) {
  test.LoadConnected();
  SensorEntry entries[8] = {};
  std::int32_t count = 0;
  Observed observed = test.PastTheReplyLimit(CMD_PROBE_QUERY, "SensorGetList", [&] {
    EXPECT_EQ(test.plugin_.SensorGetList(entries, 0, &count), 3);
  });
  EXPECT_STREQ(entries[2].label, "Touch Probe :diam. unknown \n");
  return {observed};
}

std::vector<Observed> SensorQueryPastItsLimit(BoundsTest& test) {
  test.LoadConnected();
  test.plugin_.SensorSet(SENSOR_TYPE_AUTOMATIC);
  std::int32_t type = -1, kind = -1;
  double radius = -1;
  return {test.PastTheReplyLimit(CMD_SENSOR_QUERY, "SensorGet", [&] {
    EXPECT_EQ(test.plugin_.SensorGet(&type, &radius, &kind), 2);
  })};
}

std::vector<Observed> TricklingConsole(BoundsTest& test) {
  constexpr int kTrickleMs = 9000;
  test.LoadConnected();
  PluginLibrary& plugin = test.plugin_;
  SensorEntry entries[8] = {};
  std::int32_t count = 0, type = -1, kind = -1;
  double radius = -1;
  struct Call {
    const char* name;
    double boundMs;
    std::function<void()> call;
  };
  // Each waits for one reply that comes too slowly, and the link is down after it.
  const Call calls[] = {
      {"SensorGetList", SENSOR_LIST_BOUND_MS,
       [&] { EXPECT_EQ(plugin.SensorGetList(entries, 0, &count), 3); }},
      {"SensorGet", SENSOR_GET_BOUND_MS,
       [&] { EXPECT_EQ(plugin.SensorGet(&type, &radius, &kind), 2); }},
      {"MeasureStart", MEASURE_START_BOUND_MS,
       [&] { EXPECT_EQ(plugin.MeasureStart(&test.sink_), 2); }},
      {"Reset", RESET_BOUND_MS, [&] { EXPECT_EQ(plugin.Reset(), 0); }},
      {"Connect(1)", CONNECT_BOUND_MS, [&] { EXPECT_EQ(plugin.Connect(1), 2); }},
  };
  plugin.SensorSet(SENSOR_TYPE_AUTOMATIC);
  std::vector<Observed> results;
  for (const Call& call : calls) {
    test.sim_->trickleReplies(0);
    if (plugin.IsConnected() == 0 && std::string(call.name) != "Connect(1)") {
      EXPECT_EQ(plugin.Connect(1), 0) << call.name;
    }
    test.sim_->trickleReplies(kTrickleMs);
    Observed observed = test.Time(std::string(call.name) + ", trickled", call.call);
    observed.boundMs = call.boundMs;
    // A failure may run the connection sequence, which dispatches while it waits for a console.
    observed.mayDispatch = true;
    EXPECT_GE(observed.ms, REPLY_MS - 1000) << call.name << ": the reply was not awaited";
    EXPECT_EQ(plugin.IsConnected(), 0) << call.name;
    results.push_back(observed);
  }
  return results;
}

std::vector<Observed> ScanThatNeverBegins(BoundsTest& test) {
  SimulatorOptions options;
  options.noScanBegin = true;
  test.LoadConnected(options);
  test.plugin_.SensorSet(SENSOR_TYPE_LASER);
  Observed observed =
      test.Time("MeasureStart", [&] { EXPECT_EQ(test.plugin_.MeasureStart(&test.sink_), 2); });
  EXPECT_GE(observed.ms, SCAN_START_MS - 1000) << "the scan's beginning was not awaited";
  EXPECT_EQ(test.plugin_.MeasureStop(), 1);
  return {observed};
}

std::vector<Observed> ScanThatNeverEndsWithTheSinkBlocked(BoundsTest& test) {
  SimulatorOptions options;
  options.stripesPerSecond = 100;
  test.Measuring(options);
  if (::testing::Test::HasFatalFailure()) return {};
  // The scan stop is taken and answered only after the stop has given up waiting for it.
  test.sim_->holdReply(HeldReply{CMD_SCAN_STOP, static_cast<int>(SCAN_END_MS) + 3000, 1});
  test.HoldNextRecord(120000);
  EXPECT_TRUE(test.gate_.WaitHeld(5000));
  Observed observed = test.Time("MeasureStop", [&] { EXPECT_EQ(test.plugin_.MeasureStop(), 0); });
  EXPECT_GE(observed.ms, SCAN_END_MS + THREAD_END_MS - 1000) << "a wait was cut short";
  // Where no thread can be ended by force, the one inside the host ends once it returns.
  test.gate_.Release();
  return {observed};
}

std::vector<Observed> SettingsWindow(BoundsTest& test) {
  test.LoadConnected();
  // A second Config is called between the window's messages, as a host window procedure would:
  // on POSIX, where hosts have no message queue, there is no such moment.
  const bool hostMessages = PostToHostWindow([] {});
  std::unique_ptr<DialogDriver> driver = DialogDriver::Create();
  Observed raised{"Config"};
  std::atomic<std::chrono::steady_clock::rep> closed{0};
  Observed observed;
  int result = RunDialog(
      *driver,
      [&] {
        observed = test.Time("Config", [&] { test.plugin_.Config(); });
        observed.ms = MsSince(std::chrono::steady_clock::time_point(
            std::chrono::steady_clock::duration(closed.load())));
        return 0;
      },
      [&](DialogDriver& dialog) {
        ASSERT_TRUE(dialog.WaitOpen());
        if (hostMessages) {
          std::atomic<bool> done{false};
          ASSERT_TRUE(dialog.PostToDialogThread([&] {
            const auto start = std::chrono::steady_clock::now();
            EXPECT_EQ(test.plugin_.Config(), 0);
            raised.ms = MsSince(start);
            done = true;
          }));
          EXPECT_TRUE(WaitUntil([&] { return done.load(); }, 5000))
              << "the second Config did not return";
        }
        closed = std::chrono::steady_clock::now().time_since_epoch().count();
        EXPECT_TRUE(dialog.Cancel());
      });
  EXPECT_EQ(result, 0);
  observed.ms = std::max(observed.ms, raised.ms);
  return {observed};
}

std::vector<Observed> UnloadWithTheSinkBlockedAndNoScanEnd(BoundsTest& test) {
  SimulatorOptions options;
  options.stripesPerSecond = 100;
  test.Measuring(options);
  if (::testing::Test::HasFatalFailure()) return {};
  test.sim_->holdReply(HeldReply{CMD_SCAN_STOP, 60000, -1});
  // Where no thread can be ended by force, the host's call returns within the unload's wait for
  // it, as it must before the library's code goes: the sink's call then lasts 3 s.
  test.HoldNextRecord(
      platform::threadTerminateAvailable() ? 120000 : static_cast<int>(UNLOAD_SCAN_END_MS + 1000));
  EXPECT_TRUE(test.gate_.WaitHeld(5000));
  Observed observed = test.Time("unload", [&] { test.plugin_.Unload(); });
  test.gate_.Release();
  EXPECT_GE(observed.ms, UNLOAD_SCAN_END_MS - 1000) << "the scan's end was not awaited";
  return {observed};
}

TEST_P(BoundsTest, HeldInTheWorstCase) {
  const Bound& bound = GetParam();
  std::vector<Observed> results = bound.drive(*this);
  ASSERT_FALSE(results.empty());
  const bool windows = std::string(platform::kLibraryExtension) == ".dll";
  std::printf("bound-platform|%s\n", windows ? (sizeof(void*) == 8 ? "win64" : "win32") : "linux");
  // The row's place in the table, so that cases run side by side still print in its order.
  const auto row =
      std::find_if(std::begin(kBounds), std::end(kBounds),
                   [&](const Bound& b) { return std::string(b.exports) == bound.exports; }) -
      std::begin(kBounds);
  for (std::size_t i = 0; i < results.size(); ++i) {
    const Observed& observed = results[i];
    const double boundMs = observed.boundMs > 0.0 ? observed.boundMs : bound.boundMs;
    std::printf("bound|%03d.%02d|%s|%s|%s|%s|%.3f|%.0f|%s\n", static_cast<int>(row),
                static_cast<int>(i), observed.name.c_str(), bound.threads, bound.dispatches,
                observed.dispatched.c_str(), observed.ms, boundMs, bound.worstCase);
    EXPECT_LE(observed.ms, boundMs) << observed.name << ": " << bound.worstCase;
    EXPECT_LE(observed.ms, bound.caseMs) << observed.name << ": past what the case waits out";
    if (observed.dispatched != "n/a" && !observed.mayDispatch) {
      EXPECT_EQ(observed.dispatched, bound.dispatchesInCase ? "yes" : "no") << observed.name;
    }
  }
  std::fflush(stdout);
}

void PrintTo(const Bound& bound, std::ostream* out) { *out << bound.exports; }

std::string RowName(const ::testing::TestParamInfo<Bound>& info) {
  if (info.param.caseName != nullptr) return info.param.caseName;
  std::string name;
  for (const char* c = info.param.exports; *c != '\0' && *c != ' '; ++c) {
    if (std::isalnum(static_cast<unsigned char>(*c))) name += *c;
  }
  return name;
}

INSTANTIATE_TEST_SUITE_P(Exports, BoundsTest, ::testing::ValuesIn(kBounds), RowName);

}  // namespace
