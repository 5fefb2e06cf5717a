// The console simulator's command channel: the server on the command port that reads the
// plug-in's codes and arguments, answers its queries, holds or cuts answers as told, and refuses
// connections when asked to.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "tools/console-sim/ConsoleSimulator.h"
#include "tools/console-sim/SimShared.h"

// run() is the command thread; the accessors may be called from any thread. Its lock guards the
// words received and the holds, and is never held during a socket call, a pause or onAnswered.
class SimCommandServer {
 public:
  // onAnswered runs on the command thread with each code once it is answered (or taken, for a
  // code without a reply); it must return at once. options and shared must outlive the server.
  SimCommandServer(const SimulatorOptions& options, SimShared& shared,
                   std::function<void(std::int32_t code)> onAnswered);
  SimCommandServer(const SimCommandServer&) = delete;
  SimCommandServer& operator=(const SimCommandServer&) = delete;

  // Opens the command port now, on the starting thread before run(); false with a message.
  bool openListener(std::string* error);
  // Serves one connection at a time until the simulator stops; opens the port first when
  // openListener() was not called (a listen delay, or a port that was taken).
  void run();

  std::vector<std::int32_t> words() const;
  // Ahead of the holds given at the start, so that it is the one that counts for its code.
  void addHold(const HeldReply& hold);
  void addCut(std::int32_t code);
  void setTrickle(int ms) { trickleMs_ = ms; }
  // Wakes the connection being served, which then ends; false when there is none.
  bool dropConnection();
  int connections() const { return connections_; }
  bool connected() const { return connected_; }

 private:
  void serve(platform::SocketHandle socket);
  bool answer(platform::SocketHandle socket, std::int32_t code, bool hasArgument,
              std::int32_t argument);
  // Pauses ms, or less when the simulator stops or the client closes the connection: false
  // then.
  bool pauseWhileConnected(platform::SocketHandle socket, int ms);
  // The milliseconds to hold the answer to code, counting the hold down; 0 when none.
  int takeHold(std::int32_t code);
  // Whether the answer to code is to be cut, taking the cut.
  bool takeCut(std::int32_t code);

  const SimulatorOptions& options_;
  SimShared& shared_;
  const std::function<void(std::int32_t)> onAnswered_;
  SimSocketSlot listener_;
  SimSocketSlot socket_;
  std::atomic<int> connections_{0};
  std::atomic<bool> connected_{false};
  std::atomic<int> trickleMs_;

  mutable std::mutex mutex_;
  std::vector<std::int32_t> words_;  // under mutex_
  std::vector<HeldReply> holds_;     // under mutex_
  std::vector<std::int32_t> cuts_;   // answers still to be cut; under mutex_
};
