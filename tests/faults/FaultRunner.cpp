// The fault runs' program: one scripted scenario through the exports of the plug-in built with
// fault injection, against the console simulator, with a failure planned at one call site of the
// platform layer (or none, to count the sites the scenario reaches). It checks what a host must
// be able to rely on whatever fails: each export returns one of its documented results within its
// bound; a success is real (what it reports has happened) unless a failure shows, and after a
// failure that the plug-in rides out (RidesOut) every result and promise is as without one; no sink
// call overlaps another or comes after MeasureStop returned, and every record is whole; the unload
// keeps its bound; and afterwards a fresh load in the same process connects and measures, and
// the process holds no more threads and descriptors than before. scripts/faults runs it.
//
// Usage: fault_runner --list
//        fault_runner SCENARIO --work DIR [--plan FUNCTION@OFFSET:KIND:N]
// Without a plan the injector counts the sites, into DIR/report.txt. The verdict goes to standard
// output as lines "fired yes|no", "shown yes|no", "problem: ..." and "verdict ok|failed"; the
// plug-in's own standard output and error go to DIR/stdout.txt and DIR/stderr.txt.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "DialogDriver.h"
#include "ExportBounds.h"
#include "PluginFiles.h"
#include "ProcessResources.h"
#include "RawPeer.h"
#include "StalledOutput.h"
#include "TempDir.h"
#include "TestRegistry.h"
#include "Wait.h"
#include "shell/SensorEntry.h"
#include "tools/console-sim/ConsoleSimulator.h"
#include "tools/host/PluginLibrary.h"
#include "wire/CommandCodes.h"
#include "wire/WireRecords.h"

namespace {

// The runner's own output: the process's standard output before the plug-in's is redirected.
std::FILE* g_verdict = stdout;

constexpr int kPointsPerStripe = 200;
constexpr int kWaitMs = 5000;

double MsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

// A host's sink that checks what it is given as it is given: calls one at a time, none after
// the host's MeasureStop returned, and records that hold one stamped stripe each.
class CheckingSink : public MeasureSink {
 public:
  void OnButtonEvent2() override { Call(); }
  void OnButtonEvent4() override { Call(); }
  void BeginMeasure() override { Call(&begun); }
  void AddPassMeasure(MeasureRecord* record) override { Record(record, &passRecords); }
  void BeginPass() override { Call(&passes); }
  void EndPass() override { Call(&passEnds); }
  void AddFreeMeasure(MeasureRecord* record) override { Record(record); }
  void NotifyButton(std::int32_t /*button*/) override { Call(); }

  // The host's MeasureStop has returned: no call may come from now on.
  void Close() { closed_ = true; }

  std::atomic<int> begun{0};
  std::atomic<int> passes{0};
  std::atomic<int> passEnds{0};
  std::atomic<int> records{0};
  std::atomic<int> passRecords{0};
  std::atomic<int> torn{0};
  std::atomic<int> overlaps{0};
  std::atomic<int> afterStop{0};
  std::atomic<int> calls{0};

 private:
  void Call(std::atomic<int>* counter = nullptr) {
    if (inside_.fetch_add(1) != 0) ++overlaps;
    if (closed_) ++afterStop;
    ++calls;
    if (counter != nullptr) ++*counter;
    inside_.fetch_sub(1);
  }
  // A stamped stripe carries its number in the pose's x and in every point's x, and each point's
  // index in its y. A record that a button event freshened before any stripe holds none.
  void Record(const MeasureRecord* record, std::atomic<int>* counter = nullptr) {
    bool whole = record->pointCount == 0 || record->pointCount == kPointsPerStripe;
    for (int i = 0; whole && i < record->pointCount; ++i) {
      whole = record->points[3 * i] == record->position[0] &&
              record->points[3 * i + 1] == static_cast<double>(i);
    }
    if (!whole) ++torn;
    if (record->pointCount > 0) ++records;
    Call(counter);
  }

