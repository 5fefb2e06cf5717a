// End-to-end fixture: the built plug-in loaded by path in a fresh folder, the registry pointing
// at the folder of the console programs, and the console simulator on the fixed ports.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "ChildProcess.h"
#include "EventSink.h"
#include "PluginFiles.h"
#include "ProcessResources.h"
#include "TempDir.h"
#include "TestRegistry.h"
#include "Wait.h"
#include "platform/time.h"
#include "tools/console-sim/ConsoleSimulator.h"
#include "tools/host/PluginLibrary.h"

using Words = std::vector<std::int32_t>;

// Milliseconds that call takes.
template <typename Call>
std::uint32_t Timed(Call call) {
  std::uint32_t start = platform::tickCount();
  call();
  return platform::tickCount() - start;
}

class E2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static const bool warm = [] {
      WarmUpProcessResources();
      return true;
    }();
    (void)warm;
    before_ = CountProcessResources();
    cwd_ = std::make_unique<CurrentDirectory>(dir_.path());
    registry_ = std::make_unique<TestRegistry>(dir_.path().string());
    registry_->SetAppDir(ProgramFolder());
    starts_ = dir_.file("starts.txt");
    SetTestEnvironment("KVT_SIM_STARTS", starts_.c_str());
    SetTestEnvironment("KVT_SIM_ARGS", nullptr);
    ASSERT_TRUE(WaitForProcess("LineStudioConsole.exe", false, 10000))
        << "a console of an earlier test still runs";
    ASSERT_TRUE(WaitForProcess("linestudio.exe", false, 10000));
  }

  void TearDown() override {
    UnloadWithin(20000);
    if (sim_) sim_->stop();
    // Their locks and events are the test's, not the plug-in's.
    sim_.reset();
    sinks_.clear();
    dummyConsole_.Kill();
    dummyScanner_.Kill();
    // Consoles that the plug-in started quit when their command connection ends.
    EXPECT_TRUE(WaitForProcess("LineStudioConsole.exe", false, 10000));
    EXPECT_TRUE(WaitForProcess("linestudio.exe", false, 10000));
    SetTestEnvironment("KVT_SIM_STARTS", nullptr);
    SetTestEnvironment("KVT_SIM_ARGS", nullptr);
    registry_.reset();
    cwd_.reset();
    ExpectNothingKept();
  }

  // Every thread, socket, file and handle of the plug-in, the simulator and the programs is
  // given back (threads may take a moment to go once they have said they are done).
  void ExpectNothingKept() {
    ProcessResources now;
    if (!WaitForResourcesBack(before_, 5000, &now)) {
      ADD_FAILURE() << "kept after the test: " << now << " against " << before_ << " before it";
    }
  }

  void StartSimulator(const SimulatorOptions& options = {}) {
    sim_ = std::make_unique<ConsoleSimulator>(options);
    std::string error;
    ASSERT_TRUE(sim_->start(&error)) << error;
  }

  // Both console programs count as running, without serving the fixed ports: the simulator in
  // this process is the console the plug-in talks to.
  void PretendConsoleRuns() {
    SetTestEnvironment("KVT_SIM_STARTS", nullptr);
    ASSERT_TRUE(dummyConsole_.Start(
        ProgramFolder() + "LineStudioConsole.exe",
        {"--command-port", "42003", "--data-port", "42002", "--duration", "300"}));
    SetTestEnvironment("KVT_SIM_STARTS", starts_.c_str());
    ASSERT_TRUE(WaitForProcess("LineStudioConsole.exe", true, 10000));
  }
  void PretendProgramsRun() {
    PretendConsoleRuns();
    SetTestEnvironment("KVT_SIM_STARTS", nullptr);
    ASSERT_TRUE(dummyScanner_.Start(ProgramFolder() + "linestudio.exe", {}));
    SetTestEnvironment("KVT_SIM_STARTS", starts_.c_str());
    ASSERT_TRUE(WaitForProcess("linestudio.exe", true, 10000));
  }

  // The console program itself serves the fixed ports, as a process a test can kill, and the
  // scanner program counts as running.
  void StartConsoleProgram(const std::vector<std::string>& arguments) {
    SetTestEnvironment("KVT_SIM_STARTS", nullptr);
    ASSERT_TRUE(dummyConsole_.Start(ProgramFolder() + "LineStudioConsole.exe", arguments));
    // The companion ends at once when it finds no console among the running programs.
    ASSERT_TRUE(WaitForProcess("LineStudioConsole.exe", true, 10000));
    ASSERT_TRUE(dummyScanner_.Start(ProgramFolder() + "linestudio.exe", {}));
    SetTestEnvironment("KVT_SIM_STARTS", starts_.c_str());
    ASSERT_TRUE(WaitForProcess("linestudio.exe", true, 10000));
    ASSERT_TRUE(WaitForListener(COMMAND_PORT, 10000));
    // A console the plug-in starts again once this one is gone ends with the test.
    SetTestEnvironment("KVT_SIM_ARGS", "--quit-on-disconnect");
  }

  // A sink that outlives the test's body, so that a test that fails half-way still unloads the
  // plug-in (in TearDown) before its measurement's sink goes away.
  EventSink& NewSink() {
    sinks_.push_back(std::make_unique<EventSink>());
    return *sinks_.back();
  }

  void Load() { ASSERT_TRUE(plugin_.Load(PluginLibrary::BuiltPath())) << plugin_.error(); }

  // Connected to the simulator with both console programs counting as running.
  void LoadConnected(const SimulatorOptions& options = {}) {
    PretendProgramsRun();
    StartSimulator(options);
    Load();
    ASSERT_EQ(plugin_.Connect(1), 0);
    ASSERT_EQ(plugin_.IsConnected(), 1);
  }

  // Connected to a console that streams laser stripes from the scan start, with a measurement of
  // the laser running in the given button mode.
  void StartStreamingMeasurement(SimulatorOptions options, int buttonMode, EventSink& sink) {
    options.streamOn = SimStreamOn::Scan;
    LoadConnected(options);
    plugin_.SensorSet(2);
    plugin_.ButtonModeSet(buttonMode);
    ASSERT_EQ(plugin_.MeasureStart(&sink), 0);
    // A free record comes after the thread has cleared the toggle it starts with, so a button
    // the test sends from now on counts.
    ASSERT_TRUE(sink.WaitFor("AddFreeMeasure"));
  }

  // A measurement in button mode 2 whose command link a cut answer has dropped: the next
  // acquisition command of its thread runs a recovery.
  void MeasureWithTheLinkCut(SimulatorOptions options, EventSink& sink) {
    options.cutReplies.push_back(CMD_PROBE_QUERY);
    ASSERT_NO_FATAL_FAILURE(StartStreamingMeasurement(options, 2, sink));
    SensorEntry entries[3];
    std::int32_t count = 0;
    plugin_.SensorGetList(entries, 0, &count);
    ASSERT_EQ(plugin_.IsConnected(), 0);
  }

  // The same, and a button whose pass start finds no connection: the acquisition thread runs the
  // recovery, which waits in the handshake for a console that takes the connection and never
  // answers its first question.
  void StartARecoveryThatWaitsForTheConsole(SimulatorOptions options, EventSink& sink) {
    ASSERT_NO_FATAL_FAILURE(MeasureWithTheLinkCut(std::move(options), sink));
    sim_->holdReply(HeldReply{CMD_HANDSHAKE_A, 600000, -1});
    const std::size_t before = sim_->commandWords().size();
    ASSERT_TRUE(sim_->sendButton(1));
    ASSERT_TRUE(WaitForWord(before, CMD_HANDSHAKE_A, 5000))
        << "no recovery on the acquisition thread";
  }

  // Whether the console receives code after the first skip words within timeoutMs.
  bool WaitForWord(std::size_t skip, std::int32_t code, int timeoutMs) {
    return WaitUntil(
        [&] {
          Words words = sim_->commandWords();
          return std::find(words.begin() + static_cast<long>(std::min(skip, words.size())),
                           words.end(), code) != words.end();
        },
        timeoutMs);
  }

  // Unloads on another thread and fails the test when that takes longer than the bound: an
  // unload that hangs would hang the host.
  void UnloadWithin(int ms) {
    if (!plugin_.loaded()) return;
    auto unloaded = std::async(std::launch::async, [this] { plugin_.Unload(); });
    if (unloaded.wait_for(std::chrono::milliseconds(ms)) != std::future_status::ready) {
      ADD_FAILURE() << "unloading took more than " << ms << " ms";
      std::fflush(nullptr);
      std::abort();
    }
  }

  // The words the simulator received after the first skip, once count of them have arrived.
  Words WordsAfter(std::size_t skip, std::size_t count) {
    sim_->waitForCommandWords(skip + count, 5000);
    Words words = sim_->commandWords();
    return Words(words.begin() + static_cast<long>(std::min(skip, words.size())), words.end());
  }

  // Text files as written: Windows writes its C runtime's text mode line ends.
  static std::string Lines(std::string text) { return TextLines(std::move(text)); }
  std::string RawLog() { return ReadRawDebugLog(dir_.path().string()); }
  std::string Log() { return ReadDebugLog(dir_.path().string()); }
  // Waits until the debug log holds text; false after timeoutMs.
  bool WaitForLog(const std::string& text, int timeoutMs = 10000) {
    return WaitUntil([&] { return Log().find(text) != std::string::npos; }, timeoutMs);
  }
  // The program starts recorded so far, once at least lines of them are there (a started program
  // records itself when it runs, which may be after the plug-in has moved on).
  std::string Starts(int lines = 0) {
    std::string text;
    WaitUntil(
        [&] {
          text = TextLines(ReadWholeFile(starts_));
          return std::count(text.begin(), text.end(), '\n') >= lines;
        },
        5000, 20);
    return text;
  }

  ProcessResources before_;
  std::vector<std::unique_ptr<EventSink>> sinks_;
  TempDir dir_;
  std::unique_ptr<CurrentDirectory> cwd_;
  std::unique_ptr<TestRegistry> registry_;
  std::string starts_;
  std::unique_ptr<ConsoleSimulator> sim_;
  ChildProcess dummyConsole_;
  ChildProcess dummyScanner_;
  PluginLibrary plugin_;
};
