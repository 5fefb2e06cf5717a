// The console simulator's data channel: the connection to the plug-in's data port, made again
// whenever a send needs it; messages sent whole; the plug-in's acknowledgements and replies read
// and checked; and the stream of laser stripes or probe touches at its rate.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "tools/console-sim/ConsoleSimulator.h"
#include "tools/console-sim/SimShared.h"

using SimBytes = std::vector<unsigned char>;

void simAppendInt32(SimBytes* out, std::int32_t value);

// A header message followed by its point message (count points of three floats), as one buffer
// so that a stripe leaves in one send.
void simEncodePointMessages(std::int32_t headerType, const PoseHeader& header,
                            std::int32_t pointsType, const float* floats, std::size_t count,
                            SimBytes* out);

// The counters and flags may be read from any thread; everything else is the data thread's, which
// takes no lock of its own here (SimShared's only, inside its calls).
class SimDataClient {
 public:
  // options and shared must outlive the client.
  SimDataClient(const SimulatorOptions& options, SimShared& shared);
  SimDataClient(const SimDataClient&) = delete;
  SimDataClient& operator=(const SimDataClient&) = delete;

  int stripesSent() const { return stripes_; }
  int touchesSent() const { return touches_; }
  int connections() const { return connections_; }
  bool connected() const { return connected_; }
  bool streaming() const { return streaming_; }

  // The data thread only, from here on.

  // Connects unless connected(), trying for about two seconds; an error when it cannot.
  bool connect();
  // When the first connection was made, from which the script's times count; false before it.
  bool firstConnection(SimClock::time_point* at) const;
  // Closes the connection when there is one.
  void close();

  // Connects when needed and sends size bytes; on a failure the connection is closed.
  bool send(const unsigned char* bytes, std::size_t size);
  // Sends type and payload, then reads the acknowledgement and a reply as long as expected, and
  // compares them with ack and expected, except the reply's bytes from ignoreFrom to ignoreTo.
  // peerCloses: the plug-in must then close the connection. Every difference is an error; true
  // when there was none.
  bool exchange(std::int32_t type, const SimBytes& payload, std::int32_t ack,
                const SimBytes& expected, int ignoreFrom, int ignoreTo, bool peerCloses);

  // The number that the next laser stripe takes, for stripes sent whole or not.
  int takeStripeNumber() { return ++stripeNumber_; }
  // One laser stripe of the synthetic part, whole, counted in stripesSent().
  bool sendStripe();

  void startStreaming();
  void stopStreaming();
  // When the stream's next stripe or touch is due; SimClock::time_point::max() while none is.
  SimClock::time_point streamDue() const;
  // Sends the stripe or touch that is due and sets when the next one is.
  void sendStreamed();
  // The data thread's end: the stream stops and the connection closes.
  void finish();

 private:
  bool sendTouch();
  void awaitPeerClose(std::int32_t type);

  const SimulatorOptions& options_;
  SimShared& shared_;
  SimSocketSlot socket_;
  std::atomic<int> stripes_{0};
  std::atomic<int> touches_{0};
  std::atomic<int> connections_{0};
  std::atomic<bool> connected_{false};
  std::atomic<bool> streaming_{false};

  bool everConnected_ = false;
  SimClock::time_point firstConnection_;
  SimClock::time_point nextSend_;
  int stripeNumber_;
  int touchNumber_;
  std::vector<float> floats_;
  SimBytes buffer_;
};
