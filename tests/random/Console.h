// The console of a random scenario: the simulator in this process on the fixed ports, started
// again after each of its deaths as a new console that numbers its stripes on from the last one,
// and the faults it commits, drawn from the scenario's seed.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Timeline.h"
#include "tools/console-sim/ConsoleSimulator.h"

class ScenarioConsole {
 public:
  // Transcripts go into folder, one file per console started.
  ScenarioConsole(const SimulatorOptions& options, Timeline& timeline, std::string folder);
  ~ScenarioConsole() { Die(); }
  ScenarioConsole(const ScenarioConsole&) = delete;
  ScenarioConsole& operator=(const ScenarioConsole&) = delete;

  // A new console on the fixed ports, its command port open after listenDelayMs. False with a
  // failure noted when it cannot start. A plain console streams laser stripes from each scan
  // start, whatever the scenario's options say.
  bool Start(int listenDelayMs = 0, bool plain = false);
  // Stops the running console: both ports close, as when its program dies.
  void Die();

  // Commits faults drawn from seed, about one every meanGapMs, until stop is set. The console
  // thread only.
  void CommitFaults(std::uint64_t seed, double meanGapMs, const std::atomic<bool>& stop);

  // Scan starts (3872) received by every console so far.
  long ScanStarts() const;
  // The running console's last scan command was a start: it scans.
  bool Scanning() const;
  // The complaints of every console about the plug-in's answers so far, in texts.
  int Errors(std::vector<std::string>* texts) const;
  int Consoles() const;
  // When the console last pressed button 1, which makes a measurement of button mode 2 switch
  // the console's acquisition (and recover the link when that send fails); -1e9 before that.
  double LastToggleMs() const { return lastToggleMs_; }
  int Deaths() const { return deaths_; }
  int FaultsCommitted() const { return faults_; }
  std::vector<Timeline::Transcript> Transcripts() const;

 private:
  std::shared_ptr<ConsoleSimulator> Running() const;
  // One data-channel event on the running console, noted with its outcome.
  void Event(ScriptEventKind kind, std::int32_t number = 0, std::int32_t sent = -1,
             bool longText = false);

  const SimulatorOptions options_;
  Timeline& timeline_;
  const std::string folder_;
  std::atomic<int> deaths_{0};
  std::atomic<int> faults_{0};
  std::atomic<double> lastToggleMs_{-1e9};

  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<ConsoleSimulator>> consoles_;  // under mutex_, like the rest
  bool alive_ = false;
};
