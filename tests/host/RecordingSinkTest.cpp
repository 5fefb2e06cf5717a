// The host's sink: what it copies out of a record during the call, and how it counts the
// plug-in's calls across threads.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "tools/host/RecordingSink.h"

namespace {

// A record whose buffers the test rewrites after each call, as the plug-in's data channel does.
struct PluginSideRecord {
  double position[3] = {};
  double direction[3] = {};
  std::vector<double> points = std::vector<double>(3 * 8);
  MeasureRecord record{position, direction, points.data(), 0};

  MeasureRecord* set(double base, int pointCount) {
    for (int i = 0; i < 3; ++i) {
      position[i] = base + i;
      direction[i] = base + 10 + i;
    }
    for (std::size_t i = 0; i < points.size(); ++i) points[i] = base + 100 + i;
    record.pointCount = pointCount;
    return &record;
  }
};

TEST(RecordingSinkTest, CopiesPoseAndCountedPointsDuringTheCallAndCountsEverySlot) {
  RecordingSink sink;
  MeasureSink& plugIn = sink;  // the plug-in calls through the base's virtual slots
  PluginSideRecord buffers;
  plugIn.BeginMeasure();
  plugIn.BeginPass();
  plugIn.AddPassMeasure(buffers.set(1000.0, 2));
  plugIn.AddPassMeasure(buffers.set(2000.0, 3));
  plugIn.EndPass();
  plugIn.AddFreeMeasure(buffers.set(3000.0, 1));
  plugIn.NotifyButton(1);
  plugIn.OnButtonEvent2();
  plugIn.NotifyButton(1);
  plugIn.OnButtonEvent4();
  buffers.set(-5.0, 8);  // the plug-in moves on; nothing recorded may change

  Recording recording = sink.recording();
  ASSERT_EQ(recording.records.size(), 3u);
  ASSERT_EQ(recording.points.size(), 6u) << "only pointCount points of each record";
  const RecordedPose& first = recording.records[0];
  EXPECT_TRUE(first.inPass);
  EXPECT_EQ(first.position.z, 1002.0);
  EXPECT_EQ(first.direction.y, 1011.0);
  EXPECT_EQ(first.pointCount, 2u);
  EXPECT_EQ(recording.records[1].firstPoint, 2u);
  // Point 2 of the second record: x, y, z at buffer indices 6, 7, 8.
  EXPECT_EQ(recording.points[4].x, 2106.0);
  EXPECT_EQ(recording.points[4].z, 2108.0);
  EXPECT_FALSE(recording.records[2].inPass);
  EXPECT_EQ(recording.records[2].position.y, 3001.0);
  EXPECT_EQ(recording.points[5].x, 3100.0);

  const SinkCounts& counts = recording.counts;
  EXPECT_EQ(counts.measuresBegun, 1);
  EXPECT_EQ(counts.passesBegun, 1);
  EXPECT_EQ(counts.passesEnded, 1);
  EXPECT_EQ(counts.passRecords, 2);
  EXPECT_EQ(counts.freeRecords, 1);
  EXPECT_EQ(counts.points, 6u);
  EXPECT_EQ(counts.buttonNotices, 2);
  EXPECT_EQ(counts.buttonEvents2, 1);
  EXPECT_EQ(counts.buttonEvents4, 1);
}

// The acquisition thread calls while the host's thread waits for passes.
TEST(RecordingSinkTest, WaitForPassesEndedWakesOnEndPassFromAnotherThread) {
  RecordingSink sink;
  EXPECT_FALSE(sink.waitForPassesEnded(1, std::chrono::milliseconds(20)));
  std::thread acquisition([&sink] {
    PluginSideRecord buffers;
    for (int pass = 0; pass < 3; ++pass) {
      sink.BeginPass();
      for (int i = 0; i < 200; ++i) sink.AddPassMeasure(buffers.set(pass * 1000.0 + i, 4));
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      sink.EndPass();
    }
  });
  bool reached = sink.waitForPassesEnded(3, std::chrono::seconds(10));
  acquisition.join();
  ASSERT_TRUE(reached);
  EXPECT_EQ(sink.counts().passRecords, 600);
  EXPECT_EQ(sink.counts().points, 2400u);
  EXPECT_EQ(sink.recording().records.back().position.x, 2199.0);
  EXPECT_FALSE(sink.waitForPassesEnded(4, std::chrono::milliseconds(20)));
}

}  // namespace
