// The console simulator's shared state: stop, pauses, socket slots, settings and errors.
#include "tools/console-sim/SimShared.h"

#include <cstdarg>
#include <cstdio>

namespace {

constexpr std::size_t kKeptErrors = 100;

}  // namespace

std::string simFormat(const char* pattern, ...) {
  char text[512];
  va_list args;
  va_start(args, pattern);
  std::vsnprintf(text, sizeof text, pattern, args);
  va_end(args);
  return text;
}

std::uint32_t simLoopback() {
  std::uint32_t address = 0;
  static_cast<void>(platform::socketParseDotted("127.0.0.1", &address));
  return address;
}

SimSocketSlot::SimSocketSlot(SimShared& shared, bool listener)
    : shared_(shared), listener_(listener) {
  std::lock_guard<std::mutex> guard(shared_.mutex_);
  shared_.slots_.push_back(this);
}

bool SimSocketSlot::adopt(platform::SocketHandle socket) {
  {
    std::lock_guard<std::mutex> guard(shared_.mutex_);
    if (!shared_.stopping_) {
      socket_ = socket;
      return true;
    }
  }
  platform::socketClose(socket);
  return false;
}

void SimSocketSlot::release(bool shutdownFirst) {
  platform::SocketHandle socket;
  {
    std::lock_guard<std::mutex> guard(shared_.mutex_);
    socket = socket_;
    socket_ = platform::kInvalidSocket;
  }
  if (socket == platform::kInvalidSocket) return;
  if (shutdownFirst) static_cast<void>(platform::socketShutdownSend(socket));
  platform::socketClose(socket);
}

bool SimSocketSlot::wake() {
  std::lock_guard<std::mutex> guard(shared_.mutex_);
  if (socket_ == platform::kInvalidSocket) return false;
  platform::socketWake(socket_);
  return true;
}

SimShared::SimShared(std::int32_t sound, bool laserActive, float probeDiameter)
    : sound_(sound), laser_(laserActive), diameter_(probeDiameter) {}

bool SimShared::begin() {
  std::lock_guard<std::mutex> guard(mutex_);
  if (started_) return false;
  started_ = true;
  return true;
}

bool SimShared::stop() {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!started_ || stopping_) return false;
    stopping_ = true;
    for (const SimSocketSlot* slot : slots_) {
      if (slot->socket_ != platform::kInvalidSocket) platform::socketWake(slot->socket_);
    }
  }
  stopped_.notify_all();
  return true;
}

bool SimShared::stopping() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return stopping_;
}

bool SimShared::running() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return started_ && !stopping_;
}

bool SimShared::pause(int ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  const unsigned ended = pausesEnded_;
  stopped_.wait_for(lock, std::chrono::milliseconds(ms),
                    [&] { return stopping_ || pausesEnded_ != ended; });
  return !stopping_;
}

void SimShared::endPauses() {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    ++pausesEnded_;
  }
  stopped_.notify_all();
}

void SimShared::waitForStop() {
  std::unique_lock<std::mutex> lock(mutex_);
  stopped_.wait(lock, [this] { return stopping_; });
}

void SimShared::releaseAll() {
  std::vector<SimSocketSlot*> slots;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    slots = slots_;
  }
  for (SimSocketSlot* slot : slots) slot->release(!slot->listener_);
}

void SimShared::recordError(const std::string& text) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (stopping_) return;
    if (errorTexts_.size() < kKeptErrors) errorTexts_.push_back(text);
  }
  ++errorCount_;
  transcript_.line("%s", text.c_str());
}

std::vector<std::string> SimShared::errors() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return errorTexts_;
}
