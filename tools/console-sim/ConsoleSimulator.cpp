// The console simulator's command server, data-channel client and the two threads that run them.
#include "tools/console-sim/ConsoleSimulator.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <random>
#include <system_error>
#include <thread>

#include "platform/socket.h"
#include "tools/console-sim/SyntheticPart.h"
#include "tools/console-sim/Transcript.h"
#include "wire/WireValues.h"

using platform::kInvalidSocket;
using platform::SocketHandle;

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<unsigned char>;
using Milliseconds = std::chrono::milliseconds;

constexpr int kThreadEndBoundMs = 5000;
// The plug-in answers at once; this only bounds the wait on one that hangs.
constexpr int kAnswerTimeoutMs = 10000;
// The plug-in closes its side about 500 ms after DATA_END, at once after a FINAL type.
constexpr int kPeerCloseWaitMs = 2000;
constexpr int kConnectRetryMs = 2000;
constexpr int kConnectRetryPauseMs = 100;
constexpr int kRetryPauseMs = 500;
constexpr int kListenBacklog = 5;
constexpr std::size_t kKeptErrors = 100;
constexpr int kReplyWordSize = 4;
// A stream that fell this far behind its rate starts afresh instead of sending a burst.
constexpr Milliseconds kMaxStreamLag{1000};

std::string format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* pattern, ...) {
  char text[512];
  va_list args;
  va_start(args, pattern);
  std::vsnprintf(text, sizeof text, pattern, args);
  va_end(args);
  return text;
}

std::uint32_t loopbackAddress() {
  std::uint32_t address = 0;
  platform::socketParseDotted("127.0.0.1", &address);
  return address;
}

bool sendWhole(SocketHandle socket, const unsigned char* data, std::size_t length) {
  while (length > 0) {
    int piece = static_cast<int>(std::min<std::size_t>(length, 1 << 20));
    int sent = platform::socketSend(socket, data, piece);
    if (sent <= 0) return false;
    data += sent;
    length -= static_cast<std::size_t>(sent);
  }
  return true;
}

// How a receive of a whole buffer ended.
struct Received {
  int count = 0;
  bool closed = false;  // the peer closed the connection before the end
  int error = 0;        // the socket error that ended it, time-outs included
};

Received receiveWhole(SocketHandle socket, unsigned char* data, int length) {
  Received result;
  while (result.count < length) {
    int got = platform::socketReceive(socket, data + result.count, length - result.count);
    if (got == 0) {
      result.closed = true;
      break;
    }
    if (got < 0) {
      result.error = platform::socketLastError();
      break;
    }
    result.count += got;
  }
  return result;
}

std::string describeShortfall(const Received& received) {
  return received.closed ? std::string("the connection was closed")
                         : format("receive error %d", received.error);
}

void appendInt32(Bytes* out, std::int32_t value) {
  unsigned char bytes[4];
  PutInt32(bytes, value);
  out->insert(out->end(), bytes, bytes + 4);
}

// A header message followed by its point message, as one buffer so that a stripe leaves in one
// send.
void encodePointMessages(std::int32_t headerType, const PoseHeader& header, std::int32_t pointsType,
                         const float* floats, std::size_t pointCount, Bytes* out) {
  out->clear();
  appendInt32(out, headerType);
  std::size_t at = out->size();
  out->resize(at + POSE_HEADER_SIZE);
  EncodePoseHeader(header, out->data() + at);
  appendInt32(out, pointsType);
  at = out->size();
  out->resize(at + pointCount * POINT_WIRE_SIZE);
  for (std::size_t i = 0; i < pointCount * 3; ++i) PutFloat32(out->data() + at + 4 * i, floats[i]);
}

bool takesArgument(std::int32_t code) {
  return code == CMD_MOUSE_SET || code == CMD_SOUND_SET || code == CMD_MODEL_START;
}

// Length of a record's text on the wire up to and including its terminator.
int textLength(const TextRecord& record) {
  const void* end = std::memchr(record.text, '\0', TEXT_SIZE);
  return end != nullptr ? static_cast<int>(static_cast<const char*>(end) - record.text) + 1
                        : TEXT_SIZE;
}

}  // namespace

class ConsoleSimulator::Impl : public std::enable_shared_from_this<ConsoleSimulator::Impl> {
 public:
  explicit Impl(SimulatorOptions options)
      : options_(std::move(options)),
        sound_(options_.sound),
        laser_(options_.laserActive),
        diameter_(options_.probeDiameter),
        holds_(options_.heldReplies),
        cuts_(options_.cutReplies) {}

  bool start(std::string* error);
  void stop();
  bool submitEvent(const ScriptEvent& event, int timeoutMs);

