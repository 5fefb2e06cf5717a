// The console simulator's command server: accept, read, answer, hold and cut.
#include "tools/console-sim/CommandServer.h"

#include <algorithm>

#include "wire/SocketRoutines.h"
#include "wire/WireValues.h"

namespace {

constexpr int kRetryPauseMs = 500;
constexpr int kListenBacklog = 5;
constexpr int kReplyWordSize = 4;

bool takesArgument(std::int32_t code) {
  return code == CMD_MOUSE_SET || code == CMD_SOUND_SET || code == CMD_MODEL_START;
}

// One 4-byte word; false when the connection ends first.
bool receiveWord(platform::SocketHandle socket, std::int32_t* word) {
  unsigned char bytes[4];
  int count = 0;
  if (!PeerReceiveExactly(socket, bytes, 4, count) || count != 4) return false;
  *word = GetInt32(bytes);
  return true;
}

}  // namespace

SimCommandServer::SimCommandServer(const SimulatorOptions& options, SimShared& shared,
                                   std::function<void(std::int32_t code)> onAnswered)
    : options_(options),
      shared_(shared),
      onAnswered_(std::move(onAnswered)),
      listener_(shared, true),
      socket_(shared),
      trickleMs_(options.trickleMs),
      holds_(options.heldReplies),
      cuts_(options.cutReplies) {}

std::vector<std::int32_t> SimCommandServer::words() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return words_;
}

void SimCommandServer::addHold(const HeldReply& hold) {
  std::lock_guard<std::mutex> guard(mutex_);
  holds_.insert(holds_.begin(), hold);
}

void SimCommandServer::addCut(std::int32_t code) {
  std::lock_guard<std::mutex> guard(mutex_);
  cuts_.push_back(code);
}

bool SimCommandServer::dropConnection() {
  if (!socket_.wake()) return false;
  shared_.transcript().line("cmd connection dropped");
  return true;
}

bool SimCommandServer::openListener(std::string* error) {
  platform::SocketHandle socket = platform::socketOpenTcp();
  if (socket == platform::kInvalidSocket) {
    *error = simFormat("cannot open a socket (error %d)", platform::socketLastError());
    return false;
  }
  if (!platform::socketBind(socket, simLoopback(), options_.commandPort) ||
      !platform::socketListen(socket, kListenBacklog)) {
    int code = platform::socketLastError();
    platform::socketClose(socket);
    *error = simFormat("cannot listen on 127.0.0.1:%d (error %d)",
                       static_cast<int>(options_.commandPort), code);
    return false;
  }
  if (!listener_.adopt(socket)) {
    *error = "stopped";
    return false;
  }
  return true;
}

void SimCommandServer::run() {
  SimTranscript& transcript = shared_.transcript();
  const int port = options_.commandPort;
  if (options_.refuse == SimRefuse::Listen) {
    transcript.line("cmd port %d stays closed", port);
    shared_.waitForStop();
    return;
  }
  if (listener_.get() == platform::kInvalidSocket) {
    if (!shared_.pause(options_.listenDelayMs)) return;
    std::string message;
    bool reported = false;
    while (!openListener(&message)) {
      if (!reported) shared_.recordError("cmd " + message + "; trying again every 500 ms");
      reported = true;
      if (!shared_.pause(kRetryPauseMs)) return;
    }
  }
  transcript.line("cmd listening on port %d", port);
  while (!shared_.stopping()) {
    platform::SocketHandle socket = platform::socketAccept(listener_.get());
    if (socket == platform::kInvalidSocket) {
      if (shared_.stopping()) break;
      shared_.recordError(simFormat("cmd accept failed (error %d)", platform::socketLastError()));
      if (!shared_.pause(kRetryPauseMs)) break;
      continue;
    }
    if (!socket_.adopt(socket)) break;
    if (options_.refuse == SimRefuse::Close) {
      transcript.line("cmd connection closed at once");
      socket_.release(true);
      continue;
    }
    static_cast<void>(platform::socketSetOption(socket, platform::SocketOption::NoDelay, 1));
    ++connections_;
    connected_ = true;
    transcript.line("cmd connected");
    serve(socket);
    // Released before it is said to be gone: a drop asked once the connection looks gone finds
    // nothing to drop.
    socket_.release(true);
    connected_ = false;
    transcript.line("cmd closed");
    if (options_.quitOnDisconnect && !shared_.stopping()) {
      transcript.line("quit: the command connection ended");
      shared_.requestQuit();
    }
  }
  listener_.release(false);
}

