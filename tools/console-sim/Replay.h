// Replay of a capture: plays the console's side of both channels against the plug-in, in the
// recorded order, and compares what the plug-in sends with what it sent when it was captured.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "capture/PcapngReader.h"

struct ReplayOptions {
  std::uint16_t commandPort = 2003;
  std::uint16_t dataPort = 2002;
  double speed = 1.0;  // the recorded pauses between the console's sends, divided by this
  bool fast = false;   // no pauses: each send as soon as the plug-in has answered the last
  int waitMs = 30000;  // the longest wait for a connection or for the plug-in's bytes
};

class Replay {
 public:
  Replay(CaptureFile capture, ReplayOptions options);

  // Runs the whole capture; false when it could not be played to its end (the plug-in did not
  // connect or answer in time, a port could not be opened). The differences are kept either way.
  bool run();

  // What differs, in the order found, each naming the channel, the message and the bytes.
  const std::vector<std::string>& differences() const { return differences_; }
  const std::string& error() const { return error_; }

  // The command word the replay waits for from the plug-in, or 0; for a caller that drives the
  // host's side and must know when the host's next call is due. Any thread.
  std::int32_t awaitedCommand() const { return awaitedCommand_.load(); }
  // True once the command port listens. Any thread.
  bool listening() const { return listening_.load(); }

 private:
  struct Connection;
  bool expectFromPlugin(Connection& connection, const CapturedPacket& packet, bool command);
  void describe(bool command, std::uint64_t offset, const std::vector<unsigned char>& expected,
                const std::vector<unsigned char>& got);

  CaptureFile capture_;
  ReplayOptions options_;
  std::vector<std::string> differences_;
  std::string error_;
  std::atomic<std::int32_t> awaitedCommand_{0};
  std::atomic<bool> listening_{false};
  // The plug-in's recorded data-channel stream of the current connection, to name the answer a
  // difference falls in.
  std::vector<unsigned char> recordedAnswers_;
};

// The length of the plug-in's data-channel answer that begins with acknowledgement ack: the
// acknowledgement and its reply record (4 for a code that has none).
int DataAnswerLength(std::int32_t ack);

// Reads the capture at path; false and a message when it is not one the plug-in wrote.
bool LoadReplayCapture(const std::string& path, CaptureFile* capture, std::string* error);
