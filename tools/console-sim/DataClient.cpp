// The console simulator's data-channel client: connection, checked exchanges and the stream.
#include "tools/console-sim/DataClient.h"

#include <algorithm>
#include <string>

#include "tools/console-sim/SyntheticPart.h"
#include "wire/SocketRoutines.h"
#include "wire/WireValues.h"

namespace {

// The plug-in answers at once; this only bounds the wait on one that hangs.
constexpr int kAnswerTimeoutMs = 10000;
// The plug-in closes its side about 500 ms after DATA_END, at once after a FINAL type.
constexpr int kPeerCloseWaitMs = 2000;
constexpr int kConnectRetryMs = 2000;
constexpr int kConnectRetryPauseMs = 100;
// Up to 1 MiB a send call rather than the plug-in's 8 KiB pieces: a stripe leaves in one call,
// so that the simulator's own calls do not pace the stream (under Wine each call is a round trip
// to the Wine server).
constexpr int kSendPiece = 1 << 20;
// A stream that fell this far behind its rate starts afresh instead of sending a burst.
constexpr std::chrono::milliseconds kMaxStreamLag{1000};

// How a receive of a whole buffer ended, for the errors that say what fell short.
struct Received {
  int count = 0;
  bool closed = false;  // the peer closed the connection before the end
  int error = 0;        // the socket error that ended it, time-outs included
};

Received receiveAll(platform::SocketHandle socket, unsigned char* data, int length) {
  Received result;
  if (PeerReceiveExactly(socket, data, length, result.count)) {
    result.closed = result.count < length;
  } else {
    result.error = platform::socketLastError();
  }
  return result;
}

std::string describeShortfall(const Received& received) {
  return received.closed ? std::string("the connection was closed")
                         : simFormat("receive error %d", received.error);
}

}  // namespace

void simAppendInt32(SimBytes* out, std::int32_t value) {
  unsigned char bytes[4];
  PutInt32(bytes, value);
  out->insert(out->end(), bytes, bytes + 4);
}

void simEncodePointMessages(std::int32_t headerType, const PoseHeader& header,
                            std::int32_t pointsType, const float* floats, std::size_t count,
                            SimBytes* out) {
  out->clear();
  simAppendInt32(out, headerType);
  std::size_t at = out->size();
  out->resize(at + POSE_HEADER_SIZE);
  EncodePoseHeader(header, out->data() + at);
  simAppendInt32(out, pointsType);
  at = out->size();
  out->resize(at + count * POINT_WIRE_SIZE);
  for (std::size_t i = 0; i < count * 3; ++i) PutFloat32(out->data() + at + 4 * i, floats[i]);
}

SimDataClient::SimDataClient(const SimulatorOptions& options, SimShared& shared)
    : options_(options),
      shared_(shared),
      socket_(shared),
      stripeNumber_(options.numberBase),
      touchNumber_(options.numberBase) {}

bool SimDataClient::firstConnection(SimClock::time_point* at) const {
  if (!everConnected_) return false;
  *at = firstConnection_;
  return true;
}

bool SimDataClient::connect() {
  if (connected_) return true;
  const int port = options_.dataPort;
  const SimClock::time_point giveUp = SimClock::now() + std::chrono::milliseconds(kConnectRetryMs);
  for (;;) {
    int code = 0;
    platform::SocketHandle socket = platform::socketOpenTcp();
    if (socket == platform::kInvalidSocket) {
      code = platform::socketLastError();
    } else {
      if (!socket_.adopt(socket)) return false;
      static_cast<void>(platform::socketSetOption(socket, platform::SocketOption::NoDelay, 1));
      static_cast<void>(platform::socketSetOption(socket, platform::SocketOption::ReceiveTimeoutMs,
                                                  kAnswerTimeoutMs));
      if (platform::socketConnect(socket, simLoopback(), options_.dataPort)) {
        ++connections_;
        connected_ = true;
        shared_.transcript().line("data connected to port %d", port);
        if (!everConnected_) {
          everConnected_ = true;
          firstConnection_ = SimClock::now();
        }
        return true;
      }
      code = platform::socketLastError();
      socket_.release(false);
    }
    if (shared_.stopping()) return false;
    if (SimClock::now() >= giveUp) {
      shared_.recordError(simFormat("data cannot connect to port %d (error %d)", port, code));
      return false;
    }
    if (!shared_.pause(kConnectRetryPauseMs)) return false;
  }
}

void SimDataClient::close() {
  if (!connected_) return;
  connected_ = false;
  socket_.release(true);
}

bool SimDataClient::send(const unsigned char* bytes, std::size_t size) {
  if (!connect()) return false;
  const int length = static_cast<int>(size);
  int sent = 0;
  if (PeerSendAll(socket_.get(), bytes, length, sent, kSendPiece) && sent == length) return true;
  if (!shared_.stopping()) {
    shared_.transcript().line("data connection lost while sending (error %d)",
                              platform::socketLastError());
  }
  close();
  return false;
}