  std::atomic<int> inside_{0};
  std::atomic<bool> closed_{false};
};

// Failures that the plug-in rides out: a failed accept of the data channel's (a console that
// reset its connection before the accept, descriptors or buffers lacking for a moment) is said in
// the debug log, and the console's next connection is served. A run with one of them planned must
// go as a run without faults.
bool RidesOut(const std::string& plan) { return plan.rfind("socketAccept@", 0) == 0; }

// Whether the data channel answers an echo, as it does for the console.
bool DataChannelAnswers() {
  RawPeer peer;
  if (!peer.Connect(DATA_PORT)) return false;
  unsigned char echo[4 + ECHO_PAYLOAD_SIZE] = {};
  PutInt32(echo, DATA_ECHO);
  if (!peer.Send(echo, sizeof echo) || peer.ReadInt32() != DATA_ECHO_ACK) return false;
  return peer.Read(ECHO_REPLY_SIZE).size() == static_cast<std::size_t>(ECHO_REPLY_SIZE);
}

// One run: the plug-in, the console, the files, and what was seen.
class Run {
 public:
  Run(std::string work, bool ridesOut, const MessageBoxCloser& boxes)
      : work_(std::move(work)), ridesOut_(ridesOut), boxes_(boxes) {}

  // Calls an export, holds it to its bound and its documented results; true when its result is
  // one of those that report a failure, which then shows.
  template <typename Call>
  int Export(const std::string& name, double boundMs, std::initializer_list<int> documented,
             std::initializer_list<int> failing, Call call) {
    auto start = std::chrono::steady_clock::now();
    int result = call();
    double ms = MsSince(start);
    if (ms > boundMs) {
      Problem(name + " took " + std::to_string(static_cast<long>(ms)) + " ms, its bound is " +
              std::to_string(static_cast<long>(boundMs)));
    }
    if (std::find(documented.begin(), documented.end(), result) == documented.end()) {
      Problem(name + " returned " + std::to_string(result) + ", not one of its results");
    }
    if (std::find(failing.begin(), failing.end(), result) != failing.end()) shownByResult_ = true;
    return result;
  }

  // What a host is always owed.
  void Problem(const std::string& what) { problems_.push_back(what); }
  // What a success promised; it may fail only where a failure shows.
  void Expect(bool holds, const std::string& what) {
    if (!holds) promises_.push_back(what);
  }

  // The console simulator on the fixed ports, with both console programs counting as running.
  bool StartSimulator(SimulatorOptions options) {
    if (!PretendProgramsRun()) return false;
    options.stamped = true;
    options.pointsPerStripe = kPointsPerStripe;
    sim_ = std::make_unique<ConsoleSimulator>(options);
    std::string error;
    if (!sim_->start(&error)) {
      Problem("the simulator does not start: " + error);
      return false;
    }
    return true;
  }
  void StopSimulator() {
    if (sim_) sim_->stop();
    sim_.reset();
  }
  bool PretendProgramsRun() {
    if (ProcessRuns("LineStudioConsole.exe") && ProcessRuns("linestudio.exe")) return true;
    SetTestEnvironment("KVT_SIM_STARTS", nullptr);
    bool started = dummyConsole_.Start(
                       ProgramFolder() + "LineStudioConsole.exe",
                       {"--command-port", "42003", "--data-port", "42002", "--duration", "600"}) &&
                   WaitForProcess("LineStudioConsole.exe", true, kWaitMs) &&
                   dummyScanner_.Start(ProgramFolder() + "linestudio.exe", {}) &&
                   WaitForProcess("linestudio.exe", true, kWaitMs);
    if (!started) Problem("the stand-in console programs do not start");
    return started;
  }
  // The console program itself on the fixed ports, as a process that can die.
  bool StartConsoleProgram() {
    SetTestEnvironment("KVT_SIM_STARTS", nullptr);
    // Only its own options: those of KVT_SIM_ARGS are for a console that the plug-in starts, and
    // with --quit-on-disconnect this one would quit when the look for its port closes.
    const char* extra = std::getenv("KVT_SIM_ARGS");
    const std::string kept = extra != nullptr ? extra : "";
    SetTestEnvironment("KVT_SIM_ARGS", nullptr);
    bool started = dummyConsole_.Start(ProgramFolder() + "LineStudioConsole.exe",
                                       {"--stream", "scan", "--stamped", "--points",
                                        std::to_string(kPointsPerStripe), "--rate", "100"});
    SetTestEnvironment("KVT_SIM_ARGS", kept.empty() ? nullptr : kept.c_str());
    started = started && WaitForProcess("LineStudioConsole.exe", true, kWaitMs) &&
              dummyScanner_.Start(ProgramFolder() + "linestudio.exe", {}) &&
              WaitForProcess("linestudio.exe", true, kWaitMs) &&
              WaitForListener(COMMAND_PORT, kWaitMs);
    if (!started) Problem("the console program does not start");
    return started;
  }
  void KillConsole() { dummyConsole_.Kill(); }
  void EndConsolePrograms() {
    StopSimulator();
    dummyConsole_.Kill();
    dummyScanner_.Kill();
    // Natively the runner has a process namespace of its own, under Wine a server of its own.
    for (const char* program : {"LineStudioConsole.exe", "linestudio.exe"}) {
      KillProcesses(program);
      if (!WaitForProcess(program, false, kWaitMs)) Problem(std::string(program) + " does not end");
    }
  }

