// The console simulator's life cycle and its two threads, and its public face over the parts that
// do the work (SimCommandServer, SimDataClient, SimScenarioEvents, SimDataThread).
#include "tools/console-sim/ConsoleSimulator.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <system_error>
#include <thread>

#include "tests/support/Wait.h"
#include "tools/console-sim/CommandServer.h"
#include "tools/console-sim/DataClient.h"
#include "tools/console-sim/DataThread.h"
#include "tools/console-sim/ScenarioEvents.h"
#include "tools/console-sim/SimShared.h"

namespace {

constexpr int kThreadEndBoundMs = 5000;

}  // namespace

// Holds the parts and the threads that run them. Its own lock guards only the threads' end flags.
class ConsoleSimulator::Impl : public std::enable_shared_from_this<ConsoleSimulator::Impl> {
 public:
  explicit Impl(SimulatorOptions options)
      : options_(std::move(options)),
        shared_(options_.sound, options_.laserActive, options_.probeDiameter),
        data_(options_, shared_),
        events_(options_, shared_, data_),
        dataLoop_(options_, shared_, data_, events_),
        commands_(options_, shared_, [this](std::int32_t code) { dataLoop_.followCommand(code); }) {
  }

  bool start(std::string* error);
  void stop();
  bool runEvent(const ScriptEvent& event, int timeoutMs) {
    return shared_.running() && dataLoop_.runEvent(event, timeoutMs);
  }

  const SimulatorOptions options_;  // first: every part keeps a reference to it
  SimShared shared_;
  SimDataClient data_;
  SimScenarioEvents events_;
  SimDataThread dataLoop_;
  SimCommandServer commands_;

 private:
  // Runs body, records what it throws as an error, and marks its end.
  void runThread(void (Impl::*body)(), bool Impl::*ended);
  void commandMain() { commands_.run(); }
  void dataMain() { dataLoop_.run(); }
  // Waits at most kThreadEndBoundMs for the thread's end; false (and the thread left to end on
  // its own) when it does not end in time.
  bool waitThreadEnd(std::thread& thread, bool Impl::*ended, const char* name);

  std::mutex mutex_;
  std::condition_variable ended_;
  bool commandEnded_ = true;  // under mutex_ once the thread runs
  bool dataEnded_ = true;     // the same
  std::thread commandThread_;
  std::thread dataThread_;
};