  std::vector<std::int32_t> words() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return words_;
  }
  std::vector<std::string> errorTexts() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return errorTexts_;
  }
  void addHold(const HeldReply& hold) {
    std::lock_guard<std::mutex> guard(mutex_);
    // Ahead of the holds given at the start, so it is the one that counts for its code.
    holds_.insert(holds_.begin(), hold);
  }

  SimulatorOptions options_;  // not changed after start
  std::atomic<std::int32_t> sound_;
  std::atomic<bool> laser_;
  std::atomic<float> diameter_;
  std::atomic<int> stripes_{0};
  std::atomic<int> touches_{0};
  std::atomic<int> errors_{0};
  std::atomic<int> commandConnections_{0};
  std::atomic<int> dataConnections_{0};
  std::atomic<bool> commandConnected_{false};
  std::atomic<bool> dataConnected_{false};
  std::atomic<bool> streaming_{false};
  std::atomic<bool> quit_{false};

 private:
  enum class RequestKind { ScanStart, ScanStop, AcquireStart, AcquireStop, Event };
  struct Request {
    RequestKind kind;
    ScriptEvent event;
    bool done = false;  // under mutex_
    bool ok = false;
  };

  // Threads.
  void runThread(void (Impl::*body)(), bool Impl::*ended);
  void commandMain();
  void dataMain();
  bool waitThreadEnd(std::thread& thread, bool Impl::*ended, const char* name);

  // Shared state.
  bool isStopping() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return stopping_;
  }
  // Waits ms unless the simulator stops first; false when it stops.
  bool pause(int ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    return !work_.wait_for(lock, Milliseconds(ms), [this] { return stopping_; });
  }
  // Makes a new socket visible to stop(); false (and nothing stored) once stopping.
  bool adopt(SocketHandle* slot, SocketHandle socket) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (stopping_) return false;
    *slot = socket;
    return true;
  }
  void release(SocketHandle* slot, bool shutdownFirst) {
    SocketHandle socket;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      socket = *slot;
      *slot = kInvalidSocket;
    }
    if (socket == kInvalidSocket) return;
    if (shutdownFirst) platform::socketShutdownSend(socket);
    platform::socketClose(socket);
  }
  void recordError(const std::string& text);
  void queue(RequestKind kind);

  // Command channel.
  bool openListener(std::string* error);
  void serveCommands(SocketHandle socket);
  bool answerCommand(SocketHandle socket, std::int32_t code, bool hasArgument,
                     std::int32_t argument);
  int takeHold(std::int32_t code);

  // Data channel; data thread only.
  bool handleRequest(const Request& request);
  bool runEvent(const ScriptEvent& event);
  bool ensureConnected();
  void dropData();
  bool sendData(const unsigned char* bytes, std::size_t size);
  bool exchange(std::int32_t type, const Bytes& payload, std::int32_t ack, const Bytes& expected,
                int ignoreFrom, int ignoreTo, bool peerCloses);
  void awaitPeerClose(std::int32_t type);
  TextRecord makeText(const char* what, bool longText);
  bool sendText(std::int32_t type, const char* what, bool longText);
  bool sendTextValue(std::int32_t type, const char* what, bool longText, bool peerCloses);
  bool sendButton(std::int32_t type, std::int32_t code);
  bool sendEcho(std::int32_t type);
  bool sendType(std::int32_t type);
  bool sendStripeNow();
  bool sendTouchNow();
  bool sendProbe(std::int32_t headerType, std::int32_t pointType, const float* values, float rx,
                 float ry, float rz);
  bool sendBadCount(std::int32_t count, std::int32_t sent);
  // Half a stripe; then the connection is closed (cut) or left silent (stall).
  bool sendCut(bool close);
  bool sendGarbage(int count);
  void sendStreamed();
  void startStreaming();
  void stopStreaming();

  SimTranscript transcript_;
  mutable std::mutex mutex_;
  std::condition_variable work_;             // wakes the data thread and every pause
  mutable std::condition_variable changed_;  // a request was done, a thread ended
  bool started_ = false;
  bool stopping_ = false;
  bool stopped_ = false;
  bool commandEnded_ = true;
  bool dataEnded_ = true;
  std::deque<std::shared_ptr<Request>> requests_;
  std::vector<std::int32_t> words_;
  std::vector<std::string> errorTexts_;
  // Written only by their owner thread (and start), under mutex_ so that stop() can wake them.
  SocketHandle listener_ = kInvalidSocket;
  SocketHandle commandSocket_ = kInvalidSocket;
  SocketHandle dataSocket_ = kInvalidSocket;
  std::thread commandThread_;
  std::thread dataThread_;

  // Command thread only.
  std::vector<HeldReply> holds_;    // under mutex_
  std::vector<std::int32_t> cuts_;  // replies still to be cut; command thread only

  // Data thread only.
  bool scriptStarted_ = false;
  Clock::time_point scriptStart_;
  std::size_t scriptNext_ = 0;
  Clock::time_point nextSend_;
  int stripeNumber_ = 0;
  int touchNumber_ = 0;
  std::int32_t tag_ = 0;
  int echoNumber_ = 0;
  std::mt19937 random_{2002};
  std::vector<float> floats_;
  Bytes buffer_;
};

// ---- Life cycle ----------------------------------------------------------------------------

bool ConsoleSimulator::Impl::start(std::string* error) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (started_) {
      if (error != nullptr) *error = "the simulator was started before";
      return false;
    }
    started_ = true;
  }
  std::string message;
  int code = 0;
  if (!platform::socketsStart(&code)) {
    message = format("Windows Sockets cannot start (error %d)", code);
  }
  if (message.empty()) transcript_.open(options_.transcriptPath, &message);
  if (message.empty() && options_.refuse != SimRefuse::Listen && options_.listenDelayMs == 0) {
    openListener(&message);
  }
  if (message.empty()) {
    transcript_.restartClock();
    transcript_.line("console simulator: command port %d, data port %d",
                     static_cast<int>(options_.commandPort), static_cast<int>(options_.dataPort));
    auto self = shared_from_this();
    try {
      commandEnded_ = false;
      commandThread_ =
          std::thread([self] { self->runThread(&Impl::commandMain, &Impl::commandEnded_); });
      dataEnded_ = false;
      dataThread_ = std::thread([self] { self->runThread(&Impl::dataMain, &Impl::dataEnded_); });
    } catch (const std::system_error& e) {
      std::lock_guard<std::mutex> guard(mutex_);
      if (!commandThread_.joinable()) commandEnded_ = true;
      if (!dataThread_.joinable()) dataEnded_ = true;
      message = std::string("a thread cannot start: ") + e.what();
    }
  }
  if (message.empty()) return true;
  if (error != nullptr) *error = message;
  stop();
  return false;
}