void SimCommandServer::serve(platform::SocketHandle socket) {
  for (;;) {
    std::int32_t code = 0;
    if (!receiveWord(socket, &code)) return;
    const bool hasArgument = takesArgument(code);
    std::int32_t argument = 0;
    const bool argumentArrived = !hasArgument || receiveWord(socket, &argument);
    {
      std::lock_guard<std::mutex> guard(mutex_);
      words_.push_back(code);
      if (hasArgument && argumentArrived) words_.push_back(argument);
    }
    if (!argumentArrived) {
      shared_.transcript().line("cmd %d argument missing", code);
      return;
    }
    int hold = takeHold(code);
    if (hold > 0) {
      shared_.transcript().line("cmd %d held %d ms", code, hold);
      if (!shared_.pause(hold)) return;
    }
    if (!answer(socket, code, hasArgument, argument)) return;
  }
}

bool SimCommandServer::pauseWhileConnected(platform::SocketHandle socket, int ms) {
  // In short steps, so that a client that gave up on the reply and hung up is let go at once
  // and the next connection is served.
  constexpr int kStepMs = 20;
  for (int waited = 0; waited < ms; waited += kStepMs) {
    if (!shared_.pause(std::min(kStepMs, ms - waited))) return false;
    const platform::SocketPending pending = platform::socketPending(socket);
    if (pending == platform::SocketPending::kClosed || pending == platform::SocketPending::kError) {
      return false;
    }
  }
  return true;
}

bool SimCommandServer::takeCut(std::int32_t code) {
  std::lock_guard<std::mutex> guard(mutex_);
  auto cut = std::find(cuts_.begin(), cuts_.end(), code);
  if (cut == cuts_.end()) return false;
  cuts_.erase(cut);
  return true;
}

int SimCommandServer::takeHold(std::int32_t code) {
  std::lock_guard<std::mutex> guard(mutex_);
  for (HeldReply& hold : holds_) {
    if (hold.code != code || hold.count == 0) continue;
    if (hold.count > 0) --hold.count;
    return hold.ms;
  }
  return 0;
}

bool SimCommandServer::answer(platform::SocketHandle socket, std::int32_t code, bool hasArgument,
                              std::int32_t argument) {
  SimTranscript& transcript = shared_.transcript();
  unsigned char reply[PROBE_REPLY_SIZE] = {};
  int replySize = 0;
  std::string detail;
  switch (code) {
    case CMD_HANDSHAKE_A:
    case CMD_HANDSHAKE_B:
    case CMD_HANDSHAKE_C:
      replySize = kReplyWordSize;
      break;
    case CMD_SOUND_QUERY: {
      const std::int32_t sound = shared_.sound();
      PutInt32(reply, sound);
      replySize = kReplyWordSize;
      detail = simFormat(" sound %d", sound);
      break;
    }
    case CMD_SENSOR_QUERY: {
      const bool laser = shared_.laserActive();
      PutInt32(reply, laser ? 1 : 0);
      replySize = kReplyWordSize;
      detail = laser ? " laser" : " probe";
      break;
    }
    case CMD_PROBE_QUERY: {
      const float diameter = shared_.probeDiameter();
      PutFloat32(reply + PROBE_DIAMETER_OFFSET, diameter);
      replySize = PROBE_REPLY_SIZE;
      detail = simFormat(" diameter %g", static_cast<double>(diameter));
      break;
    }
    case CMD_SOUND_SET:
      shared_.setSound(argument);
      break;
    default:
      break;
  }
  int sent = 0;
  if (replySize > 0 && takeCut(code)) {
    static_cast<void>(PeerSendAll(socket, reply, replySize / 2, sent));
    transcript.line("cmd %d reply cut after %d bytes", code, replySize / 2);
    return false;
  }
  const int trickleMs = trickleMs_;
  if (replySize > 0 && trickleMs > 0) {
    for (int at = 0; at < replySize; ++at) {
      int one = 0;
      if (!pauseWhileConnected(socket, trickleMs) || !PeerSendAll(socket, reply + at, 1, one) ||
          one != 1) {
        transcript.line("cmd %d reply trickled %d bytes", code, at);
        return false;
      }
    }
    sent = replySize;
  } else if (replySize > 0 && (!PeerSendAll(socket, reply, replySize, sent) || sent != replySize)) {
    transcript.line("cmd %d reply could not be sent", code);
    return false;
  }
  if (replySize > 0) {
    transcript.line("cmd %d reply %d%s", code, replySize, detail.c_str());
  } else if (hasArgument) {
    transcript.line("cmd %d arg %d", code, argument);
  } else {
    transcript.line("cmd %d", code);
  }
  onAnswered_(code);
  return true;
}
