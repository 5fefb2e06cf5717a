// The console simulator's data thread: runs, one at a time, what the command channel and the
// tests ask of the data channel, the script's events at their times, and the stream between them.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>

#include "tools/console-sim/DataClient.h"
#include "tools/console-sim/ScenarioEvents.h"

// run() is the data thread; the others may be called from any thread. Its lock guards the
// requests and its state, and is never held while a request, an event or the stream runs.
class SimDataThread {
 public:
  // options, shared, data and events must outlive the thread object.
  SimDataThread(const SimulatorOptions& options, SimShared& shared, SimDataClient& data,
                SimScenarioEvents& events);
  SimDataThread(const SimDataThread&) = delete;
  SimDataThread& operator=(const SimDataThread&) = delete;

  // From now on requests are taken, for run() to handle once it runs.
  void open();
  // The data channel's side of an answered command: scanning and acquisition start and stop.
  // Other codes ask nothing of it.
  void followCommand(std::int32_t code);
  // Runs event on the data thread and waits at most timeoutMs for it; false when it failed, did
  // not end in time, or the thread is not open.
  bool runEvent(const ScriptEvent& event, int timeoutMs);
  // Until close(): requests first, then the script's event that is due, then the stream.
  void run();
  // Ends run() and fails every request still waiting.
  void close();
  // How many requests wait for the data thread or are under way (for tests: an event queued
  // behind a blocked stream, or blocked itself).
  std::size_t pending();

 private:
  enum class RequestKind { ScanStart, ScanStop, AcquireStart, AcquireStop, Event };
  struct Request {
    RequestKind kind;
    ScriptEvent event;
    bool done = false;  // under mutex_, like ok
    bool ok = false;
  };
  enum class State { Idle, Open, Closed };

  void queue(RequestKind kind);
  bool handle(const Request& request);

  const SimulatorOptions& options_;
  SimShared& shared_;
  SimDataClient& data_;
  SimScenarioEvents& events_;
  std::size_t scriptNext_ = 0;  // the data thread only

  std::mutex mutex_;
  std::condition_variable work_;  // a request came, or close()
  std::condition_variable done_;  // a request was done
  State state_ = State::Idle;     // under mutex_, like requests_
  std::deque<std::shared_ptr<Request>> requests_;
  std::size_t handling_ = 0;  // under mutex_: requests taken and not yet done
};