void ConsoleSimulator::Impl::stop() {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!started_ || stopped_) return;
    stopped_ = true;
    stopping_ = true;
    for (SocketHandle socket : {listener_, commandSocket_, dataSocket_}) {
      if (socket != kInvalidSocket) platform::socketWake(socket);
    }
  }
  work_.notify_all();
  changed_.notify_all();
  bool ended = waitThreadEnd(commandThread_, &Impl::commandEnded_, "command");
  ended = waitThreadEnd(dataThread_, &Impl::dataEnded_, "data") && ended;
  // The threads close what they own; these are left only when a thread never started.
  if (ended) {
    release(&listener_, false);
    release(&commandSocket_, true);
    release(&dataSocket_, true);
  }
  transcript_.line("stopped: %d stripes, %d probe touches, %d errors", stripes_.load(),
                   touches_.load(), errors_.load());
  transcript_.close();
}

void ConsoleSimulator::Impl::runThread(void (Impl::*body)(), bool Impl::*ended) {
  try {
    (this->*body)();
  } catch (const std::exception& e) {
    recordError(std::string("thread ended by an exception: ") + e.what());
  } catch (...) {
    recordError("thread ended by an exception");
  }
  std::lock_guard<std::mutex> guard(mutex_);
  this->*ended = true;
  changed_.notify_all();
}

bool ConsoleSimulator::Impl::waitThreadEnd(std::thread& thread, bool Impl::*ended,
                                           const char* name) {
  if (!thread.joinable()) return true;
  bool done;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    done = changed_.wait_for(lock, Milliseconds(kThreadEndBoundMs),
                             [this, ended] { return this->*ended; });
  }
  if (done) {
    thread.join();
    return true;
  }
  // It holds its own reference to this object, so leaving it is safe; it ends when its socket
  // call does.
  std::fprintf(stderr, "console simulator: the %s thread did not end within %d ms\n", name,
               kThreadEndBoundMs);
  thread.detach();
  return false;
}

void ConsoleSimulator::Impl::recordError(const std::string& text) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (stopping_) {
      // What fails while stopping is the stop itself, not the plug-in.
      return;
    }
    if (errorTexts_.size() < kKeptErrors) errorTexts_.push_back(text);
  }
  ++errors_;
  transcript_.line("%s", text.c_str());
}

void ConsoleSimulator::Impl::queue(RequestKind kind) {
  auto request = std::make_shared<Request>();
  request->kind = kind;
  std::lock_guard<std::mutex> guard(mutex_);
  if (stopping_) return;
  requests_.push_back(request);
  work_.notify_all();
}

bool ConsoleSimulator::Impl::submitEvent(const ScriptEvent& event, int timeoutMs) {
  auto request = std::make_shared<Request>();
  request->kind = RequestKind::Event;
  request->event = event;
  std::unique_lock<std::mutex> lock(mutex_);
  if (!started_ || stopping_) return false;
  requests_.push_back(request);
  work_.notify_all();
  changed_.wait_for(lock, Milliseconds(timeoutMs), [&request] { return request->done; });
  return request->done && request->ok;
}

// ---- Command channel -----------------------------------------------------------------------

bool ConsoleSimulator::Impl::openListener(std::string* error) {
  SocketHandle socket = platform::socketOpenTcp();
  if (socket == kInvalidSocket) {
    *error = format("cannot open a socket (error %d)", platform::socketLastError());
    return false;
  }
  if (!platform::socketBind(socket, loopbackAddress(), options_.commandPort) ||
      !platform::socketListen(socket, kListenBacklog)) {
    int code = platform::socketLastError();
    platform::socketClose(socket);
    *error = format("cannot listen on 127.0.0.1:%d (error %d)",
                    static_cast<int>(options_.commandPort), code);
    return false;
  }
  if (!adopt(&listener_, socket)) {
    platform::socketClose(socket);
    *error = "stopped";
    return false;
  }
  return true;
}

void ConsoleSimulator::Impl::commandMain() {
  const int port = options_.commandPort;
  if (options_.refuse == SimRefuse::Listen) {
    transcript_.line("cmd port %d stays closed", port);
    std::unique_lock<std::mutex> lock(mutex_);
    work_.wait(lock, [this] { return stopping_; });
    return;
  }
  if (listener_ == kInvalidSocket) {
    if (!pause(options_.listenDelayMs)) return;
    std::string message;
    bool reported = false;
    while (!openListener(&message)) {
      if (!reported) recordError("cmd " + message + "; trying again every 500 ms");
      reported = true;
      if (!pause(kRetryPauseMs)) return;
    }
  }
  transcript_.line("cmd listening on port %d", port);
  while (!isStopping()) {
    SocketHandle socket = platform::socketAccept(listener_);
    if (socket == kInvalidSocket) {
      if (isStopping()) break;
      recordError(format("cmd accept failed (error %d)", platform::socketLastError()));
      if (!pause(kRetryPauseMs)) break;
      continue;
    }
    if (!adopt(&commandSocket_, socket)) {
      platform::socketClose(socket);
      break;
    }
    if (options_.refuse == SimRefuse::Close) {
      transcript_.line("cmd connection closed at once");
      release(&commandSocket_, true);
      continue;
    }
    platform::socketSetOption(socket, platform::SocketOption::NoDelay, 1);
    ++commandConnections_;
    commandConnected_ = true;
    transcript_.line("cmd connected");
    serveCommands(socket);
    commandConnected_ = false;
    release(&commandSocket_, true);
    transcript_.line("cmd closed");
    if (options_.quitOnDisconnect && !isStopping()) {
      transcript_.line("quit: the command connection ended");
      quit_ = true;
    }
  }
  release(&listener_, false);
}