bool SimDataClient::exchange(std::int32_t type, const SimBytes& payload, std::int32_t ack,
                             const SimBytes& expected, int ignoreFrom, int ignoreTo,
                             bool peerCloses) {
  SimBytes message;
  simAppendInt32(&message, type);
  message.insert(message.end(), payload.begin(), payload.end());
  if (!send(message.data(), message.size())) return false;

  unsigned char word[4];
  Received received = receiveAll(socket_.get(), word, 4);
  if (received.count != 4) {
    shared_.recordError(simFormat("data %d error: no acknowledgement, %s", type,
                                  describeShortfall(received).c_str()));
    close();
    return false;
  }
  const std::int32_t gotAck = GetInt32(word);
  const int size = static_cast<int>(expected.size());
  SimBytes reply(expected.size());
  received = receiveAll(socket_.get(), reply.data(), size);

  std::string problem;
  if (gotAck != ack) {
    problem = simFormat("acknowledgement %d, not %d", gotAck, ack);
  } else if (received.count != size) {
    problem = simFormat("reply cut after %d of %d bytes, %s", received.count, size,
                        describeShortfall(received).c_str());
  } else {
    // Behind a text's terminator the reply's bytes carry no meaning; everything else must be
    // exactly what the plug-in was sent.
    for (int i = 0; i < size; ++i) {
      if (i >= ignoreFrom && i < ignoreTo) continue;
      if (reply[i] != expected[i]) {
        problem = simFormat("reply byte %d is 0x%02X, not 0x%02X", i, reply[i], expected[i]);
        break;
      }
    }
  }
  if (problem.empty()) {
    shared_.transcript().line("data %d ack %d ok", type, ack);
  } else {
    shared_.recordError(simFormat("data %d ack %d error: %s", type, gotAck, problem.c_str()));
  }
  if (received.count != size) {
    close();
    return false;
  }
  if (peerCloses) awaitPeerClose(type);
  return problem.empty();
}

// Its own receive loop, not a whole-buffer one: it reads until the plug-in closes, for at most
// the bound, and reports the time taken, any bytes that came first and a close by reset.
void SimDataClient::awaitPeerClose(std::int32_t type) {
  SimTranscript& transcript = shared_.transcript();
  const platform::SocketHandle socket = socket_.get();
  static_cast<void>(platform::socketSetOption(socket, platform::SocketOption::ReceiveTimeoutMs,
                                              kPeerCloseWaitMs));
  const SimClock::time_point since = SimClock::now();
  int extra = 0;
  for (;;) {
    unsigned char scratch[256];
    int got = platform::socketReceive(socket, scratch, sizeof scratch);
    double waited = std::chrono::duration<double, std::milli>(SimClock::now() - since).count();
    if (got == 0) {
      transcript.line("data %d: the plug-in closed the connection after %.0f ms", type, waited);
      break;
    }
    if (got > 0 && waited < kPeerCloseWaitMs) {
      extra += got;
      continue;
    }
    if (got < 0 && platform::socketLastError() != platform::kWsaTimedOut) {
      // A close with unread data arrives as a reset; it is a close all the same.
      transcript.line("data %d: the plug-in reset the connection after %.0f ms", type, waited);
      break;
    }
    shared_.recordError(
        simFormat("data %d error: the plug-in kept the connection open for %.0f ms", type, waited));
    break;
  }
  if (extra > 0) {
    shared_.recordError(simFormat("data %d error: %d bytes after the reply", type, extra));
  }
  close();
}

bool SimDataClient::sendStripe() {
  const int number = takeStripeNumber();
  PoseHeader header;
  makeStripe(number, options_.pointsPerStripe, options_.stamped, &header, &floats_);
  simEncodePointMessages(DATA_LASER_HEADER, header, DATA_LASER_POINTS, floats_.data(),
                         static_cast<std::size_t>(header.numPoints), &buffer_);
  if (options_.onStripeSend) options_.onStripeSend(number);
  if (!send(buffer_.data(), buffer_.size())) return false;
  ++stripes_;
  shared_.transcript().line("data %d stripe %d", DATA_LASER_HEADER, number);
  shared_.transcript().line("data %d points %d", DATA_LASER_POINTS,
                            static_cast<int>(header.numPoints));
  return true;
}

bool SimDataClient::sendTouch() {
  const int number = ++touchNumber_;
  PoseHeader header;
  float point[3];
  makeProbeTouch(number, options_.stamped, &header, point);
  simEncodePointMessages(DATA_PROBE_POINT_HEADER, header, DATA_PROBE_POINT, point, 1, &buffer_);
  if (!send(buffer_.data(), buffer_.size())) return false;
  ++touches_;
  shared_.transcript().line("data %d touch %d", DATA_PROBE_POINT_HEADER, number);
  shared_.transcript().line("data %d points 1", DATA_PROBE_POINT);
  return true;
}

void SimDataClient::startStreaming() {
  if (streaming_) return;
  nextSend_ = SimClock::now();
  streaming_ = true;
  shared_.transcript().line("data streaming %s",
                            shared_.laserActive() ? "laser stripes" : "probe touches");
}

void SimDataClient::stopStreaming() {
  if (!streaming_) return;
  streaming_ = false;
  shared_.transcript().line("data streaming stopped");
}

SimClock::time_point SimDataClient::streamDue() const {
  return streaming_ ? nextSend_ : SimClock::time_point::max();
}

void SimDataClient::sendStreamed() {
  const bool laser = shared_.laserActive();
  const double rate = laser
                          ? options_.stripesPerSecond
                          : (options_.stripesPerSecond > 0
                                 ? std::min(options_.stripesPerSecond, SIM_PROBE_TOUCHES_PER_SECOND)
                                 : SIM_PROBE_TOUCHES_PER_SECOND);
  bool sent = laser ? sendStripe() : sendTouch();
  if (!sent && !connected_ && !shared_.stopping()) {
    // The plug-in ended the connection, or none could be made: the stream waits for the next
    // start instead of knocking on a closed port at its full rate.
    shared_.transcript().line("data streaming stopped: no connection");
    streaming_ = false;
    return;
  }
  const SimClock::time_point now = SimClock::now();
  if (rate <= 0) {
    nextSend_ = now;
    return;
  }
  nextSend_ +=
      std::chrono::duration_cast<SimClock::duration>(std::chrono::duration<double>(1.0 / rate));
  if (nextSend_ + kMaxStreamLag < now) nextSend_ = now;
}

void SimDataClient::finish() {
  streaming_ = false;
  close();
}
