// A MeasureSink for tests: records every call as a line, with the record's content (its points
// too unless told not to keep them), and lets a test wait for calls with a bound.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "shell/MeasureSink.h"

class EventSink : public MeasureSink {
 public:
  // keepPoints false: the records keep their pose but not their points, for long runs of large
  // stripes.
  explicit EventSink(bool keepPoints = true) : keepPoints_(keepPoints) {}

  struct Record {
    bool pass;
    double position[3];
    double direction[3];
    std::vector<double> points;
  };

  void OnButtonEvent2() override { Add("OnButtonEvent2"); }
  void OnButtonEvent4() override { Add("OnButtonEvent4"); }
  void BeginMeasure() override { Add("BeginMeasure"); }
  void AddPassMeasure(MeasureRecord* record) override { AddRecord(true, record); }
  void BeginPass() override { Add("BeginPass"); }
  void EndPass() override { Add("EndPass"); }
  void AddFreeMeasure(MeasureRecord* record) override { AddRecord(false, record); }
  void NotifyButton(std::int32_t button) override { Add("NotifyButton " + std::to_string(button)); }

  // Throws from the next call, as a faulty host sink might, by default a C++ exception.
  void ThrowFromNextCall(std::function<void()> thrower = [] {
    throw std::runtime_error("sink failure");
  }) {
    std::lock_guard<std::mutex> lock(mutex_);
    thrower_ = std::move(thrower);
  }
  // Runs action on the sink's thread at the next call of the named event, after recording it.
  void OnNext(const std::string& event, std::function<void()> action) {
    std::lock_guard<std::mutex> lock(mutex_);
    actionEvent_ = event;
    action_ = std::move(action);
  }

  std::vector<std::string> Events() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }
  std::vector<Record> Records() {
    std::lock_guard<std::mutex> lock(mutex_);
    return records_;
  }
  int Count(const std::string& event) {
    std::lock_guard<std::mutex> lock(mutex_);
    int n = 0;
    for (const std::string& e : events_) n += e == event;
    return n;
  }
  // Waits until the given event has been seen count times; false after timeoutMs.
  bool WaitFor(const std::string& event, int count = 1, int timeoutMs = 5000) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
      int n = 0;
      for (const std::string& e : events_) n += e == event;
      return n >= count;
    });
  }

  // Waits until count records have come; false after timeoutMs.
  bool WaitForRecords(std::size_t count, int timeoutMs = 5000) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return records_.size() >= count; });
  }

 private:
  void Add(const std::string& event) {
    std::function<void()> thrower;
    std::function<void()> action;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      events_.push_back(event);
      changed_.notify_all();
      thrower.swap(thrower_);
      if (action_ && event == actionEvent_) action.swap(action_);
    }
    if (action) action();
    if (thrower) thrower();
  }
  void AddRecord(bool pass, MeasureRecord* record) {
    Record copy{pass, {}, {}, {}};
    for (int i = 0; i < 3; ++i) {
      copy.position[i] = record->position[i];
      copy.direction[i] = record->direction[i];
    }
    if (keepPoints_) copy.points.assign(record->points, record->points + 3 * record->pointCount);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      records_.push_back(copy);
    }
    Add(pass ? "AddPassMeasure" : "AddFreeMeasure");
  }

  const bool keepPoints_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> events_;
  std::vector<Record> records_;
  std::function<void()> thrower_;
  std::string actionEvent_;
  std::function<void()> action_;
};