  bool Load() {
    if (!plugin_.Load(PluginLibrary::BuiltPath())) {
      Problem("the plug-in does not load: " + plugin_.error());
      return false;
    }
    return true;
  }
  void Unload() {
    if (!plugin_.loaded()) return;
    auto start = std::chrono::steady_clock::now();
    plugin_.Unload();
    double ms = MsSince(start);
    if (ms > UNLOAD_BOUND_MS) {
      Problem("the unload took " + std::to_string(static_cast<long>(ms)) + " ms, its bound is " +
              std::to_string(static_cast<long>(UNLOAD_BOUND_MS)));
    }
  }

  // The exports with their documented results and bounds.
  int Connect(int mode) {
    int result = Export("Connect(" + std::to_string(mode) + ")",
                        mode == 0 ? DISCONNECT_BOUND_MS : CONNECT_BOUND_MS, {0, 1, 2}, {1, 2},
                        [&] { return plugin_.Connect(mode); });
    if (mode != 0 && result == 0 && plugin_.IsConnected() != 1) {
      Problem("Connect(" + std::to_string(mode) + ") returned 0 with the link down");
    }
    return result;
  }
  int Reset() {
    return Export("Reset", RESET_BOUND_MS, {0, 1, 2}, {1, 2}, [&] { return plugin_.Reset(); });
  }
  int MeasureStart(CheckingSink* sink) {
    return Export("MeasureStart", MEASURE_START_BOUND_MS, {0, 1, 2}, {1, 2},
                  [&] { return plugin_.MeasureStart(sink); });
  }
  int MeasureStop(CheckingSink* sink) {
    int result = Export("MeasureStop", MEASURE_STOP_BOUND_MS, {0, 1, 2}, {2},
                        [&] { return plugin_.MeasureStop(); });
    if (sink != nullptr) sink->Close();
    return result;
  }
  int SensorGet(std::int32_t* type, double* radius, std::int32_t* kind) {
    return Export("SensorGet", SENSOR_GET_BOUND_MS, {0, 1, 2}, {1, 2},
                  [&] { return plugin_.SensorGet(type, radius, kind); });
  }
  int SensorGetList(SensorEntry* entries) {
    std::int32_t count = 0;
    int result = Export("SensorGetList", SENSOR_LIST_BOUND_MS, {0, 3}, {0},
                        [&] { return plugin_.SensorGetList(entries, 0, &count); });
    if (result == 3 && count != 3)
      Problem("SensorGetList returned 3 with a count of " + std::to_string(count));
    return result;
  }
  // An export that only stores or reads a setting, and one whose send may run the sequence.
  template <typename Call>
  int Field(const char* name, Call call) {
    return Export(name, NO_WAIT_MS, {0, 1, 2, 3, 4, 5, 0x100000}, {}, call);
  }
  template <typename Call>
  int OptionSend(const char* name, Call call) {
    return Export(name, OPTION_SEND_BOUND_MS, {0, 1, 2}, {1, 2}, call);
  }

  // The settings file holds the three options after the unload (or a line says it could not be
  // written).
  void ExpectSettingsWritten() {
    for (const char* key : {"DisplayToolBar", "DisplayStatusBar", "TypeScanning"}) {
      Expect(ReadSetting(work_ + "/KvtScanner.ini", key) != "<missing>",
             std::string("the settings file lacks ") + key + " after the unload");
    }
  }

