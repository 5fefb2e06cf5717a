// The console simulator's scenario events on the data channel: the text notices, echoes,
// buttons, probe points and single stripes, and the faults (garbage, bad counts, cut and stalled
// blocks, closes), each sent and, where the plug-in answers, checked.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "tools/console-sim/DataClient.h"
#include "tools/console-sim/Scenario.h"

// The data thread only; no lock of its own.
class SimScenarioEvents {
 public:
  // options, shared and data must outlive the events.
  SimScenarioEvents(const SimulatorOptions& options, SimShared& shared, SimDataClient& data);
  SimScenarioEvents(const SimScenarioEvents&) = delete;
  SimScenarioEvents& operator=(const SimScenarioEvents&) = delete;

  // True when the event was sent and, where the plug-in answers, answered as it must be. Quit
  // only asks the program to end.
  bool run(const ScriptEvent& event);

  // A text notice (DATA_SCAN_BEGIN, ...) of tag and text "LineStudio <what> <tag>", or 256
  // characters without a terminator; its reply is checked up to the text's end.
  bool sendText(std::int32_t type, const char* what, bool longText);
  // The same with a value behind the text (DATA_BEGIN, DATA_END, ...). peerCloses: the plug-in
  // must close the connection after its reply.
  bool sendTextValue(std::int32_t type, const char* what, bool longText, bool peerCloses);

 private:
  TextRecord makeText(const char* what, bool longText);
  bool sendButton(std::int32_t type, std::int32_t code);
  bool sendEcho(std::int32_t type);
  bool sendType(std::int32_t type);
  bool sendProbe(std::int32_t headerType, std::int32_t pointType, const float* values, float rx,
                 float ry, float rz);
  bool sendBadCount(std::int32_t count, std::int32_t sent);
  // Half a stripe; then the connection is closed (cut), or left silent (stall) for good or, with
  // stallMs, for that long before it is closed.
  bool sendCut(bool close, int stallMs = 0);
  bool sendGarbage(int count);
  bool closeData();

  const SimulatorOptions& options_;
  SimShared& shared_;
  SimDataClient& data_;
  std::int32_t tag_ = 0;
  int echoNumber_ = 0;
  std::mt19937 random_{2002};
  std::vector<float> floats_;
  SimBytes buffer_;
};
