// The host's MeasureSink: copies of the records and counts of the calls, under one lock.
#include "tools/host/RecordingSink.h"

#include <cstddef>
#include <mutex>

namespace {

Point3 readPoint(const double* xyz) {
  if (xyz == nullptr) return Point3{};
  return Point3{xyz[0], xyz[1], xyz[2]};
}

}  // namespace

void RecordingSink::OnButtonEvent2() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++recording_.counts.buttonEvents2;
}

void RecordingSink::OnButtonEvent4() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++recording_.counts.buttonEvents4;
}

void RecordingSink::BeginMeasure() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++recording_.counts.measuresBegun;
}

void RecordingSink::AddPassMeasure(MeasureRecord* record) { addRecord(record, true); }

void RecordingSink::BeginPass() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++recording_.counts.passesBegun;
}

void RecordingSink::EndPass() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++recording_.counts.passesEnded;
  }
  passEnded_.notify_all();
}

void RecordingSink::AddFreeMeasure(MeasureRecord* record) { addRecord(record, false); }

void RecordingSink::NotifyButton(std::int32_t /*button*/) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++recording_.counts.buttonNotices;
}

void RecordingSink::addRecord(const MeasureRecord* record, bool inPass) {
  std::lock_guard<std::mutex> lock(mutex_);
  SinkCounts& counts = recording_.counts;
  ++(inPass ? counts.passRecords : counts.freeRecords);
  if (record == nullptr) return;

  // The record and its buffers belong to the plug-in and change after this call returns.
  RecordedPose pose;
  pose.position = readPoint(record->position);
  pose.direction = readPoint(record->direction);
  pose.firstPoint = recording_.points.size();
  pose.pointCount = record->points != nullptr && record->pointCount > 0
                        ? static_cast<std::size_t>(record->pointCount)
                        : 0;
  pose.inPass = inPass;
  try {
    recording_.points.reserve(pose.firstPoint + pose.pointCount);
    recording_.records.push_back(pose);
  } catch (...) {
    ++counts.droppedRecords;
    return;
  }
  for (std::size_t i = 0; i < pose.pointCount; ++i) {
    recording_.points.push_back(readPoint(record->points + 3 * i));
  }
  counts.points += pose.pointCount;
}

SinkCounts RecordingSink::counts() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return recording_.counts;
}

Recording RecordingSink::recording() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return recording_;
}

bool RecordingSink::waitForPassesEnded(int passes, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return passEnded_.wait_for(lock, timeout,
                             [&] { return recording_.counts.passesEnded >= passes; });
}