  // Whether a failure shows anywhere a host or its operator looks: a failing result, a line on
  // the plug-in's standard output (it prints only failures there, but for the refused connections
  // while a console it started opens its port), a failure line of the debug log, a line of the
  // plug-in on standard error, or the message box.
  bool FailureShows() {
    if (shownByResult_ || boxes_.closed() > 0) return true;
    std::fflush(stdout);
    std::fflush(stderr);
    std::istringstream printed(TextLines(ReadWholeFile(work_ + "/stdout.txt")));
    for (std::string line; std::getline(printed, line);) {
      if (line != "Cannot connect to host [0x0000274D]") return true;
    }
    std::string errors = ReadWholeFile(work_ + "/stderr.txt");
    if (errors.find("KvtScanner:") != std::string::npos ||
        errors.find("Pb in QueryStringValue") != std::string::npos) {
      return true;
    }
    std::string log = ReadDebugLog(work_);
    for (const char* mark : {"Pb :", "Failed", "Probleme"}) {
      if (log.find(mark) != std::string::npos) return true;
    }
    return false;
  }

  // After the scenario, with no failure planned: a fresh load connects, measures and unloads.
  void FreshScenario() {
    EndConsolePrograms();
    SetTestEnvironment("KVT_FAULTS", nullptr);
    SimulatorOptions options;
    options.streamOn = SimStreamOn::Scan;
    options.stripesPerSecond = 100;
    if (!StartSimulator(options) || !Load()) return;
    CheckingSink sink;
    if (plugin_.Connect(1) != 0) Problem("afterwards, a fresh load does not connect");
    plugin_.SensorSet(2);
    plugin_.ButtonModeSet(0);
    if (plugin_.MeasureStart(&sink) != 0) {
      Problem("afterwards, a fresh load does not start a measurement");
    } else if (!WaitUntil([&] { return sink.records >= 3; }, kWaitMs)) {
      Problem("afterwards, a fresh measurement brings no records");
    }
    plugin_.MeasureStop();
    sink.Close();
    Unload();
    CheckSink(sink, "the fresh measurement");
    StopSimulator();
  }

  void CheckSink(const CheckingSink& sink, const std::string& which) {
    if (sink.overlaps > 0) Problem(which + ": sink calls overlapped");
    if (sink.afterStop > 0) Problem(which + ": a sink call came after MeasureStop returned");
    if (sink.torn > 0) Problem(which + ": " + std::to_string(sink.torn) + " records not whole");
  }

  PluginLibrary& plugin() { return plugin_; }
  ConsoleSimulator* sim() { return sim_.get(); }
  // The planned failure is one that the plug-in rides out (RidesOut).
  bool ridesOut() const { return ridesOut_; }
  // An export reported a failure.
  bool failedByResult() const { return shownByResult_; }
  const std::string& work() const { return work_; }
  const std::vector<std::string>& problems() const { return problems_; }
  const std::vector<std::string>& promises() const { return promises_; }

