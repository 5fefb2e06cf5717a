// A stand-in for the LineStudio console: the command-channel server and the data-channel client
// that the plug-in talks to, used inside tests and as the console program.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tools/console-sim/Scenario.h"
#include "wire/CommandCodes.h"
#include "wire/WireRecords.h"

enum class SimRefuse {
  None,
  Listen,  // never open the command port
  Close,   // accept command connections and close them at once
};

// When laser stripes (or probe touches) stream on the data channel.
enum class SimStreamOn {
  Acquire,  // from CMD_ACQUIRE_START to CMD_ACQUIRE_STOP or CMD_SCAN_STOP
  Scan,     // from CMD_SCAN_START to CMD_SCAN_STOP
};

struct SimulatorOptions {
  std::uint16_t commandPort = COMMAND_PORT;
  std::uint16_t dataPort = DATA_PORT;
  int listenDelayMs = 0;  // before the command port opens
  std::int32_t sound = 1;
  bool laserActive = true;  // else the touch probe is the active sensor
  float probeDiameter = 2.0f;
  double stripesPerSecond = 20.0;  // 0: as fast as the plug-in reads
  int pointsPerStripe = 500;       // 0 to MAX_BLOCK_POINTS
  bool stamped = false;            // see makeStripe
  // Stripes and probe touches are numbered from numberBase + 1, so that a console started again
  // can go on where the last one stopped and a stamped number names one stripe.
  int numberBase = 0;
  SimStreamOn streamOn = SimStreamOn::Acquire;
  SimRefuse refuse = SimRefuse::None;
  bool noScanBegin = false;  // never send DATA_SCAN_BEGIN on a scan start
  bool quitOnDisconnect = false;
  std::vector<HeldReply> heldReplies;
  // The first reply to each of these codes is cut: half of it, then the connection is closed.
  std::vector<std::int32_t> cutReplies;
  // Every reply goes out one byte at a time, each byte this many milliseconds after the one
  // before (the first after the command); 0 sends each reply whole.
  int trickleMs = 0;
  std::vector<ScriptEvent> script;
  std::string transcriptPath;  // "" none, "-" standard output
  // What the transcript's time stamps count from; by default the simulator's start. Consoles
  // that follow one another can share one clock.
  std::chrono::steady_clock::time_point transcriptClock{};
  // Called on the data thread with each laser stripe's number just before the stripe is sent,
  // so that a caller can time the stripe's way through the plug-in; it must return at once.
  std::function<void(int number)> onStripeSend;
};

// Probe touches stream at this rate at most, a slow hand rather than a line sensor.
constexpr double SIM_PROBE_TOUCHES_PER_SECOND = 10.0;

// Serves one command connection at a time on 127.0.0.1:commandPort and answers the plug-in's
// queries; connects to 127.0.0.1:dataPort on a scan start and sends what a console sends, reading
// every acknowledgement and reply and counting those that differ from what the plug-in must
// answer. All methods may be called from any thread; none blocks without a bound.
class ConsoleSimulator {
 public:
  explicit ConsoleSimulator(SimulatorOptions options = {});
  // Stops the simulator when it runs.
  ~ConsoleSimulator();
  ConsoleSimulator(const ConsoleSimulator&) = delete;
  ConsoleSimulator& operator=(const ConsoleSimulator&) = delete;

  // Starts both channels' threads. Without a listen delay the command port is open when this
  // returns true; false with a message when the port or the transcript cannot be opened. Once per
  // object.
  bool start(std::string* error = nullptr);
  // Wakes every blocked socket call, ends both threads and closes every socket; waits at most
  // about five seconds per thread.
  void stop();

  // Every word received on the command channel, codes and arguments, in order.
  std::vector<std::int32_t> commandWords() const;
  bool waitForCommandWords(std::size_t count, int timeoutMs) const;
  // Polls condition until it holds or timeoutMs have passed; the result of the last poll.
  bool waitUntil(const std::function<bool()>& condition, int timeoutMs) const;

  int stripesSent() const;
  int probeTouchesSent() const;
  bool waitForStripes(int count, int timeoutMs) const;
  // Acknowledgements and replies that were wrong or missing, data connections that failed.
  int errorCount() const;
  std::vector<std::string> errors() const;  // the first hundred messages
  int commandConnections() const;           // accepted so far
  bool commandConnected() const;
  int dataConnections() const;  // made so far
  bool dataConnected() const;
  bool streaming() const;
  // The script's quit event ran, or the command connection ended with quitOnDisconnect.
  bool quitRequested() const;

  std::int32_t sound() const;  // CMD_SOUND_SET changes it
  void setSound(std::int32_t sound);
  void setLaserActive(bool laserActive);
  void setProbeDiameter(float diameter);
  // From now on holds answers back as hold says, like SimulatorOptions::heldReplies.
  void holdReply(const HeldReply& hold);
  // Ends the holds going on now (and every other pause of the simulator's): the held commands
  // are answered at once.
  void endHolds();
  // Cuts the next reply to code, like SimulatorOptions::cutReplies.
  void cutReply(std::int32_t code);
  // From the next reply on, sends replies as SimulatorOptions::trickleMs says.
  void trickleReplies(int ms);
  // Closes the command connection being served, as a console that drops its client; false when
  // there is none. The next one is accepted as usual.
  bool dropCommandConnection();

  // Runs one data-channel event on the data thread, in turn with streaming and the script, and
  // waits for it. True when it was sent and, where the plug-in answers, answered as it must be.
  // Events of kind Quit only set the quit flag.
  bool runEvent(const ScriptEvent& event, int timeoutMs = 15000);
  // How many events wait for the data thread or are under way: queued behind what it is doing,
  // or blocked in a send themselves.
  int pendingEvents() const;
  bool sendButton(std::int32_t code);
  bool sendButtonFinal(std::int32_t code);
  bool sendEcho();
  bool sendProbePoint(float x, float y, float z);
  bool sendProbeVector(float x, float y, float z, float rx, float ry, float rz);
  bool sendStripe();
  bool sendScanBegin();
  bool sendEnd();
  bool closeData();

 private:
  class Impl;
  // Shared with the threads, so that a thread that outlives stop()'s bound still finds it.
  std::shared_ptr<Impl> impl_;
};