void ConsoleSimulator::Impl::serveCommands(SocketHandle socket) {
  for (;;) {
    unsigned char word[4];
    if (receiveWhole(socket, word, 4).count != 4) return;
    const std::int32_t code = GetInt32(word);
    const bool hasArgument = takesArgument(code);
    std::int32_t argument = 0;
    bool argumentArrived = true;
    if (hasArgument) {
      argumentArrived = receiveWhole(socket, word, 4).count == 4;
      argument = GetInt32(word);
    }
    {
      std::lock_guard<std::mutex> guard(mutex_);
      words_.push_back(code);
      if (hasArgument && argumentArrived) words_.push_back(argument);
    }
    if (!argumentArrived) {
      transcript_.line("cmd %d argument missing", code);
      return;
    }
    int hold = takeHold(code);
    if (hold > 0) {
      transcript_.line("cmd %d held %d ms", code, hold);
      if (!pause(hold)) return;
    }
    if (!answerCommand(socket, code, hasArgument, argument)) return;
  }
}

int ConsoleSimulator::Impl::takeHold(std::int32_t code) {
  std::lock_guard<std::mutex> guard(mutex_);
  for (HeldReply& hold : holds_) {
    if (hold.code != code || hold.count == 0) continue;
    if (hold.count > 0) --hold.count;
    return hold.ms;
  }
  return 0;
}

bool ConsoleSimulator::Impl::answerCommand(SocketHandle socket, std::int32_t code, bool hasArgument,
                                           std::int32_t argument) {
  unsigned char reply[PROBE_REPLY_SIZE] = {};
  int replySize = 0;
  std::string detail;
  bool follows = false;  // the data thread has something to do
  RequestKind follow = RequestKind::Event;
  switch (code) {
    case CMD_HANDSHAKE_A:
    case CMD_HANDSHAKE_B:
    case CMD_HANDSHAKE_C:
      replySize = kReplyWordSize;
      break;
    case CMD_SOUND_QUERY:
      PutInt32(reply, sound_);
      replySize = kReplyWordSize;
      detail = format(" sound %d", sound_.load());
      break;
    case CMD_SENSOR_QUERY:
      PutInt32(reply, laser_ ? 1 : 0);
      replySize = kReplyWordSize;
      detail = laser_ ? " laser" : " probe";
      break;
    case CMD_PROBE_QUERY:
      PutFloat32(reply + PROBE_DIAMETER_OFFSET, diameter_);
      replySize = PROBE_REPLY_SIZE;
      detail = format(" diameter %g", static_cast<double>(diameter_.load()));
      break;
    case CMD_SOUND_SET:
      sound_ = argument;
      break;
    case CMD_SCAN_START:
      follows = true;
      follow = RequestKind::ScanStart;
      break;
    case CMD_SCAN_STOP:
      follows = true;
      follow = RequestKind::ScanStop;
      break;
    case CMD_ACQUIRE_START:
      follows = true;
      follow = RequestKind::AcquireStart;
      break;
    case CMD_ACQUIRE_STOP:
      follows = true;
      follow = RequestKind::AcquireStop;
      break;
    default:
      break;
  }
  auto cut = std::find(cuts_.begin(), cuts_.end(), code);
  if (replySize > 0 && cut != cuts_.end()) {
    cuts_.erase(cut);
    sendWhole(socket, reply, static_cast<std::size_t>(replySize / 2));
    transcript_.line("cmd %d reply cut after %d bytes", code, replySize / 2);
    return false;
  }
  if (replySize > 0 && !sendWhole(socket, reply, static_cast<std::size_t>(replySize))) {
    transcript_.line("cmd %d reply could not be sent", code);
    return false;
  }
  if (replySize > 0) {
    transcript_.line("cmd %d reply %d%s", code, replySize, detail.c_str());
  } else if (hasArgument) {
    transcript_.line("cmd %d arg %d", code, argument);
  } else {
    transcript_.line("cmd %d", code);
  }
  if (follows) queue(follow);
  return true;
}

// ---- Data channel --------------------------------------------------------------------------

void ConsoleSimulator::Impl::dataMain() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_) {
    if (!requests_.empty()) {
      std::shared_ptr<Request> request = requests_.front();
      requests_.pop_front();
      lock.unlock();
      bool ok = handleRequest(*request);
      lock.lock();
      request->done = true;
      request->ok = ok;
      changed_.notify_all();
      continue;
    }
    const Clock::time_point now = Clock::now();
    bool scriptWaiting = scriptStarted_ && scriptNext_ < options_.script.size();
    Clock::time_point scriptAt = Clock::time_point::max();
    if (scriptWaiting) scriptAt = scriptStart_ + Milliseconds(options_.script[scriptNext_].atMs);
    if (scriptWaiting && scriptAt <= now) {
      const ScriptEvent& event = options_.script[scriptNext_++];
      lock.unlock();
      transcript_.line("script line %d: %s", event.line, scriptEventName(event.kind));
      runEvent(event);
      lock.lock();
      continue;
    }
    if (streaming_ && nextSend_ <= now) {
      lock.unlock();
      sendStreamed();
      lock.lock();
      continue;
    }
    Clock::time_point due = scriptAt;
    if (streaming_ && nextSend_ < due) due = nextSend_;
    if (due == Clock::time_point::max()) {
      work_.wait(lock);
    } else {
      work_.wait_until(lock, due);
    }
  }
  std::deque<std::shared_ptr<Request>> unanswered;
  unanswered.swap(requests_);
  for (const std::shared_ptr<Request>& request : unanswered) request->done = true;
  changed_.notify_all();
  lock.unlock();
  streaming_ = false;
  dropData();
}