 private:
  std::string work_;
  const bool ridesOut_;
  PluginLibrary plugin_;
  std::unique_ptr<ConsoleSimulator> sim_;
  ChildProcess dummyConsole_;
  ChildProcess dummyScanner_;
  std::vector<std::string> problems_;
  std::vector<std::string> promises_;
  bool shownByResult_ = false;
  const MessageBoxCloser& boxes_;
};

// A measurement in one button mode against a console that streams from the scan start: records
// come, a pass opens and closes where the mode has passes, and the stop ends it all.
void Measure(Run& run, int buttonMode) {
  SimulatorOptions options;
  options.streamOn = SimStreamOn::Scan;
  options.stripesPerSecond = 100;
  if (!run.StartSimulator(options) || !run.Load()) return;
  PluginLibrary& plugin = run.plugin();
  CheckingSink sink;
  if (run.Connect(1) == 0) {
    run.Field("SensorSet", [&] { return plugin.SensorSet(2); });
    run.Field("ButtonModeSet", [&] { return plugin.ButtonModeSet(buttonMode); });
    run.Field("DetectSet", [&] { return plugin.DetectSet(1); });
    if (run.MeasureStart(&sink) == 0) {
      run.Expect(WaitUntil([&] { return sink.begun > 0; }, kWaitMs),
                 "no BeginMeasure though MeasureStart returned 0");
      if (buttonMode == 0) {
        run.Expect(WaitUntil([&] { return sink.records >= 3; }, kWaitMs),
                   "no records though MeasureStart returned 0");
      } else {
        // A record comes after the thread has cleared the toggle it starts with, and in button
        // mode 2 after the cycle that armed the trigger: the button then counts.
        static_cast<void>(WaitUntil([&] { return sink.records >= 1; }, kWaitMs));
        run.sim()->sendButton(1);
        // The second pass record comes from a cycle after the one that opened the pass: only
        // then is the trigger armed again (a press in the very next cycle counts as the same).
        run.Expect(WaitUntil([&] { return sink.passes > 0 && sink.passRecords >= 2; }, kWaitMs),
                   "no pass with records after the button");
        run.sim()->sendButton(1);
        run.Expect(WaitUntil([&] { return sink.passEnds > 0; }, kWaitMs),
                   "the second button closed no pass");
      }
    }
    run.MeasureStop(&sink);
  }
  run.Unload();
  run.CheckSink(sink, "the measurement");
}

// A measurement with the capture on, into a name with earlier captures beside it that the limit
// lets the new one replace: the capture's queue, thread, file, folder listing and removal.
void CapturedMeasure(Run& run) {
  // The file from the environment, which wins over the settings file's (a settings file that
  // cannot be read reads as one without a capture, and says nothing).
  const std::string name = run.work() + "/site.pcapng";
  SetTestEnvironment("KVT_CAPTURE", name.c_str());
  WriteWholeFile(run.work() + "/KvtScanner.ini", "[Capture]\r\nLimitMB=1\r\n");
  for (const char* stamp : {"20250101-000000", "20250102-000000"}) {
    WriteWholeFile(run.work() + "/site-" + stamp + ".pcapng", std::string(700000, '\0'));
  }
  Measure(run, 0);
  SetTestEnvironment("KVT_CAPTURE", nullptr);
  bool written = false;
  for (const auto& entry : std::filesystem::directory_iterator(run.work())) {
    const std::string file = entry.path().filename().string();
    const bool earlier = file.rfind("site-2025", 0) == 0;
    written = written || (file.rfind("site-", 0) == 0 && !earlier && entry.file_size() > 0);
  }
  run.Expect(written, "no capture file was written");
}

void Connecting(Run& run) {
  // No console runs: the plug-in starts the console program that the registry names.
  SetTestEnvironment("KVT_SIM_ARGS", "--quit-on-disconnect");
  if (!run.Load()) return;
  PluginLibrary& plugin = run.plugin();
  if (run.Connect(1) == 0) {
    run.Field("SoundGet", [&] { return plugin.SoundGet(); });
    // The data thread's first accept waits here, with nothing else to hide what became of it.
    if (run.ridesOut()) run.Expect(DataChannelAnswers(), "the data channel does not answer");
    run.Connect(0);
    run.Expect(plugin.IsConnected() == 0, "still connected after Connect(0)");
  }
  run.Unload();
}

void Queries(Run& run) {
  SimulatorOptions options;
  options.laserActive = false;
  options.probeDiameter = 3.0f;
  if (!run.StartSimulator(options) || !run.Load()) return;
  PluginLibrary& plugin = run.plugin();
  SensorEntry entries[3] = {};
  run.SensorGetList(entries);  // unconnected: no diameter
  if (run.Connect(1) == 0) {
    run.SensorGetList(entries);
    run.Field("SensorSet", [&] { return plugin.SensorSet(1); });
    std::int32_t type = 0;
    std::int32_t kind = 0;
    double radius = 0.0;
    if (run.SensorGet(&type, &radius, &kind) == 0) {
      run.Expect(kind == 1 && radius == 1.5, "SensorGet returned 0 without the probe's answer");
    }
    run.Field("SetDiameter", [&] { return plugin.SetDiameter(4.0f); });
    if (run.OptionSend("SoundSet", [&] { return plugin.SoundSet(0); }) == 0) {
      run.Expect(plugin.SoundGet() == 0, "SoundGet does not show the sound set");
      run.Expect(WaitUntil([&] { return run.sim()->sound() == 0; }, kWaitMs),
                 "SoundSet returned 0 and the console's sound stayed");
    }
    if (run.OptionSend("MouseSet", [&] { return plugin.MouseSet(4); }) == 0) {
      run.Expect(plugin.MouseGet() == 1, "MouseGet does not show the mouse mode set");
    }
    run.sim()->setLaserActive(true);
    if (run.SensorGet(&type, &radius, &kind) == 0) {
      run.Expect(kind == 4, "SensorGet returned 0 without the laser's answer");
    }
  }
  run.Unload();
}

void SettingsWindow(Run& run) {
  if (!run.StartSimulator({}) || !run.Load()) return;
  PluginLibrary& plugin = run.plugin();
  if (run.Connect(1) == 0) {
    std::unique_ptr<DialogDriver> driver = DialogDriver::Create();
    RunDialog(
        *driver,
        [&] {
          return run.Export("Config", CONNECT_BOUND_MS * 13, {0, 1, 2}, {2},
                            [&] { return plugin.Config(); });
        },
        [](DialogDriver& dialog) {
          if (!dialog.WaitOpen()) return;
          for (const ShownControl& control : dialog.Controls()) {
            // Every button that sends its command and every check box; OK and Cancel close it.
            const bool closes = control.id == 1 || control.id == 2;
            if (!closes && (control.kind == "button" || control.kind == "check")) {
              dialog.Click(control.id);
            }
          }
          dialog.Ok();
        });
  }
  run.Unload();
}

void Resetting(Run& run) {
  if (!run.StartSimulator({}) || !run.Load()) return;
  PluginLibrary& plugin = run.plugin();
  if (run.Connect(1) == 0) {
    if (run.Reset() == 0) {
      run.Expect(plugin.IsConnected() == 1, "not connected after Reset returned 0");
    }
    std::int32_t type = 0;
    run.SensorGet(&type, nullptr, nullptr);
  }
  run.Unload();
}

// The console program dies while a measurement streams, and the host unloads; then, a console
// that dies while the link is idle, and the host's next question, whose recovery starts the
// console again.
void ConsoleDies(Run& run) {
  SetTestEnvironment("KVT_SIM_ARGS", "--quit-on-disconnect");
  if (!run.StartConsoleProgram() || !run.Load()) return;
  PluginLibrary& plugin = run.plugin();
  CheckingSink sink;
  if (run.Connect(1) == 0) {
    run.Field("SensorSet", [&] { return plugin.SensorSet(2); });
    run.Field("ButtonModeSet", [&] { return plugin.ButtonModeSet(0); });
    if (run.MeasureStart(&sink) == 0) {
      run.Expect(WaitUntil([&] { return sink.records >= 3; }, kWaitMs),
                 "no records though MeasureStart returned 0");
    }
    run.KillConsole();
  }
  run.Unload();
  run.CheckSink(sink, "the measurement");
  if (!run.StartConsoleProgram() || !run.Load()) return;
  if (run.Connect(1) == 0) {
    run.KillConsole();
    std::int32_t type = 0;
    run.Field("SensorSet", [&] { return plugin.SensorSet(1); });
    run.SensorGet(&type, nullptr, nullptr);
  }
  run.Unload();
}

// Loaded, connected, unloaded, and loaded again to measure.
void Reloading(Run& run) {
  SimulatorOptions options;
  options.streamOn = SimStreamOn::Scan;
  options.stripesPerSecond = 100;
  if (!run.StartSimulator(options) || !run.Load()) return;
  run.Connect(1);
  run.Unload();
  if (!run.Load()) return;
  CheckingSink sink;
  if (run.Connect(1) == 0) {
    run.Field("SensorSet", [&] { return run.plugin().SensorSet(2); });
    if (run.MeasureStart(&sink) == 0) {
      run.Expect(WaitUntil([&] { return sink.records >= 3; }, kWaitMs),
                 "no records though MeasureStart returned 0");
    }
    run.MeasureStop(&sink);
  }
  run.Unload();
  run.CheckSink(sink, "the measurement");
}

struct Scenario {
  const char* name;
  void (*play)(Run&);
  // The scenario makes something fail itself, which then shows in every run.
  bool failsItself = false;
};

const Scenario kScenarios[] = {
    {"connect", Connecting},
    {"measure-free", [](Run& run) { Measure(run, 0); }},
    {"measure-toggled", [](Run& run) { Measure(run, 1); }},
    {"measure-passes", [](Run& run) { Measure(run, 2); }},
    {"measure-captured", CapturedMeasure},
    {"queries", Queries},
    {"settings-window", SettingsWindow},
    {"reset", Resetting},
    {"console-dies", ConsoleDies, true},
    {"reload", Reloading},
};

int Usage() {
  std::fprintf(stderr, "usage: fault_runner --list | SCENARIO --work DIR [--plan PLAN]\n");
  return 100;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--list") == 0) {
    for (const Scenario& scenario : kScenarios) std::printf("%s\n", scenario.name);
    return 0;
  }
  if (argc < 4 || std::strcmp(argv[2], "--work") != 0) return Usage();
  const Scenario* scenario = nullptr;
  for (const Scenario& s : kScenarios) {
    if (std::strcmp(s.name, argv[1]) == 0) scenario = &s;
  }
  if (scenario == nullptr) return Usage();
  // Absolute: the run changes into it.
  const std::string work = std::filesystem::absolute(argv[3]).string();
  std::string plan = "count";
  for (int i = 4; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--plan") == 0) plan = argv[i + 1];
  }

