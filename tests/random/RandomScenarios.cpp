// Random scenarios through the exports of the built plug-in: one to three host threads make a
// sequence of calls drawn from a seed, sinks call the library back from inside their calls, and
// the console simulator in this process commits faults drawn from the same seed (held and cut
// replies, garbage, cut and stalled blocks, dropped connections, a console that dies and comes
// back). Every call is held to its result set and its bound, every sink call to the rules of a
// measurement, every record to the stripe it came from. Then the plug-in must unload within its
// bound, give back its threads and descriptors, and serve a fresh short measurement when loaded
// again. A failure prints the seed, every call with its result and duration, and the console's
// transcripts, merged by time.
//
// Usage: random_scenarios SEED [--seconds S] [--threads N] [--print]
// --print prints the timeline of a scenario that passed too.
// Exit status: 0 passed, 1 a rule was broken, 2 bad usage, 3 the surroundings could not be made.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "Console.h"
#include "Host.h"
#include "ProcessResources.h"
#include "TempDir.h"
#include "TestRegistry.h"
#include "Timeline.h"
#include "Wait.h"
#include "platform/socket.h"

namespace {

// The exports' bounds are sums of the library's time limits, which the sanitizers do not
// lengthen; their slowness shows in the margin.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KVT_SANITIZED 1
#include <sanitizer/common_interface_defs.h>
constexpr double kBoundFactor = 1.25;
constexpr double kSlackMs = 5000;
#else
constexpr double kBoundFactor = 1.0;
constexpr double kSlackMs = 2000;
#endif
// The unload's bound in the integration guide.
constexpr double kUnloadBoundMs = 70000;
constexpr int kRecordsWaitMs = 10000;
// How long a host whose sinks call the library back waits for one to be inside it before it
// unloads.
constexpr int kSinkInLibraryWaitMs = 3000;
// Waits that the watchdog bounds (every call past its bound ends the run).
constexpr int kForeverMs = 24 * 3600 * 1000;

struct Options {
  std::uint64_t seed = 0;
  double seconds = 15;
  int threads = 0;  // 0: drawn from the seed
  bool print = false;
};

bool ParseOptions(int argc, char** argv, Options* options) {
  if (argc < 2) return false;
  char* end = nullptr;
  options->seed = std::strtoull(argv[1], &end, 10);
  if (*end != '\0') return false;
  for (int i = 2; i < argc; ++i) {
    const std::string word = argv[i];
    if (word == "--print") {
      options->print = true;
    } else if (word == "--seconds" && i + 1 < argc) {
      options->seconds = std::atof(argv[++i]);
      if (options->seconds <= 0) return false;
    } else if (word == "--threads" && i + 1 < argc) {
      options->threads = std::atoi(argv[++i]);
      if (options->threads < 1 || options->threads > 3) return false;
    } else {
      return false;
    }
  }
  return true;
}

// The seed's parts: one generator per host thread, the console's and the sinks', each its own
// stream so that a change in one leaves the others as they were.
std::uint64_t SubSeed(std::uint64_t seed, std::uint64_t part) {
  std::seed_seq sequence{static_cast<std::uint32_t>(seed), static_cast<std::uint32_t>(seed >> 32),
                         static_cast<std::uint32_t>(part)};
  std::uint32_t words[2];
  sequence.generate(words, words + 2);
  return (static_cast<std::uint64_t>(words[0]) << 32) | words[1];
}

// Waits until the process holds no more threads and descriptors than at the start.
bool ResourcesBack(const ProcessResources& before, Timeline& timeline, const char* when) {
  ProcessResources now;
  if (WaitForResourcesBack(before, 5000, &now)) return true;
  timeline.Fail("%s: %d threads and %d descriptors, against %d and %d before", when, now.threads,
                now.handles, before.threads, before.handles);
  return false;
}

class Scenario {
 public:
  Scenario(const Options& options, int dialogInput)
      : options_(options),
        random_(SubSeed(options.seed, 0)),
        console_(DrawConsole(), timeline_, dir_.path().string()),
        host_(plugin_, console_, timeline_, kBoundFactor, kSlackMs, dialogInput) {}

  int Run();
  // What the host did and what the consoles saw, merged by time.
  void Report();