bool ConsoleSimulator::Impl::handleRequest(const Request& request) {
  switch (request.kind) {
    case RequestKind::ScanStart: {
      if (!ensureConnected()) return false;
      bool ok = true;
      if (options_.noScanBegin) {
        transcript_.line("data %d withheld", DATA_SCAN_BEGIN);
      } else {
        ok = sendText(DATA_SCAN_BEGIN, "scan begin", false);
      }
      if (options_.streamOn == SimStreamOn::Scan) startStreaming();
      return ok;
    }
    case RequestKind::ScanStop:
      stopStreaming();
      return sendTextValue(DATA_END, "end", false, true);
    case RequestKind::AcquireStart:
      if (options_.streamOn == SimStreamOn::Acquire) startStreaming();
      return true;
    case RequestKind::AcquireStop:
      if (options_.streamOn == SimStreamOn::Acquire) stopStreaming();
      return true;
    case RequestKind::Event:
      return runEvent(request.event);
  }
  return false;
}

bool ConsoleSimulator::Impl::runEvent(const ScriptEvent& event) {
  switch (event.kind) {
    case ScriptEventKind::Button:
      return sendButton(DATA_BUTTON, event.number);
    case ScriptEventKind::ButtonFinal:
      return sendButton(DATA_BUTTON_FINAL, event.number);
    case ScriptEventKind::Echo:
      return sendEcho(DATA_ECHO);
    case ScriptEventKind::EchoFinal:
      return sendEcho(DATA_ECHO_FINAL);
    case ScriptEventKind::Begin:
      return sendTextValue(DATA_BEGIN, "begin", event.longText, false);
    case ScriptEventKind::ScanBegin:
      return sendText(DATA_SCAN_BEGIN, "scan begin", event.longText);
    case ScriptEventKind::ScanEnd:
      return sendText(DATA_SCAN_END, "scan end", event.longText);
    case ScriptEventKind::AcquireBegin:
      return sendTextValue(DATA_ACQUIRE_BEGIN, "acquire begin", event.longText, false);
    case ScriptEventKind::AcquireEnd:
      return sendTextValue(DATA_ACQUIRE_END, "acquire end", event.longText, false);
    case ScriptEventKind::AcquireOn:
      return sendType(DATA_ACQUIRE_ON);
    case ScriptEventKind::AcquireOff:
      return sendType(DATA_ACQUIRE_OFF);
    case ScriptEventKind::End:
      return sendTextValue(DATA_END, "end", event.longText, true);
    case ScriptEventKind::ProbePoint:
      return sendProbe(DATA_PROBE_POINT_HEADER, DATA_PROBE_POINT, event.values, 0, 0, 0);
    case ScriptEventKind::ProbeVector:
      return sendProbe(DATA_PROBE_VECTOR_HEADER, DATA_PROBE_VECTOR, event.values, event.values[3],
                       event.values[4], event.values[5]);
    case ScriptEventKind::Stripe:
      return sendStripeNow();
    case ScriptEventKind::Garbage:
      return sendGarbage(event.number);
    case ScriptEventKind::BadCount:
      return sendBadCount(event.number,
                          event.pointsSent >= 0 ? event.pointsSent : std::max(event.number, 0));
    case ScriptEventKind::Cut:
      return sendCut(true);
    case ScriptEventKind::Stall:
      return sendCut(false);
    case ScriptEventKind::Close:
      if (dataSocket_ == kInvalidSocket) {
        transcript_.line("data close: not connected");
      } else {
        transcript_.line("data closed");
        dropData();
      }
      return true;
    case ScriptEventKind::Quit:
      transcript_.line("quit");
      quit_ = true;
      return true;
  }
  return false;
}

bool ConsoleSimulator::Impl::ensureConnected() {
  if (dataSocket_ != kInvalidSocket) return true;
  const int port = options_.dataPort;
  const Clock::time_point giveUp = Clock::now() + Milliseconds(kConnectRetryMs);
  for (;;) {
    int code = 0;
    SocketHandle socket = platform::socketOpenTcp();
    if (socket == kInvalidSocket) {
      code = platform::socketLastError();
    } else {
      if (!adopt(&dataSocket_, socket)) {
        platform::socketClose(socket);
        return false;
      }
      platform::socketSetOption(socket, platform::SocketOption::NoDelay, 1);
      platform::socketSetOption(socket, platform::SocketOption::ReceiveTimeoutMs, kAnswerTimeoutMs);
      if (platform::socketConnect(socket, loopbackAddress(), options_.dataPort)) {
        ++dataConnections_;
        dataConnected_ = true;
        transcript_.line("data connected to port %d", port);
        if (!scriptStarted_) {
          scriptStarted_ = true;
          scriptStart_ = Clock::now();
        }
        return true;
      }
      code = platform::socketLastError();
      release(&dataSocket_, false);
    }
    if (isStopping()) return false;
    if (Clock::now() >= giveUp) {
      recordError(format("data cannot connect to port %d (error %d)", port, code));
      return false;
    }
    if (!pause(kConnectRetryPauseMs)) return false;
  }
}

void ConsoleSimulator::Impl::dropData() {
  if (dataSocket_ == kInvalidSocket) return;
  dataConnected_ = false;
  release(&dataSocket_, true);
}

