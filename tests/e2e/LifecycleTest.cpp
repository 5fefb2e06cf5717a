// The unload against what the plug-in's threads may be doing when it begins: a measurement's
// restart from a sink call, a recovery inside a program start or waiting for the console it
// started; and the order in which the console sees the unload, and a disconnect that comes while
// a connection sequence runs.
#include <algorithm>
#include <atomic>
#include <filesystem>
#include <thread>

#include "E2eFixture.h"
#include "EventSink.h"
#include "HostFaults.h"
#include "RawPeer.h"
#include "StalledOutput.h"
#include "Wait.h"
#include "datachannel/DataChannel.h"

namespace {

SimulatorOptions FastStream() {
  SimulatorOptions options;
  options.stripesPerSecond = 200;
  options.pointsPerStripe = 300;
  return options;
}

// A console program that runs but serves other ports: a recovery that starts it waits for the
// command port in vain. It ends on its own a few seconds later.
constexpr const char* kConsoleOnOtherPorts = "--command-port 42003 --data-port 42002 --duration 5";

class LifecycleTest : public E2eTest {
 protected:
  // A measurement in button mode 2 whose link has come down (a reply cut half-way) and whose
  // console program is gone: the next acquisition command of its thread, at a pass's start, runs
  // a recovery that starts the console again (serving other ports).
  void MeasureWithTheLinkAndTheConsoleGone(EventSink& sink) {
    ASSERT_NO_FATAL_FAILURE(MeasureWithTheLinkCut(FastStream(), sink));
    SetTestEnvironment("KVT_SIM_ARGS", kConsoleOnOtherPorts);
    dummyConsole_.Kill();
    ASSERT_TRUE(WaitForProcess("LineStudioConsole.exe", false, 10000));
  }
};

std::size_t CountOf(const Words& words, std::int32_t code) {
  return static_cast<std::size_t>(std::count(words.begin(), words.end(), code));
}

// Unloads on a thread of its own, which takes the loader lock first when asked to (as the
// system holds it while the library's detach runs), and says whether the unload returned within
// the bound. A hung unload cannot be recovered from: the test program ends there.
class Unloader {
 public:
  explicit Unloader(PluginLibrary& plugin) : plugin_(plugin) {}
  ~Unloader() {
    if (thread_.joinable()) thread_.join();
  }
  // Takes the loader lock on the unloading thread now, before whatever the test waits for next.
  void HoldLoaderLock() {
    thread_ = std::thread([this] {
      held_ = TakeLoaderLock();
      holding_ = true;
      AwaitGo();
      plugin_.Unload();
      if (held_) ReleaseLoaderLock();
      done_ = true;
    });
    ASSERT_TRUE(WaitUntil([this] { return holding_.load(); }, 10000, 1))
        << "the unloading thread did not start";
  }
  // Unloads now (on a thread of its own, the loader lock taken when asked for before).
  void Unload() {
    if (!thread_.joinable()) StartWithoutTheLock();
    go_ = true;
  }
  // Whether the unload returned within ms, saying nothing either way: for a test whose standard
  // output cannot take a failure's message now.
  bool ReturnedWithin(int ms) {
    if (!WaitUntil([this] { return done_.load(); }, ms)) return false;
    thread_.join();
    return true;
  }
  void WaitWithin(int ms) {
    if (!WaitUntil([this] { return done_.load(); }, ms)) {
      ADD_FAILURE() << "the unload did not return within " << ms << " ms";
      std::fflush(nullptr);
      std::abort();
    }
    thread_.join();
  }

 private:
  // The test's word to unload, with a bound: a test that never gives it has failed already.
  void AwaitGo() {
    static_cast<void>(WaitUntil([this] { return go_.load(); }, 120000, 1));
  }
  void StartWithoutTheLock() {
    thread_ = std::thread([this] {
      AwaitGo();
      plugin_.Unload();
      done_ = true;
    });
  }

