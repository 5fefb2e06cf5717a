// The connection sequence's 60-second wait and the measurement start's 30-second wait, run
// against the console simulator with a clock that the test moves by hand: each limit is held to
// the millisecond, and a call that must not wait out a limit returns with the clock standing
// still.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "ChildProcess.h"
#include "EventSink.h"
#include "ManualClock.h"
#include "PluginFiles.h"
#include "TempDir.h"
#include "TestRegistry.h"
#include "Wait.h"
#include "platform/module.h"
#include "platform/socket.h"
#include "platform/testing.h"
#include "platform/time.h"
#include "platform/wait.h"
#include "shell/KvtScan3DLumora.h"
#include "tools/console-sim/ConsoleSimulator.h"
#include "wire/CommandCodes.h"

namespace {

using Words = std::vector<std::int32_t>;

// A call of the library on a thread of its own, while the test moves the clock.
class Call {
 public:
  explicit Call(std::function<std::int32_t()> call)
      : thread_([this, call = std::move(call)] { result_ = call(); }) {}
  ~Call() { thread_.join(); }
  Call(const Call&) = delete;
  Call& operator=(const Call&) = delete;

  bool Returned() const { return result_ != kRunning; }
  // Waits in real time for the call's return; its result, or kRunning after timeoutMs.
  std::int32_t Result(int timeoutMs = 10000) {
    static_cast<void>(WaitUntil([this] { return Returned(); }, timeoutMs));
    return result_;
  }
  static constexpr std::int32_t kRunning = -1000;

 private:
  std::atomic<std::int32_t> result_{kRunning};
  std::thread thread_;
};

// Holds a wait that began at start to a limit of limitMs: at start + limitMs the call still
// waits (after its wait has looked at the clock a few times), at one millisecond more it returns.
// The call's result.
std::int32_t HeldToItsLimit(ManualClock& clock, Call& call, std::uint32_t start,
                            std::uint32_t limitMs) {
  clock.Set(start + limitMs);
  EXPECT_TRUE(clock.WaitForLooks(3)) << "the wait does not look at the clock";
  EXPECT_FALSE(call.Returned()) << "the wait ended before its limit";
  clock.Set(start + limitMs + 1);
  std::int32_t result = call.Result();
  if (result == Call::kRunning) {
    ADD_FAILURE() << "the wait goes on past its limit";
    clock.Set(start + 10 * limitMs);  // so that the call ends with the test
    result = call.Result();
  }
  return result;
}

class TimeLimitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The console programs do not run. "AppDir" names the built programs, and a console started
    // from there ends at once without listening: the sequence waits for a handshake.
    registry_.SetAppDir(ProgramFolder());
    SetTestEnvironment("KVT_SIM_ARGS", "--help");
    scanner_ = std::make_unique<KvtScan3DLumora>(&status_);
    scanner_->Link().Log().SetDirectory(logFolder_.c_str());
    scanner_->Settings().SetShowToolBar(false);
  }
  void TearDown() override {
    SetTestEnvironment("KVT_SIM_ARGS", nullptr);
    scanner_.reset();
    if (sim_) sim_->stop();
  }
  void StartSimulator(const SimulatorOptions& options = {}) {
    sim_ = std::make_unique<ConsoleSimulator>(options);
    ASSERT_TRUE(sim_->start());
  }
  std::string Log() { return ReadDebugLog(logFolder_); }

  TempDir dir_;
  std::string logFolder_ = dir_.path().string();
  TestRegistry registry_{dir_.path().string()};
  std::int32_t status_ = 0;
  std::unique_ptr<KvtScan3DLumora> scanner_;
  std::unique_ptr<ConsoleSimulator> sim_;
};

TEST_F(TimeLimitTest, ConsoleThatNeverAnswersEndsTheWaitAfterSixtySeconds) {
  ManualClock clock;
  const std::uint32_t start = clock.Now();
  Call connect([this] { return scanner_->Connect(1); });
  // The wait has begun (its limit counts from the standing clock's time) once it looks again.
  EXPECT_TRUE(clock.WaitForLooks(2));
  EXPECT_EQ(HeldToItsLimit(clock, connect, start, 60000), 2);
  EXPECT_EQ(scanner_->IsConnected(), 0);
  std::string log = Log();
  EXPECT_NE(log.find("LinestudioConsole is not running: start it\n"), std::string::npos) << log;
  EXPECT_NE(log.find("OnConnect Failed. TimeOut\n"), std::string::npos) << log;
}

// A program that cannot be started will never answer: the connection fails at once, and the log
// names the program and the system's error.
TEST_F(TimeLimitTest, ProgramThatCannotBeStartedFailsTheConnectionAtOnce) {
  registry_.SetAppDir(dir_.file("nowhere"));
  ManualClock clock;  // standing still: a wait for the start-up limit would never end
  Call connect([this] { return scanner_->Connect(1); });
  EXPECT_EQ(connect.Result(), 2) << "the connection waited for the program";
  EXPECT_EQ(scanner_->IsConnected(), 0);
  // The file or its folder is missing: the system's code 2 or 3.
  std::string log = Log();
  const std::string::size_type line = log.find("Pb : cannot start ");
  ASSERT_NE(line, std::string::npos) << log;
  const std::string rest = log.substr(line);
  EXPECT_NE(rest.find("nowhere"), std::string::npos) << log;
  EXPECT_TRUE(
      rest.find("LineStudioConsole.exe [error 2].\nOnConnect Failed\n") != std::string::npos ||
      rest.find("LineStudioConsole.exe [error 3].\nOnConnect Failed\n") != std::string::npos)
      << log;
  EXPECT_EQ(log.find("TimeOut"), std::string::npos) << log;
}