bool ConsoleSimulator::Impl::sendData(const unsigned char* bytes, std::size_t size) {
  if (!ensureConnected()) return false;
  if (sendWhole(dataSocket_, bytes, size)) return true;
  if (!isStopping()) {
    transcript_.line("data connection lost while sending (error %d)", platform::socketLastError());
  }
  dropData();
  return false;
}

bool ConsoleSimulator::Impl::exchange(std::int32_t type, const Bytes& payload, std::int32_t ack,
                                      const Bytes& expected, int ignoreFrom, int ignoreTo,
                                      bool peerCloses) {
  Bytes message;
  appendInt32(&message, type);
  message.insert(message.end(), payload.begin(), payload.end());
  if (!sendData(message.data(), message.size())) return false;

  unsigned char word[4];
  Received received = receiveWhole(dataSocket_, word, 4);
  if (received.count != 4) {
    recordError(
        format("data %d error: no acknowledgement, %s", type, describeShortfall(received).c_str()));
    dropData();
    return false;
  }
  const std::int32_t gotAck = GetInt32(word);
  const int size = static_cast<int>(expected.size());
  Bytes reply(expected.size());
  received = receiveWhole(dataSocket_, reply.data(), size);

  std::string problem;
  if (gotAck != ack) {
    problem = format("acknowledgement %d, not %d", gotAck, ack);
  } else if (received.count != size) {
    problem = format("reply cut after %d of %d bytes, %s", received.count, size,
                     describeShortfall(received).c_str());
  } else {
    // Behind a text's terminator the reply's bytes carry no meaning; everything else must be
    // exactly what the plug-in was sent.
    for (int i = 0; i < size; ++i) {
      if (i >= ignoreFrom && i < ignoreTo) continue;
      if (reply[i] != expected[i]) {
        problem = format("reply byte %d is 0x%02X, not 0x%02X", i, reply[i], expected[i]);
        break;
      }
    }
  }
  if (problem.empty()) {
    transcript_.line("data %d ack %d ok", type, ack);
  } else {
    recordError(format("data %d ack %d error: %s", type, gotAck, problem.c_str()));
  }
  if (received.count != size) {
    dropData();
    return false;
  }
  if (peerCloses) awaitPeerClose(type);
  return problem.empty();
}

void ConsoleSimulator::Impl::awaitPeerClose(std::int32_t type) {
  SocketHandle socket = dataSocket_;
  platform::socketSetOption(socket, platform::SocketOption::ReceiveTimeoutMs, kPeerCloseWaitMs);
  const Clock::time_point since = Clock::now();
  int extra = 0;
  for (;;) {
    unsigned char scratch[256];
    int got = platform::socketReceive(socket, scratch, sizeof scratch);
    double waited = std::chrono::duration<double, std::milli>(Clock::now() - since).count();
    if (got == 0) {
      transcript_.line("data %d: the plug-in closed the connection after %.0f ms", type, waited);
      break;
    }
    if (got > 0 && waited < kPeerCloseWaitMs) {
      extra += got;
      continue;
    }
    if (got < 0 && platform::socketLastError() != platform::kWsaTimedOut) {
      // A close with unread data arrives as a reset; it is a close all the same.
      transcript_.line("data %d: the plug-in reset the connection after %.0f ms", type, waited);
      break;
    }
    recordError(
        format("data %d error: the plug-in kept the connection open for %.0f ms", type, waited));
    break;
  }
  if (extra > 0) recordError(format("data %d error: %d bytes after the reply", type, extra));
  dropData();
}

TextRecord ConsoleSimulator::Impl::makeText(const char* what, bool longText) {
  TextRecord record{};
  record.tag = ++tag_;
  if (longText) {
    for (int i = 0; i < TEXT_SIZE; ++i) record.text[i] = static_cast<char>('A' + i % 26);
  } else {
    std::snprintf(record.text, TEXT_SIZE, "LineStudio %s %d", what, static_cast<int>(record.tag));
  }
  return record;
}

bool ConsoleSimulator::Impl::sendText(std::int32_t type, const char* what, bool longText) {
  TextRecord record = makeText(what, longText);
  Bytes payload(TEXT_RECORD_SIZE);
  EncodeTextRecord(record, payload.data());
  Bytes expected(TEXT_REPLY_SIZE);
  EncodeTextReply(record, expected.data());
  return exchange(type, payload, type + 1, expected, 8 + textLength(record), TEXT_REPLY_SIZE,
                  false);
}

bool ConsoleSimulator::Impl::sendTextValue(std::int32_t type, const char* what, bool longText,
                                           bool peerCloses) {
  TextValueRecord record{};
  record.text = makeText(what, longText);
  record.value = -7 * record.text.tag;
  Bytes payload(TEXT_VALUE_RECORD_SIZE);
  EncodeTextValueRecord(record, payload.data());
  Bytes expected(TEXT_VALUE_REPLY_SIZE);
  EncodeTextValueReply(record, expected.data());
  return exchange(type, payload, type + 1, expected, 8 + textLength(record.text), TEXT_REPLY_SIZE,
                  peerCloses);
}

bool ConsoleSimulator::Impl::sendButton(std::int32_t type, std::int32_t code) {
  Bytes payload;
  appendInt32(&payload, code);
  Bytes expected;
  appendInt32(&expected, 0);
  appendInt32(&expected, code);
  return exchange(type, payload, DATA_BUTTON_ACK, expected, 0, 0, type == DATA_BUTTON_FINAL);
}

