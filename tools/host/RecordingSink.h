// The host's MeasureSink: copies every record it is handed and counts the plug-in's calls.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "shell/MeasureSink.h"
#include "tools/host/Recording.h"

// The plug-in calls the operations on its acquisition thread while the host's thread reads the
// counts, so everything is kept under one lock. Nothing thrown here reaches the plug-in: an
// exception would have to cross the library boundary.
class RecordingSink final : public MeasureSink {
 public:
  RecordingSink() = default;
  RecordingSink(const RecordingSink&) = delete;
  RecordingSink& operator=(const RecordingSink&) = delete;

  void OnButtonEvent2() override;
  void OnButtonEvent4() override;
  void BeginMeasure() override;
  void AddPassMeasure(MeasureRecord* record) override;
  void BeginPass() override;
  void EndPass() override;
  void AddFreeMeasure(MeasureRecord* record) override;
  void NotifyButton(std::int32_t button) override;

  SinkCounts counts() const;
  // A copy of everything received so far.
  Recording recording() const;

  // Blocks until EndPass has been called at least passes times or timeout has passed; true in
  // the first case. Any thread.
  bool waitForPassesEnded(int passes, std::chrono::milliseconds timeout) const;

 private:
  void addRecord(const MeasureRecord* record, bool inPass);

  mutable std::mutex mutex_;
  mutable std::condition_variable passEnded_;
  Recording recording_;
};