  const std::string report = work + "/report.txt";
  {
    CurrentDirectory cwd(work);
    TestRegistry registry(work);
    registry.SetAppDir(ProgramFolder());
    SetTestEnvironment("KVT_SIM_STARTS", (work + "/starts.txt").c_str());
    SetTestEnvironment("KVT_SIM_ARGS", nullptr);
    SetTestEnvironment("KVT_FAULTS", plan.c_str());
    SetTestEnvironment("KVT_FAULTS_REPORT", report.c_str());
    // The plug-in's standard output and error into files of the run's folder; the verdict keeps
    // the runner's own standard output.
    if (std::FILE* original = RedirectStandardStreams(work + "/stdout.txt", work + "/stderr.txt")) {
      g_verdict = original;
    }
    // The message box, closed as its user would (on Windows; elsewhere it goes to standard
    // error). Its thread is the runner's, counted before the plug-in's.
    MessageBoxCloser boxes;
    WarmUpProcessResources();
    const ProcessResources before = CountProcessResources();

    const bool ridesOut = RidesOut(plan) && !scenario->failsItself;
    Run run(work, ridesOut, boxes);
    auto started = std::chrono::steady_clock::now();
    scenario->play(run);
    run.Unload();
    run.ExpectSettingsWritten();
    // A receive that finds the connection closed is the console's hang-up, which a console that
    // means it announces no further: the plug-in's part is to go on serving, not to report it.
    const bool consoleHungUp = plan.find(":closed:") != std::string::npos;
    const bool shown = run.FailureShows() || consoleHungUp;
    const bool fired = ReadWholeFile(report).find("fired ") != std::string::npos;
    std::vector<std::string> problems = run.problems();
    if (ridesOut && run.failedByResult()) {
      problems.push_back("an export reported a failure that the plug-in rides out");
    }
    if (!shown || ridesOut) {
      for (const std::string& promise : run.promises()) {
        problems.push_back((shown ? "after a failure it rides out: " : "shown as success: ") +
                           promise);
      }
    }
    if (plan == "count" && shown && !scenario->failsItself)
      problems.push_back("a failure shows in a run without faults");
    const std::size_t scenarioProblems = run.problems().size();
    const double scenarioMs = MsSince(started);
    started = std::chrono::steady_clock::now();
    run.FreshScenario();
    run.EndConsolePrograms();
    for (std::size_t i = scenarioProblems; i < run.problems().size(); ++i) {
      problems.push_back(run.problems()[i]);
    }

    ProcessResources after;
    if (!WaitForResourcesBack(before, kWaitMs, &after)) {
      problems.push_back("kept afterwards: " + std::to_string(after.threads - before.threads) +
                         " threads, " + std::to_string(after.handles - before.handles) +
                         " descriptors");
    }
    std::fprintf(g_verdict, "fired %s\nshown %s\ntook %.0f ms, then %.0f ms afresh\n",
                 fired ? "yes" : "no", shown ? "yes" : "no", scenarioMs, MsSince(started));
    for (const std::string& problem : problems)
      std::fprintf(g_verdict, "problem: %s\n", problem.c_str());
    std::fprintf(g_verdict, "verdict %s\n", problems.empty() ? "ok" : "failed");
    std::fflush(g_verdict);
    return problems.empty() ? 0 : 1;
  }
}