bool ConsoleSimulator::Impl::sendEcho(std::int32_t type) {
  ++echoNumber_;
  Bytes payload(ECHO_PAYLOAD_SIZE);
  for (int i = 0; i < ECHO_PAYLOAD_SIZE; ++i) {
    payload[i] = static_cast<unsigned char>(echoNumber_ * 31 + i * 7 + 1);
  }
  Bytes expected;
  appendInt32(&expected, 0);
  expected.insert(expected.end(), payload.begin(), payload.end());
  return exchange(type, payload, DATA_ECHO_ACK, expected, 0, 0, type == DATA_ECHO_FINAL);
}

bool ConsoleSimulator::Impl::sendType(std::int32_t type) {
  Bytes message;
  appendInt32(&message, type);
  if (!sendData(message.data(), message.size())) return false;
  transcript_.line("data %d", type);
  return true;
}

bool ConsoleSimulator::Impl::sendStripeNow() {
  const int number = ++stripeNumber_;
  PoseHeader header;
  makeStripe(number, options_.pointsPerStripe, options_.stamped, &header, &floats_);
  encodePointMessages(DATA_LASER_HEADER, header, DATA_LASER_POINTS, floats_.data(),
                      static_cast<std::size_t>(header.numPoints), &buffer_);
  if (options_.onStripeSend) options_.onStripeSend(number);
  if (!sendData(buffer_.data(), buffer_.size())) return false;
  ++stripes_;
  transcript_.line("data %d stripe %d", DATA_LASER_HEADER, number);
  transcript_.line("data %d points %d", DATA_LASER_POINTS, static_cast<int>(header.numPoints));
  return true;
}

bool ConsoleSimulator::Impl::sendTouchNow() {
  const int number = ++touchNumber_;
  PoseHeader header;
  float point[3];
  makeProbeTouch(number, options_.stamped, &header, point);
  encodePointMessages(DATA_PROBE_POINT_HEADER, header, DATA_PROBE_POINT, point, 1, &buffer_);
  if (!sendData(buffer_.data(), buffer_.size())) return false;
  ++touches_;
  transcript_.line("data %d touch %d", DATA_PROBE_POINT_HEADER, number);
  transcript_.line("data %d points 1", DATA_PROBE_POINT);
  return true;
}

bool ConsoleSimulator::Impl::sendProbe(std::int32_t headerType, std::int32_t pointType,
                                       const float* values, float rx, float ry, float rz) {
  PoseHeader header{};
  header.numPoints = 1;
  header.x = values[0];
  header.y = values[1];
  header.z = values[2];
  header.rx = rx;
  header.ry = ry;
  header.rz = rz;
  encodePointMessages(headerType, header, pointType, values, 1, &buffer_);
  if (!sendData(buffer_.data(), buffer_.size())) return false;
  transcript_.line("data %d angles %g %g %g", headerType, static_cast<double>(rx),
                   static_cast<double>(ry), static_cast<double>(rz));
  transcript_.line("data %d point %g %g %g", pointType, static_cast<double>(values[0]),
                   static_cast<double>(values[1]), static_cast<double>(values[2]));
  return true;
}

bool ConsoleSimulator::Impl::sendBadCount(std::int32_t count, std::int32_t sent) {
  const int number = ++stripeNumber_;
  PoseHeader header;
  makeStripe(number, sent, options_.stamped, &header, &floats_);
  header.numPoints = count;
  encodePointMessages(DATA_LASER_HEADER, header, DATA_LASER_POINTS, floats_.data(),
                      static_cast<std::size_t>(sent), &buffer_);
  if (!sendData(buffer_.data(), buffer_.size())) return false;
  transcript_.line("data %d stripe %d count %d", DATA_LASER_HEADER, number,
                   static_cast<int>(count));
  transcript_.line("data %d points %d", DATA_LASER_POINTS, static_cast<int>(sent));
  return true;
}

bool ConsoleSimulator::Impl::sendCut(bool close) {
  const int number = ++stripeNumber_;
  PoseHeader header;
  makeStripe(number, std::max(options_.pointsPerStripe, 2), options_.stamped, &header, &floats_);
  encodePointMessages(DATA_LASER_HEADER, header, DATA_LASER_POINTS, floats_.data(),
                      static_cast<std::size_t>(header.numPoints), &buffer_);
  const std::size_t blockStart = 4 + POSE_HEADER_SIZE + 4;
  const std::size_t blockSize = buffer_.size() - blockStart;
  // Half way and off a point boundary, so that neither the block nor a point is whole.
  const std::size_t cutAt = blockStart + std::min(blockSize / 2 + 5, blockSize - 1);
  if (!sendData(buffer_.data(), cutAt)) return false;
  transcript_.line("data %d stripe %d", DATA_LASER_HEADER, number);
  transcript_.line("data %d %s after %d of %d bytes", DATA_LASER_POINTS, close ? "cut" : "stalled",
                   static_cast<int>(cutAt - blockStart), static_cast<int>(blockSize));
  if (close) {
    dropData();
  } else {
    // Whatever followed would be read as the rest of the block.
    stopStreaming();
  }
  return true;
}

bool ConsoleSimulator::Impl::sendGarbage(int count) {
  std::uniform_int_distribution<int> byte(0, 255);
  buffer_.resize(static_cast<std::size_t>(count));
  for (unsigned char& value : buffer_) value = static_cast<unsigned char>(byte(random_));
  if (!sendData(buffer_.data(), buffer_.size())) return false;
  transcript_.line("data garbage %d bytes", count);
  return true;
}