 private:
  SimulatorOptions DrawConsole() {
    SimulatorOptions sim;
    constexpr double kRates[] = {50, 100, 200, 1000};
    constexpr int kPoints[] = {20, 200, 200, 1000, 1000, 5000, 10000};
    sim.stripesPerSecond = kRates[random_() % 4];
    sim.pointsPerStripe = kPoints[random_() % 7];
    sim.streamOn = random_() % 3 == 0 ? SimStreamOn::Acquire : SimStreamOn::Scan;
    sim.stamped = true;
    sim.laserActive = random_() % 10 != 0;
    sim.probeDiameter = random_() % 2 == 0 ? 2.0f : 6.0f;
    char text[160];
    std::snprintf(text, sizeof text,
                  "%.0f stripes a second of %d points from each %s, the %s active",
                  sim.stripesPerSecond, sim.pointsPerStripe,
                  sim.streamOn == SimStreamOn::Scan ? "scan start" : "acquisition start",
                  sim.laserActive ? "laser" : "probe");
    consoleText_ = text;
    return sim;
  }

  void HostThread(int number, const std::vector<HostCall>& calls);
  void Watchdog();
  bool FreshMeasurement();
  bool BeforeEnd() const { return timeline_.Now() < options_.seconds * 1000.0; }

  const Options options_;
  std::mt19937_64 random_;
  std::string consoleText_;
  TempDir dir_;
  Timeline timeline_;
  PluginLibrary plugin_;
  ScenarioConsole console_;
  Host host_;
  std::atomic<bool> linkTried_{false};
  std::atomic<bool> watching_{true};
  std::atomic<bool> consoleStops_{false};
};

void Scenario::HostThread(int number, const std::vector<HostCall>& calls) {
  const std::string who = "T" + std::to_string(number);
  for (const HostCall& call : calls) {
    const ScenarioClock::time_point due =
        ScenarioClock::now() + std::chrono::milliseconds(call.pauseMs);
    static_cast<void>(
        WaitUntil([&] { return !BeforeEnd() || ScenarioClock::now() >= due; }, kForeverMs));
    if (!BeforeEnd()) break;
    host_.Call(call, who);
    linkTried_ = true;
  }
  linkTried_ = true;
}

// A call past its bound fails the scenario at once: a hung plug-in would otherwise hang the run.
void Scenario::Watchdog() {
  static_cast<void>(
      WaitUntil([this] { return !watching_ || !host_.NoneOverdue(); }, kForeverMs, 100));
  if (!watching_) return;
  Report();
  std::fflush(nullptr);
  std::_Exit(1);
}

// Load, connect, a short measurement and the unload, against a console that behaves: the
// process is whole after whatever came before.
bool Scenario::FreshMeasurement() {
  timeline_.Note("fresh measurement in the same process");
  if (!console_.Start(0, true)) return false;
  if (!plugin_.Load(PluginLibrary::BuiltPath())) {
    timeline_.Fail("the plug-in does not load again: %s", plugin_.error().c_str());
    return false;
  }
  auto call = [this](Op op, std::int32_t value = 0, ScenarioSink** sink = nullptr) {
    HostCall made;
    made.op = op;
    made.value = value;
    made.sinkSeed = 1;
    made.calmSink = true;
    return host_.Call(made, "F", sink);
  };
  bool ok = call(Op::Connect, 1) == 0 && call(Op::IsConnected) == 1;
  call(Op::SensorSet, 2);
  call(Op::ButtonModeSet, 0);
  ScenarioSink* sink = nullptr;
  ok = ok && call(Op::MeasureStart, 0, &sink) == 0;
  if (ok) {
    if (!WaitUntil([sink] { return sink->records() >= 3; }, kRecordsWaitMs)) {
      timeline_.Fail("the fresh measurement received %ld records", sink->records());
    }
    ok = call(Op::MeasureStop) == 0;
  } else {
    timeline_.Fail("the fresh measurement does not start");
  }
  call(Op::Connect, 0);
  const long unload = host_.Watch("F", "unload", kUnloadBoundMs * kBoundFactor + kSlackMs);
  plugin_.Unload();
  host_.Unwatch(unload);
  console_.Die();
  return ok;
}

void Scenario::Report() {
  std::fflush(stdout);
  std::printf("\nseed %llu: what the host did and what the consoles saw\n",
              static_cast<unsigned long long>(options_.seed));
  timeline_.Print(console_.Transcripts());
  if (timeline_.Failures() > 0) {
    std::printf("seed %llu FAILED: %d broken rules (the lines marked FAILED above)\n",
                static_cast<unsigned long long>(options_.seed), timeline_.Failures());
  }
  std::fflush(stdout);
}

int Scenario::Run() {
  const int threads = options_.threads > 0 ? options_.threads : 1 + static_cast<int>(random_() % 3);
  const bool withConfig = random_() % 2 == 0;
  const bool sinksCallDuringUnload = random_() % 2 == 0;
  const double faultGapMs = 300 + static_cast<double>(random_() % 1200);
  timeline_.Note(
      "seed %llu: %d host threads, %s, a console fault every %.0f ms on average, sinks %s the "
      "library during the unload; %s",
      static_cast<unsigned long long>(options_.seed), threads,
      withConfig ? "settings window included" : "no settings window", faultGapMs,
      sinksCallDuringUnload ? "call" : "do not call", consoleText_.c_str());

  std::thread watchdog([this] { Watchdog(); });
  struct Joined {
    std::atomic<bool>& watching;
    std::thread& watchdog;
    ~Joined() {
      watching = false;
      watchdog.join();
    }
  } joined{watching_, watchdog};
  const ProcessResources before = CountProcessResources();
  if (!console_.Start()) return 3;
  if (!plugin_.Load(PluginLibrary::BuiltPath())) {
    std::fprintf(stderr, "the plug-in does not load: %s\n", plugin_.error().c_str());
    return 3;
  }

  std::vector<std::vector<HostCall>> plans;
  plans.reserve(static_cast<std::size_t>(threads));
  for (int i = 0; i < threads; ++i) {
    plans.push_back(PlanHostThread(SubSeed(options_.seed, 1 + i), i == 0, withConfig));
  }
  std::vector<std::thread> hosts;
  hosts.reserve(plans.size());
  for (int i = 0; i < threads; ++i) {
    hosts.emplace_back([this, i, &plans] { HostThread(i + 1, plans[i]); });
  }
  // The console's faults begin once the plug-in has tried its link, and with it its data port.
  std::thread faults([this, faultGapMs] {
    static_cast<void>(WaitUntil([this] { return linkTried_ || consoleStops_; }, kForeverMs));
    console_.CommitFaults(SubSeed(options_.seed, 100), faultGapMs, consoleStops_);
  });
  for (std::thread& thread : hosts) thread.join();
  consoleStops_ = true;
  faults.join();

  // The host unloads the plug-in from its thread, outside any sink call, as its guide asks. Its
  // sinks may still be calling the library back, as a host cannot always prevent: the unload
  // waits for a sink call to return. Such a host unloads, if it can, while a sink is inside a
  // call to the library.
  if (sinksCallDuringUnload) {
    static_cast<void>(WaitUntil([this] { return host_.SinkInLibrary(); }, kSinkInLibraryWaitMs, 1));
  } else {
    host_.ShutSinkGate();
  }
  std::vector<std::string> complaints;
  const int consoleErrors = console_.Errors(&complaints);
  timeline_.Note("unload");
  host_.MarkUnloading();
  const ScenarioClock::time_point unloading = ScenarioClock::now();
  const long unload = host_.Watch("T1", "unload", kUnloadBoundMs * kBoundFactor + kSlackMs);
  plugin_.Unload();
  host_.Unwatch(unload);
  const double unloadMs =
      timeline_.MsSinceStart(ScenarioClock::now()) - timeline_.MsSinceStart(unloading);
  host_.MarkUnloaded();
  for (ScenarioSink* sink : host_.Sinks()) {
    if (sink->InCall()) timeline_.Fail("S%d is still in a call after the unload", sink->index());
  }
  host_.ShutSinkGate();
  timeline_.Note("unloaded after %.1f ms", unloadMs);
  if (unloadMs > kUnloadBoundMs * kBoundFactor + kSlackMs) {
    timeline_.Fail("the unload took %.0f ms, past its bound", unloadMs);
  }
  if (consoleErrors > 0) {
    for (const std::string& complaint : complaints) {
      timeline_.Fail("a console found the plug-in's answer wrong: %s", complaint.c_str());
    }
  }
  console_.Die();
  ResourcesBack(before, timeline_, "after the unload");
  FreshMeasurement();
  ResourcesBack(before, timeline_, "after the fresh measurement");

  const Host::Figures figures = host_.figures();
  long records = 0, sinkCalls = 0;
  for (ScenarioSink* sink : host_.Sinks()) {
    records += sink->records();
    sinkCalls += sink->calls();
  }
  std::printf(
      "seed %llu: %.1f s, %d host threads; %ld calls (%ld from sinks), %ld starts (%ld "
      "accepted); %ld sink calls, %ld records checked; %d console faults, %d deaths, %d "
      "consoles; unload %.0f ms; %s\n",
      static_cast<unsigned long long>(options_.seed), timeline_.Now() / 1000.0, threads,
      figures.calls, figures.fromSinks, figures.starts, figures.startsAccepted, sinkCalls, records,
      console_.FaultsCommitted(), console_.Deaths(), console_.Consoles(), unloadMs,
      consoleText_.c_str());
  if (timeline_.Failures() > 0 || options_.print) Report();
  if (timeline_.Failures() > 0) return 1;
  std::printf("seed %llu passed\n", static_cast<unsigned long long>(options_.seed));
  return 0;
}

// A crash or a sanitizer's report still prints what led to it, as well as it can.
Scenario* g_running = nullptr;

void ReportDeath() {
  if (g_running != nullptr) g_running->Report();
}

#ifndef KVT_SANITIZED
void ReportCrash(int signal) {
  std::fprintf(stderr, "random_scenarios: signal %d\n", signal);
  ReportDeath();
  std::_Exit(128 + signal);
}
#endif

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, &options)) {
    std::fprintf(stderr, "usage: random_scenarios SEED [--seconds S] [--threads 1-3] [--print]\n");
    return 2;
  }
  int started = 0;
  static_cast<void>(platform::socketsStart(&started));
  WarmUpProcessResources();

  // A host's surroundings: a fresh current folder, the registry's AppDir at the console programs
  // beside this program, and both programs running (on other ports), so that the plug-in starts
  // none and the console it talks to is the simulator in this process.
  TempDir home;
  CurrentDirectory cwd(home.path());
  TestRegistry registry(home.path().string());
  registry.SetAppDir(ProgramFolder());
  SetTestEnvironment("KVT_SIM_ARGS", nullptr);
  SetTestEnvironment("KVT_SIM_STARTS", nullptr);
  const std::string lifetime = std::to_string(static_cast<int>(options.seconds) + 900);
  ChildProcess console, companion;
  if (!console.Start(ProgramFolder() + "LineStudioConsole.exe",
                     {"--command-port", "42003", "--data-port", "42002", "--duration", lifetime}) ||
      !WaitForProcess("LineStudioConsole.exe", true, 10000) ||
      !companion.Start(ProgramFolder() + "linestudio.exe", {}) ||
      !WaitForProcess("linestudio.exe", true, 10000)) {
    std::fprintf(stderr, "the console programs do not start\n");
    return 3;
  }
  // The settings window reads what the user types from a pipe, and writes where nobody looks.
  int typed[2];
  const int nowhere = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (::pipe2(typed, O_CLOEXEC) != 0 || nowhere < 0 ||
      ::fcntl(typed[1], F_SETFL, O_NONBLOCK) != 0) {
    std::fprintf(stderr, "no pipe for the settings window\n");
    return 3;
  }
  SetTestEnvironment("KVT_DIALOG_INPUT", std::to_string(typed[0]).c_str());
  SetTestEnvironment("KVT_DIALOG_OUTPUT", std::to_string(nowhere).c_str());

  int status = 0;
  {
    Scenario scenario(options, typed[1]);
    g_running = &scenario;
#ifdef KVT_SANITIZED
    __sanitizer_set_death_callback(ReportDeath);
#else
    for (int signal : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT}) ::signal(signal, ReportCrash);
#endif
    status = scenario.Run();
    g_running = nullptr;
  }
  companion.Kill();
  console.Kill();
  return status;
}
