// The host's side of a random scenario: the calls each host thread makes, drawn from the seed;
// the sinks that measurements call and that call back into the library; and the rules that every
// export call and every sink call is held to.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "Console.h"
#include "Timeline.h"
#include "shell/MeasureSink.h"
#include "tools/host/PluginLibrary.h"

enum class Op {
  ButtonModeAvailable,
  ButtonModeGet,
  ButtonModeSet,
  Config,
  Connect,
  DetectGet,
  DetectSet,
  GetPluginVersion,
  IsConnected,
  MeasureStart,
  MeasureStop,
  MouseGet,
  MouseSet,
  Reset,
  SensorGet,
  SensorGetList,
  SensorSet,
  SetDiameter,
  SoundGet,
  SoundSet,
};

struct HostCall {
  Op op = Op::IsConnected;
  std::int32_t value = 0;      // the argument of Connect and of the setters
  float diameter = 0.0f;       // SetDiameter's
  int pauseMs = 0;             // before the call
  std::uint64_t sinkSeed = 0;  // MeasureStart: its sink's conduct; 0 passes a null sink
  bool calmSink = false;       // MeasureStart: a sink that only checks what it receives
  std::string dialog;          // Config: what the user types into the window, line by line
};

std::string Describe(const HostCall& call);

// The calls of one host thread, more than it will have time for, drawn from seed. The first
// thread connects first, as a host does.
std::vector<HostCall> PlanHostThread(std::uint64_t seed, bool first, bool withConfig);

class Host;

// A measurement's sink. It checks every call it receives as it begins (one thread at a time,
// none after its measurement was stopped, in the order a measurement calls, every record whole
// and no older than the last) and, as its seed says, blocks, throws or calls the library back.
class ScenarioSink : public MeasureSink {
 public:
  ScenarioSink(Host& host, int index, std::uint64_t seed, bool calm);

  void OnButtonEvent2() override { Called("OnButtonEvent2", nullptr); }
  void OnButtonEvent4() override { Called("OnButtonEvent4", nullptr); }
  void BeginMeasure() override { Called("BeginMeasure", nullptr); }
  void AddPassMeasure(MeasureRecord* record) override { Called("AddPassMeasure", record); }
  void BeginPass() override { Called("BeginPass", nullptr); }
  void EndPass() override { Called("EndPass", nullptr); }
  void AddFreeMeasure(MeasureRecord* record) override { Called("AddFreeMeasure", record); }
  void NotifyButton(std::int32_t button) override;

  int index() const { return index_; }
  bool InCall() const { return inCall_; }
  long records() const { return records_; }
  long calls() const { return calls_; }

  // Bookkeeping of the host: the start's result, and the stop that ended the measurement.
  void Started(std::int32_t result, long sequence);
  long StartedAt() const { return startedAt_; }
  bool Open() const { return startResult_ == 0 && !closed_; }
  void Close(double atMs);

 private:
  void Called(const char* name, const MeasureRecord* record);
  // The rules of a call's beginning; the sink's lock is held.
  void CheckBegin(const char* name);
  void CheckRecord(const char* name, const MeasureRecord* record);
  // What the seed makes the host do inside the call.
  void Conduct(const char* name);

  Host& host_;
  const int index_;
  const bool calm_;
  std::atomic<int> startResult_{-1};
  std::atomic<long> startedAt_{-1};
  std::atomic<bool> closed_{false};
  std::atomic<double> closedAtMs_{0.0};
  std::atomic<bool> inCall_{false};
  std::atomic<long> records_{0};
  std::atomic<long> calls_{0};

  std::mutex mutex_;  // the rest; never held while the library is called
  std::mt19937_64 random_;
  double blockChance_;
  int blockMostMs_;
  double throwChance_;
  double callChance_;
  std::thread::id thread_;
  std::string last_;  // the name of the last call
  bool inPass_ = false;
  double lastNumber_[2] = {0.0, 0.0};  // the last stamped number, laser and probe
};

// Makes the scenario's export calls, from the host's threads and from inside sinks, and keeps
// what the rules need: calls in flight, measurements started and stopped, values set.
class Host {
 public:
  // A call may last its bound from the integration guide times factor, plus slackMs.
  Host(PluginLibrary& plugin, ScenarioConsole& console, Timeline& timeline, double factor,
       double slackMs, int dialogInput);

  // Makes one call and checks its result and its duration; who names the calling thread. A
  // MeasureStart's sink is left in *sink.
  std::int32_t Call(const HostCall& call, const std::string& who, ScenarioSink** sink = nullptr);
  // What runs past limitMs is a failure that the watchdog reports (NoneOverdue). Any thread.
  long Watch(const std::string& who, const std::string& text, double limitMs);
  void Unwatch(long id);
  // Fails every watched step that has run past its bound; false when there was one.
  bool NoneOverdue();

  // Sinks: made for MeasureStart, kept until the end. Any thread.
  ScenarioSink* NewSink(std::uint64_t seed, bool calm = false);
  std::vector<ScenarioSink*> Sinks();

  // Sinks call the library only while the gate is open; Shut waits for those inside to leave.
  // Whether a sink is inside such a call now.
  bool SinkInLibrary();
  bool EnterFromSink();
  void LeaveFromSink();
  void ShutSinkGate();

  // The unload begins: a sink's call into the library may find no scanner object from now on.
  void MarkUnloading() { unloading_ = true; }
  // The unload has returned: from now on a call of any sink made so far is a fault.
  void MarkUnloaded();
  bool Unloaded(const ScenarioSink& sink) const { return sink.index() < unloadedSinks_; }
  // The latest successful MeasureStart, as a sequence number.
  long LatestStart() const { return latestStart_; }

  Timeline& timeline() { return timeline_; }

  struct Figures {
    long calls = 0;
    long fromSinks = 0;
    long starts = 0;
    long startsAccepted = 0;
    std::map<Op, double> longestMs;
  };
  Figures figures();

  // Bound of an export in milliseconds, as the integration guide gives it.
  static double BoundMs(const HostCall& call);

 private:
  std::int32_t Invoke(const HostCall& call, const std::string& who, ScenarioSink** sink);
  // Closes every sink whose measurement was started before the stop numbered sequence.
  void Stopped(long sequence);
  void CheckResult(const HostCall& call, std::int32_t result, const std::string& text,
                   bool unloading);

  PluginLibrary& plugin_;
  ScenarioConsole& console_;
  Timeline& timeline_;
  const double factor_;
  const double slackMs_;
  const int dialogInput_;

  std::atomic<long> nextCall_{0};
  std::atomic<long> sequence_{0};
  std::atomic<long> latestStart_{-1};
  // Export calls in flight, and a stamp that every call's beginning and end moves on.
  std::atomic<int> inFlight_{0};
  std::atomic<long> callStamp_{0};
  std::atomic<int> unloadedSinks_{0};
  std::atomic<bool> unloading_{false};

  std::mutex mutex_;
  struct Flight {
    std::string who;
    std::string text;
    ScenarioClock::time_point start;
    double limitMs;
    bool reported;
  };
  std::map<long, Flight> flights_;
  std::deque<std::unique_ptr<ScenarioSink>> sinks_;
  std::set<std::int32_t> buttonModes_{0};
  std::set<std::int32_t> detectModes_{0};
  std::set<std::int32_t> sensorTypes_{1, 2, 3};
  bool gateOpen_ = true;
  int inFromSinks_ = 0;
  Figures figures_;
};