void ConsoleSimulator::Impl::sendStreamed() {
  const bool laser = laser_;
  const double rate = laser
                          ? options_.stripesPerSecond
                          : (options_.stripesPerSecond > 0
                                 ? std::min(options_.stripesPerSecond, SIM_PROBE_TOUCHES_PER_SECOND)
                                 : SIM_PROBE_TOUCHES_PER_SECOND);
  bool sent = laser ? sendStripeNow() : sendTouchNow();
  if (!sent && dataSocket_ == kInvalidSocket && !isStopping()) {
    // The plug-in ended the connection, or none could be made: the stream waits for the next
    // start instead of knocking on a closed port at its full rate.
    transcript_.line("data streaming stopped: no connection");
    streaming_ = false;
    return;
  }
  const Clock::time_point now = Clock::now();
  if (rate <= 0) {
    nextSend_ = now;
    return;
  }
  nextSend_ +=
      std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / rate));
  if (nextSend_ + kMaxStreamLag < now) nextSend_ = now;
}

void ConsoleSimulator::Impl::startStreaming() {
  if (streaming_) return;
  nextSend_ = Clock::now();
  streaming_ = true;
  transcript_.line("data streaming %s", laser_ ? "laser stripes" : "probe touches");
}

void ConsoleSimulator::Impl::stopStreaming() {
  if (!streaming_) return;
  streaming_ = false;
  transcript_.line("data streaming stopped");
}

// ---- Public face ---------------------------------------------------------------------------

ConsoleSimulator::ConsoleSimulator(SimulatorOptions options)
    : impl_(std::make_shared<Impl>(std::move(options))) {}

ConsoleSimulator::~ConsoleSimulator() { impl_->stop(); }

bool ConsoleSimulator::start(std::string* error) { return impl_->start(error); }

void ConsoleSimulator::stop() { impl_->stop(); }

std::vector<std::int32_t> ConsoleSimulator::commandWords() const { return impl_->words(); }

bool ConsoleSimulator::waitForCommandWords(std::size_t count, int timeoutMs) const {
  return waitUntil([this, count] { return impl_->words().size() >= count; }, timeoutMs);
}

bool ConsoleSimulator::waitUntil(const std::function<bool()>& condition, int timeoutMs) const {
  const Clock::time_point giveUp = Clock::now() + Milliseconds(timeoutMs);
  while (!condition()) {
    if (Clock::now() >= giveUp) return condition();
    std::this_thread::sleep_for(Milliseconds(5));
  }
  return true;
}

int ConsoleSimulator::stripesSent() const { return impl_->stripes_; }
int ConsoleSimulator::probeTouchesSent() const { return impl_->touches_; }

bool ConsoleSimulator::waitForStripes(int count, int timeoutMs) const {
  return waitUntil([this, count] { return impl_->stripes_ >= count; }, timeoutMs);
}

int ConsoleSimulator::errorCount() const { return impl_->errors_; }
std::vector<std::string> ConsoleSimulator::errors() const { return impl_->errorTexts(); }
int ConsoleSimulator::commandConnections() const { return impl_->commandConnections_; }
bool ConsoleSimulator::commandConnected() const { return impl_->commandConnected_; }
int ConsoleSimulator::dataConnections() const { return impl_->dataConnections_; }
bool ConsoleSimulator::dataConnected() const { return impl_->dataConnected_; }
bool ConsoleSimulator::streaming() const { return impl_->streaming_; }
bool ConsoleSimulator::quitRequested() const { return impl_->quit_; }

std::int32_t ConsoleSimulator::sound() const { return impl_->sound_; }
void ConsoleSimulator::setSound(std::int32_t sound) { impl_->sound_ = sound; }
void ConsoleSimulator::setLaserActive(bool laserActive) { impl_->laser_ = laserActive; }
void ConsoleSimulator::setProbeDiameter(float diameter) { impl_->diameter_ = diameter; }

void ConsoleSimulator::holdReply(const HeldReply& hold) { impl_->addHold(hold); }

bool ConsoleSimulator::runEvent(const ScriptEvent& event, int timeoutMs) {
  return impl_->submitEvent(event, timeoutMs);
}

namespace {

ScriptEvent eventOf(ScriptEventKind kind, std::int32_t number = 0) {
  ScriptEvent event;
  event.kind = kind;
  event.number = number;
  return event;
}

}  // namespace

bool ConsoleSimulator::sendButton(std::int32_t code) {
  return runEvent(eventOf(ScriptEventKind::Button, code));
}

bool ConsoleSimulator::sendButtonFinal(std::int32_t code) {
  return runEvent(eventOf(ScriptEventKind::ButtonFinal, code));
}

bool ConsoleSimulator::sendEcho() { return runEvent(eventOf(ScriptEventKind::Echo)); }

bool ConsoleSimulator::sendProbePoint(float x, float y, float z) {
  ScriptEvent event = eventOf(ScriptEventKind::ProbePoint);
  event.values[0] = x;
  event.values[1] = y;
  event.values[2] = z;
  return runEvent(event);
}

bool ConsoleSimulator::sendProbeVector(float x, float y, float z, float rx, float ry, float rz) {
  ScriptEvent event = eventOf(ScriptEventKind::ProbeVector);
  const float values[6] = {x, y, z, rx, ry, rz};
  std::copy(values, values + 6, event.values);
  return runEvent(event);
}

bool ConsoleSimulator::sendStripe() { return runEvent(eventOf(ScriptEventKind::Stripe)); }
bool ConsoleSimulator::sendScanBegin() { return runEvent(eventOf(ScriptEventKind::ScanBegin)); }
bool ConsoleSimulator::sendEnd() { return runEvent(eventOf(ScriptEventKind::End)); }
bool ConsoleSimulator::closeData() { return runEvent(eventOf(ScriptEventKind::Close)); }
