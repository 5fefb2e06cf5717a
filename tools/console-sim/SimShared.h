// What the console simulator's threads share with its public face: the stop and the pauses it
// cuts short, the sockets it wakes, the console's settings, the quit request, the errors found in
// the plug-in's answers and the transcript.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/socket.h"
#include "tools/console-sim/Transcript.h"

// The simulator's waits and times run on this clock, not on the library's tickCount(): a test may
// replace that one (setTickSourceForTesting) to move the plug-in's time limits on, and the
// console the plug-in talks to must keep real time meanwhile.
using SimClock = std::chrono::steady_clock;

// printf into a string, for the simulator's messages.
std::string simFormat(const char* pattern, ...) __attribute__((format(printf, 1, 2)));

// 127.0.0.1 in network byte order: both channels run on the loopback address.
std::uint32_t simLoopback();

class SimShared;

// A socket that one thread owns and that SimShared::stop() wakes from any other. The owner reads
// it without a lock; it changes only under SimShared's lock, so stop() never sees half a change.
class SimSocketSlot {
 public:
  // Registers with shared, which must outlive the slot. A listener has no connection to shut
  // down when releaseAll() closes it.
  explicit SimSocketSlot(SimShared& shared, bool listener = false);
  SimSocketSlot(const SimSocketSlot&) = delete;
  SimSocketSlot& operator=(const SimSocketSlot&) = delete;

  // The owner thread only.
  platform::SocketHandle get() const { return socket_; }
  // Keeps socket; once the simulator stops it closes socket instead and returns false.
  bool adopt(platform::SocketHandle socket);
  // Closes the socket held, if any, its sending side shut down first when asked.
  void release(bool shutdownFirst);
  // Any thread: makes the owner's blocked socket call return, as stop() does; false when no
  // socket is held.
  bool wake();

 private:
  friend class SimShared;
  SimShared& shared_;
  const bool listener_;
  platform::SocketHandle socket_ = platform::kInvalidSocket;
};

// Any thread may call every function. The lock is held only inside them, and never during a
// blocking socket call or a transcript line (the transcript has a lock of its own).
class SimShared {
 public:
  SimShared(std::int32_t sound, bool laserActive, float probeDiameter);
  SimShared(const SimShared&) = delete;
  SimShared& operator=(const SimShared&) = delete;

  // Marks the simulator started; false when it was started before.
  bool begin();
  // Marks it stopping, makes every blocked socket call of a slot return and ends every pause.
  // False when it never started or stops already.
  bool stop();
  bool stopping() const;
  // Started and not stopping.
  bool running() const;
  // Waits ms unless the simulator stops first, or endPauses cuts it short; false when it stops.
  bool pause(int ms);
  // Ends every pause going on now, as if its time had passed.
  void endPauses();
  // Waits until the simulator stops.
  void waitForStop();
  // Closes what the slots still hold: for stop(), once the threads that own them have ended or
  // when they never started.
  void releaseAll();

  // Counts and keeps an error of the plug-in's, and writes it to the transcript; an error found
  // while stopping is the stop's, not the plug-in's, and is dropped.
  void recordError(const std::string& text);
  int errorCount() const { return errorCount_; }
  std::vector<std::string> errors() const;  // the first hundred

  void requestQuit() { quit_ = true; }
  bool quitRequested() const { return quit_; }

  // The console's settings: the command channel answers them, the stream follows the sensor.
  std::int32_t sound() const { return sound_; }
  void setSound(std::int32_t sound) { sound_ = sound; }
  bool laserActive() const { return laser_; }
  void setLaserActive(bool laserActive) { laser_ = laserActive; }
  float probeDiameter() const { return diameter_; }
  void setProbeDiameter(float diameter) { diameter_ = diameter; }

  SimTranscript& transcript() { return transcript_; }

 private:
  friend class SimSocketSlot;

  SimTranscript transcript_;
  std::atomic<std::int32_t> sound_;
  std::atomic<bool> laser_;
  std::atomic<float> diameter_;
  std::atomic<int> errorCount_{0};
  std::atomic<bool> quit_{false};

  mutable std::mutex mutex_;
  std::condition_variable stopped_;  // ends every pause
  bool started_ = false;             // under mutex_, like everything below
  bool stopping_ = false;
  unsigned pausesEnded_ = 0;  // how many times endPauses ran
  std::vector<SimSocketSlot*> slots_;
  std::vector<std::string> errorTexts_;
};
