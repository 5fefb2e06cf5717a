// The console simulator's data thread: its requests, the script's times and the stream's.
#include "tools/console-sim/DataThread.h"

#include <algorithm>

SimDataThread::SimDataThread(const SimulatorOptions& options, SimShared& shared,
                             SimDataClient& data, SimScenarioEvents& events)
    : options_(options), shared_(shared), data_(data), events_(events) {}

void SimDataThread::open() {
  std::lock_guard<std::mutex> guard(mutex_);
  if (state_ == State::Idle) state_ = State::Open;
}

void SimDataThread::followCommand(std::int32_t code) {
  switch (code) {
    case CMD_SCAN_START:
      return queue(RequestKind::ScanStart);
    case CMD_SCAN_STOP:
      return queue(RequestKind::ScanStop);
    case CMD_ACQUIRE_START:
      return queue(RequestKind::AcquireStart);
    case CMD_ACQUIRE_STOP:
      return queue(RequestKind::AcquireStop);
    default:
      return;
  }
}

void SimDataThread::queue(RequestKind kind) {
  auto request = std::make_shared<Request>();
  request->kind = kind;
  std::lock_guard<std::mutex> guard(mutex_);
  if (state_ != State::Open) return;
  requests_.push_back(request);
  work_.notify_all();
}

bool SimDataThread::runEvent(const ScriptEvent& event, int timeoutMs) {
  auto request = std::make_shared<Request>();
  request->kind = RequestKind::Event;
  request->event = event;
  std::unique_lock<std::mutex> lock(mutex_);
  if (state_ != State::Open) return false;
  requests_.push_back(request);
  work_.notify_all();
  done_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&request] { return request->done; });
  return request->done && request->ok;
}

std::size_t SimDataThread::pending() {
  std::lock_guard<std::mutex> guard(mutex_);
  return requests_.size() + handling_;
}

void SimDataThread::close() {
  std::lock_guard<std::mutex> guard(mutex_);
  state_ = State::Closed;
  for (const std::shared_ptr<Request>& request : requests_) request->done = true;
  requests_.clear();
  work_.notify_all();
  done_.notify_all();
}

void SimDataThread::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (state_ != State::Closed) {
    if (!requests_.empty()) {
      std::shared_ptr<Request> request = requests_.front();
      requests_.pop_front();
      ++handling_;
      lock.unlock();
      bool ok = handle(*request);
      lock.lock();
      --handling_;
      request->done = true;
      request->ok = ok;
      done_.notify_all();
      continue;
    }
    const SimClock::time_point now = SimClock::now();
    SimClock::time_point scriptAt = SimClock::time_point::max();
    SimClock::time_point scriptStart;
    if (scriptNext_ < options_.script.size() && data_.firstConnection(&scriptStart)) {
      scriptAt = scriptStart + std::chrono::milliseconds(options_.script[scriptNext_].atMs);
    }
    if (scriptAt <= now) {
      const ScriptEvent& event = options_.script[scriptNext_++];
      lock.unlock();
      shared_.transcript().line("script line %d: %s", event.line, scriptEventName(event.kind));
      events_.run(event);
      lock.lock();
      continue;
    }
    const SimClock::time_point streamAt = data_.streamDue();
    if (streamAt <= now) {
      lock.unlock();
      data_.sendStreamed();
      lock.lock();
      continue;
    }
    const SimClock::time_point due = std::min(scriptAt, streamAt);
    if (due == SimClock::time_point::max()) {
      work_.wait(lock);
    } else {
      work_.wait_until(lock, due);
    }
  }
  lock.unlock();
  data_.finish();
}

bool SimDataThread::handle(const Request& request) {
  switch (request.kind) {
    case RequestKind::ScanStart: {
      if (!data_.connect()) return false;
      bool ok = true;
      if (options_.noScanBegin) {
        shared_.transcript().line("data %d withheld", DATA_SCAN_BEGIN);
      } else {
        ok = events_.sendText(DATA_SCAN_BEGIN, "scan begin", false);
      }
      if (options_.streamOn == SimStreamOn::Scan) data_.startStreaming();
      return ok;
    }
    case RequestKind::ScanStop:
      data_.stopStreaming();
      return events_.sendTextValue(DATA_END, "end", false, true);
    case RequestKind::AcquireStart:
      if (options_.streamOn == SimStreamOn::Acquire) data_.startStreaming();
      return true;
    case RequestKind::AcquireStop:
      if (options_.streamOn == SimStreamOn::Acquire) data_.stopStreaming();
      return true;
    case RequestKind::Event:
      return events_.run(request.event);
  }
  return false;
}