bool ConsoleSimulator::Impl::start(std::string* error) {
  if (!shared_.begin()) {
    if (error != nullptr) *error = "the simulator was started before";
    return false;
  }
  SimTranscript& transcript = shared_.transcript();
  std::string message;
  int code = 0;
  if (!platform::socketsStart(&code)) {
    message = simFormat("Windows Sockets cannot start (error %d)", code);
  }
  if (message.empty()) transcript.open(options_.transcriptPath, &message);
  if (message.empty() && options_.refuse != SimRefuse::Listen && options_.listenDelayMs == 0) {
    commands_.openListener(&message);
  }
  if (message.empty()) {
    transcript.restartClock(options_.transcriptClock != SimClock::time_point{}
                                ? options_.transcriptClock
                                : SimClock::now());
    transcript.line("console simulator: command port %d, data port %d",
                    static_cast<int>(options_.commandPort), static_cast<int>(options_.dataPort));
    auto self = shared_from_this();
    try {
      commandEnded_ = false;
      commandThread_ =
          std::thread([self] { self->runThread(&Impl::commandMain, &Impl::commandEnded_); });
      dataLoop_.open();
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
  if (!shared_.stop()) return;
  dataLoop_.close();
  bool ended = waitThreadEnd(commandThread_, &Impl::commandEnded_, "command");
  ended = waitThreadEnd(dataThread_, &Impl::dataEnded_, "data") && ended;
  // The threads close what they own; something is left only when a thread never started.
  if (ended) shared_.releaseAll();
  SimTranscript& transcript = shared_.transcript();
  transcript.line("stopped: %d stripes, %d probe touches, %d errors", data_.stripesSent(),
                  data_.touchesSent(), shared_.errorCount());
  transcript.close();
}

void ConsoleSimulator::Impl::runThread(void (Impl::*body)(), bool Impl::*ended) {
  try {
    (this->*body)();
  } catch (const std::exception& e) {
    shared_.recordError(std::string("thread ended by an exception: ") + e.what());
  } catch (...) {
    shared_.recordError("thread ended by an exception");
  }
  std::lock_guard<std::mutex> guard(mutex_);
  this->*ended = true;
  ended_.notify_all();
}

bool ConsoleSimulator::Impl::waitThreadEnd(std::thread& thread, bool Impl::*ended,
                                           const char* name) {
  if (!thread.joinable()) return true;
  bool done;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    done = ended_.wait_for(lock, std::chrono::milliseconds(kThreadEndBoundMs),
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

// ---- Public face ---------------------------------------------------------------------------

ConsoleSimulator::ConsoleSimulator(SimulatorOptions options)
    : impl_(std::make_shared<Impl>(std::move(options))) {}

ConsoleSimulator::~ConsoleSimulator() { impl_->stop(); }

bool ConsoleSimulator::start(std::string* error) { return impl_->start(error); }

void ConsoleSimulator::stop() { impl_->stop(); }

std::vector<std::int32_t> ConsoleSimulator::commandWords() const {
  return impl_->commands_.words();
}

bool ConsoleSimulator::waitForCommandWords(std::size_t count, int timeoutMs) const {
  return waitUntil([this, count] { return impl_->commands_.words().size() >= count; }, timeoutMs);
}

// The tests' own wait, in real time: not the library's WaitUntil, which counts on tickCount(),
// which a test may have replaced to move the plug-in's time limits on.
bool ConsoleSimulator::waitUntil(const std::function<bool()>& condition, int timeoutMs) const {
  return WaitUntil(condition, timeoutMs);
}

int ConsoleSimulator::stripesSent() const { return impl_->data_.stripesSent(); }
int ConsoleSimulator::probeTouchesSent() const { return impl_->data_.touchesSent(); }

bool ConsoleSimulator::waitForStripes(int count, int timeoutMs) const {
  return waitUntil([this, count] { return impl_->data_.stripesSent() >= count; }, timeoutMs);
}

int ConsoleSimulator::errorCount() const { return impl_->shared_.errorCount(); }
std::vector<std::string> ConsoleSimulator::errors() const { return impl_->shared_.errors(); }
int ConsoleSimulator::commandConnections() const { return impl_->commands_.connections(); }
bool ConsoleSimulator::commandConnected() const { return impl_->commands_.connected(); }
int ConsoleSimulator::dataConnections() const { return impl_->data_.connections(); }
bool ConsoleSimulator::dataConnected() const { return impl_->data_.connected(); }
bool ConsoleSimulator::streaming() const { return impl_->data_.streaming(); }
bool ConsoleSimulator::quitRequested() const { return impl_->shared_.quitRequested(); }
int ConsoleSimulator::pendingEvents() const { return static_cast<int>(impl_->dataLoop_.pending()); }

std::int32_t ConsoleSimulator::sound() const { return impl_->shared_.sound(); }
void ConsoleSimulator::setSound(std::int32_t sound) { impl_->shared_.setSound(sound); }
void ConsoleSimulator::setLaserActive(bool laserActive) {
  impl_->shared_.setLaserActive(laserActive);
}
void ConsoleSimulator::setProbeDiameter(float diameter) {
  impl_->shared_.setProbeDiameter(diameter);
}

void ConsoleSimulator::holdReply(const HeldReply& hold) { impl_->commands_.addHold(hold); }

void ConsoleSimulator::endHolds() { impl_->shared_.endPauses(); }
void ConsoleSimulator::cutReply(std::int32_t code) { impl_->commands_.addCut(code); }
void ConsoleSimulator::trickleReplies(int ms) { impl_->commands_.setTrickle(ms); }
bool ConsoleSimulator::dropCommandConnection() { return impl_->commands_.dropConnection(); }

bool ConsoleSimulator::runEvent(const ScriptEvent& event, int timeoutMs) {
  return impl_->runEvent(event, timeoutMs);
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