  PluginLibrary& plugin_;
  std::thread thread_;
  std::atomic<bool> held_{false};
  std::atomic<bool> holding_{false};
  std::atomic<bool> go_{false};
  std::atomic<bool> done_{false};
};

// A sink that stops its measurement and starts another while the host unloads, the unload
// beginning right before the restart starts its thread. Under Windows' loader lock that thread
// cannot begin before the unload is over; the unload must not wait for it. (It did, for ever.)
TEST_F(LifecycleTest, RestartFromASinkCallWhileTheHostUnloadsLeavesNoThread) {
  // With scanning type 0 the start switches the console's acquisition on right before it starts
  // its thread: the moment the unload begins.
  WriteWholeFile(dir_.file("KvtScanner.ini"), "[Lumora]\nTypeScanning=0\n");
  EventSink& sink = NewSink();
  EventSink& next = NewSink();
  ASSERT_NO_FATAL_FAILURE(StartStreamingMeasurement(FastStream(), 1, sink));
  std::atomic<std::int32_t> restarted{-1};
  sink.OnNext("AddFreeMeasure", [&] {
    plugin_.MeasureStop();
    restarted = plugin_.MeasureStart(&next);
  });
  Unloader unloader(plugin_);
  ASSERT_TRUE(
      sim_->waitUntil([&] { return CountOf(sim_->commandWords(), CMD_SCAN_START) >= 2; }, 20000))
      << "no restart";
  unloader.HoldLoaderLock();
  ASSERT_TRUE(sim_->waitUntil([&] { return CountOf(sim_->commandWords(), CMD_ACQUIRE_START) >= 2; },
                              20000));
  unloader.Unload();
  unloader.WaitWithin(20000);
  // Whatever the restart answered, no thread is left behind: the fixture counts them once the
  // simulator has gone.
  EXPECT_TRUE(restarted == 0 || restarted == 2);
}

// A recovery on the acquisition thread that is inside the program start when the unload begins:
// under Windows' loader lock the shell's start waits for the lock, and the unload must not wait
// for it.
TEST_F(LifecycleTest, RecoveryInsideAProgramStartDoesNotHoldTheUnload) {
  EventSink& sink = NewSink();
  ASSERT_NO_FATAL_FAILURE(MeasureWithTheLinkAndTheConsoleGone(sink));
  Unloader unloader(plugin_);
  unloader.HoldLoaderLock();
  ASSERT_TRUE(sim_->sendButton(1));  // a pass begins: its acquisition command fails
  ASSERT_TRUE(sim_->waitUntil(
      [&] { return Log().find("LinestudioConsole is not running: start it") != std::string::npos; },
      10000))
      << "no recovery on the acquisition thread";
  unloader.Unload();
  unloader.WaitWithin(20000);
}

// A recovery on the acquisition thread waits for the console it started when the unload begins,
// and the console answers after the unload has closed the link: no connection is opened, and
// none is left behind. (One was, for good, and the console kept a command link to nothing.)
TEST_F(LifecycleTest, RecoveryThatOutlastsTheUnloadLeavesNoConnection) {
  EventSink& sink = NewSink();
  ASSERT_NO_FATAL_FAILURE(MeasureWithTheLinkAndTheConsoleGone(sink));
  // Nothing answers on the command port from now on; a stand-in for the console on the data
  // port presses the button that begins a pass, whose acquisition command fails.
  sim_->stop();
  RawPeer console;
  ASSERT_TRUE(console.Connect(DATA_PORT));
  ASSERT_TRUE(console.SendInt32(DATA_BUTTON));
  ASSERT_TRUE(console.SendInt32(1));
  ASSERT_EQ(console.ReadInt32(), DATA_BUTTON_ACK);
  ASSERT_EQ(console.Read(BUTTON_REPLY_SIZE).size(), static_cast<std::size_t>(BUTTON_REPLY_SIZE));
  ASSERT_FALSE(Starts(1).empty()) << "the recovery started no console";

  Unloader unloader(plugin_);
  unloader.Unload();
  // The unload has begun once the settings file is written; the console answers from then on.
  ASSERT_TRUE(
      sim_->waitUntil([&] { return std::filesystem::exists(dir_.file("KvtScanner.ini")); }, 10000));
  ConsoleSimulator late(FastStream());
  std::string error;
  ASSERT_TRUE(late.start(&error)) << error;
  unloader.WaitWithin(20000);
  EXPECT_TRUE(late.waitUntil([&] { return !late.commandConnected(); }, 5000))
      << "a connection made during the unload was left open";
  late.stop();
}

// Connect(0) while Connect(1) on another thread waits for the console it started: the disconnect
// wins, the sequence gives up, and the link stays down when the console answers afterwards.
TEST_F(LifecycleTest, DisconnectDuringAConnectionSequenceWins) {
  SetTestEnvironment("KVT_SIM_ARGS", kConsoleOnOtherPorts);
  Load();
  std::atomic<std::int32_t> connected{-1};
  std::thread host([&] { connected = plugin_.Connect(1); });
  const bool started = !Starts(1).empty();
  EXPECT_EQ(plugin_.Connect(0), 0);
  StartSimulator();
  const bool returned = sim_->waitUntil([&] { return connected != -1; }, 70000);
  host.join();
  ASSERT_TRUE(started) << "the sequence started no console";
  ASSERT_TRUE(returned);
  EXPECT_EQ(connected, 2) << "the sequence connected after the host's disconnect";
  EXPECT_EQ(plugin_.IsConnected(), 0);
  EXPECT_FALSE(sim_->commandConnected());
}

// The unload of a host that never stopped its measurement: the console gets the scan stop, and
// the hides and the disconnect only once the data channel has taken the end of scanning, after
// its pause behind the console's end notice, as a stop by the host gives them.
TEST_F(LifecycleTest, UnloadWhileScanningDisconnectsAfterTheEndOfScanningIsTaken) {
  EventSink& sink = NewSink();
  ASSERT_NO_FATAL_FAILURE(StartStreamingMeasurement(FastStream(), 1, sink));
  std::atomic<bool> watching{true};
  std::atomic<std::uint32_t> scanStopAt{0}, hideAt{0};
  std::thread watcher([&] {
    const std::size_t before = sim_->commandWords().size();
    while (watching && hideAt == 0) {
      Words words = sim_->commandWords();
      auto from = words.begin() + static_cast<long>(before);
      auto stop = std::find(from, words.end(), CMD_SCAN_STOP);
      if (scanStopAt == 0 && stop != words.end()) scanStopAt = platform::tickCount();
      if (stop != words.end() && std::find(stop, words.end(), CMD_STATUS_HIDE) != words.end()) {
        hideAt = platform::tickCount();
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  UnloadWithin(15000);
  ASSERT_TRUE(sim_->waitUntil([&] { return hideAt != 0; }, 5000));
  watching = false;
  watcher.join();
  ASSERT_NE(scanStopAt, 0u);
  // The console sends its end notice when it takes the scan stop; the data channel clears the
  // scanning flag a pause later.
  EXPECT_GE(hideAt - scanStopAt, DATA_END_PAUSE_MS - 50)
      << "the status window was hidden before the end of scanning was taken";
}

// A host whose standard output is a pipe that nobody reads, and a console that resets its data
// connection: the plug-in's messages about the failed read and the failed shutdown are left out
// and counted in the debug log, never waited for. (The data thread waited in its print, at the
// close under the channel's lock: the unload then waited for ever, or left the thread to return
// into the unloaded library once the pipe was read.)
TEST_F(LifecycleTest, StandardOutputThatNobodyReadsNeverHoldsTheUnload) {
  LoadConnected();
  RawPeer reset;
  ASSERT_TRUE(reset.Connect(DATA_PORT));
  RawPeer next;
  Unloader unloader(plugin_);
  bool answered = false;
  bool unloaded = false;
  {
    // Nothing may print from here until the output is back: not even a failed assertion.
    StalledOutput stalled;
    if (!stalled.ready()) GTEST_SKIP() << "the standard output cannot be replaced here";
    CloseWithReset(reset.Release());
    // The thread accepts the next connection and answers it only once done with the reset one.
    answered = next.Connect(DATA_PORT) && next.SendInt32(DATA_ECHO) &&
               next.Send(std::vector<unsigned char>(ECHO_PAYLOAD_SIZE)) &&
               next.ReadInt32() == DATA_ECHO_ACK;
    unloader.Unload();
    unloaded = unloader.ReturnedWithin(20000);
    stalled.Restore();
  }
  if (!unloaded) {
    ADD_FAILURE() << "the unload did not return within 20 s";
    std::fflush(nullptr);
    std::abort();
  }
  EXPECT_TRUE(answered) << "the data channel waited for the standard output";
  EXPECT_NE(Log().find("messages left out of standard output and error"), std::string::npos)
      << Log();
}

}  // namespace