// "AppDir" as an installer may write it, without its closing separator: the program is started
// from that folder all the same.
TEST_F(TimeLimitTest, AppDirWithoutItsSeparatorGetsOne) {
  registry_.SetAppDirAsWritten(dir_.file("nowhere"), false);
  EXPECT_EQ(scanner_->Connect(1), 2);
  std::string log = Log();
  EXPECT_NE(log.find("Pb : cannot start " + dir_.file("nowhere") + platform::kPathSeparator +
                     "LineStudioConsole.exe [error "),
            std::string::npos)
      << log;
}

// An expandable "AppDir" names its folder through an environment variable.
TEST_F(TimeLimitTest, ExpandableAppDirIsExpanded) {
  SetTestEnvironment("KVT_TEST_APP_FOLDER", dir_.path().string().c_str());
  std::string folder = dir_.file("nowhere");
  registry_.SetAppDirAsWritten("%KVT_TEST_APP_FOLDER%" + folder.substr(dir_.path().string().size()),
                               true);
  EXPECT_EQ(scanner_->Connect(1), 2);
  SetTestEnvironment("KVT_TEST_APP_FOLDER", nullptr);
  std::string log = Log();
  EXPECT_NE(log.find("Pb : cannot start " + folder + platform::kPathSeparator +
                     "LineStudioConsole.exe [error "),
            std::string::npos)
      << log;
}

TEST_F(TimeLimitTest, HandshakeAfterTheSixtySecondMarkStillCountsAsATimeOut) {
  StartSimulator();
  // Each look at the clock moves it on by 61 s: the first attempt, which succeeds, ends after
  // the limit.
  ManualClock clock;
  clock.StepEachLook(61000);
  EXPECT_EQ(scanner_->Connect(1), 2);
  // The link is up all the same, with the handshake's model start but nothing after it.
  EXPECT_EQ(scanner_->IsConnected(), 1);
  ASSERT_TRUE(sim_->waitForCommandWords(6, 5000));
  EXPECT_EQ(sim_->commandWords(), (Words{3925, 3928, 3936, 3923, 3961, 7}));
  EXPECT_NE(Log().find("OnConnect Failed. TimeOut\n"), std::string::npos);
  EXPECT_EQ(Log().find("Before Onmodelstart"), std::string::npos);
}

TEST_F(TimeLimitTest, ScanThatNeverBeginsEndsTheStartAfterThirtySeconds) {
  SimulatorOptions options;
  options.noScanBegin = true;
  StartSimulator(options);
  ASSERT_EQ(scanner_->Connect(2), 0);
  ManualClock clock;
  const std::uint32_t start = clock.Now();
  EventSink sink;
  Call measure([&] { return scanner_->MeasureStart(&sink); });
  EXPECT_TRUE(clock.WaitForLooks(2));
  EXPECT_EQ(HeldToItsLimit(clock, measure, start, 30000), 2);
  EXPECT_EQ(scanner_->Acquisition().Sink(), nullptr) << "the sink is stored only after the wait";
  EXPECT_EQ(scanner_->MeasureStop(), 1);
  Words words = sim_->commandWords();
  ASSERT_FALSE(words.empty());
  EXPECT_EQ(words.back(), 3872) << "no scan stop for a measurement that never started";
}

// A connect that the system takes seconds to decide, as Windows takes to refuse one to a
// loopback port where nothing listens: here a listener whose queue one connection fills, whose
// system drops every further attempt. The thread's messages are dispatched meanwhile, and the
// attempt gives up within its own bound.
TEST_F(TimeLimitTest, ConnectThatTakesSecondsToDecideDispatchesTheThreadsMessages) {
  int error = 0;
  ASSERT_TRUE(platform::socketsStart(&error)) << error;
  std::uint32_t loopback = 0;
  ASSERT_TRUE(platform::socketParseDotted("127.0.0.1", &loopback));
  platform::SocketHandle listener = platform::socketOpenTcp();
  // Under Wine, as on Linux, the port cannot be bound while an earlier test's connection on it
  // lingers in TIME_WAIT.
  if (!platform::WaitUntil(platform::Deadline(5000), platform::WaitPause::kSleep, 50, [&] {
        return platform::socketBind(listener, loopback, COMMAND_PORT);
      })) {
    platform::socketClose(listener);
    GTEST_SKIP() << "port " << COMMAND_PORT << " is still held by an earlier connection";
  }
  ASSERT_TRUE(platform::socketListen(listener, 0));
  platform::SocketHandle filler = platform::socketOpenTcp();
  ASSERT_TRUE(platform::socketConnect(filler, loopback, COMMAND_PORT));
  std::atomic<bool> dispatched{false};
  ASSERT_TRUE(platform::pumpPost(
      platform::pumpCurrentThread(),
      [](void* flag) { *static_cast<std::atomic<bool>*>(flag) = true; }, &dispatched));
  EXPECT_EQ(scanner_->Connect(2), 2);
  EXPECT_TRUE(dispatched) << "the connect held the thread's messages back";
  EXPECT_EQ(scanner_->IsConnected(), 0);
  platform::socketClose(filler);
  platform::socketClose(listener);
}

}  // namespace
