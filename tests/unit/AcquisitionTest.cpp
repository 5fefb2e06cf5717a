// The acquisition threads against a measurement store that the test feeds as the data channel
// would: sink call sequences, passes, button events and the distance filter.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <memory>
#include <utility>
#include <vector>

#include "EventSink.h"
#include "Wait.h"
#include "acquisition/AcquisitionThreads.h"
#include "datachannel/DataChannel.h"
#include "link/ConsoleLink.h"
#include "link/ScannerSettings.h"
#include "platform/time.h"

namespace {

TEST(WithinDistanceTest, BoundsAndSpecialValues) {
  const double origin[3] = {0, 0, 0};
  const double half[3] = {0.5, 0, 0};
  const double near[3] = {0.3, 0.3, 0};
  const double far[3] = {1e38, 0, 0};
  const double tiny[3] = {1e-6, 0, 0};
  const double nan[3] = {std::numeric_limits<double>::quiet_NaN(), 0, 0};
  EXPECT_TRUE(WithinDistance(origin, origin, 0.0));
  EXPECT_FALSE(WithinDistance(origin, half, 0.5)) << "exactly 0.5 counts as moved";
  EXPECT_TRUE(WithinDistance(origin, near, 0.5));
  EXPECT_FALSE(WithinDistance(far, origin, 0.5));
  EXPECT_TRUE(WithinDistance(origin, tiny, 0.0)) << "zero threshold means below 1e-10";
  EXPECT_FALSE(WithinDistance(origin, half, 0.0));
  EXPECT_FALSE(WithinDistance(origin, nan, 0.5));
  EXPECT_FALSE(WithinDistance(origin, origin, std::numeric_limits<double>::quiet_NaN()));
  EXPECT_TRUE(WithinDistance(origin, near, -0.5)) << "the threshold is squared";
}

// The parts a measurement works with, linked to no console.
struct Parts {
  Lifecycle lifecycle;
  ScannerSettings settings;
  MeasurementStore store;
  DataChannel data{lifecycle, store};
  ConsoleLink link{lifecycle, settings, store, data};
  AcquisitionParts parts{lifecycle, store, settings, link};
};

TEST(AcquisitionRunTest, StopsAndForcedEndsFollowTheThreadsStage) {
  auto parts = std::make_unique<Parts>();
  // Stopped in the library's own code: no call begins, and it is never claimed for a forced end.
  auto idle = std::make_unique<AcquisitionRun>(parts->parts, nullptr);
  EXPECT_FALSE(idle->ClaimForForcedEnd());
  idle->RequestStop();
  EXPECT_FALSE(idle->Active());
  EXPECT_FALSE(idle->EnterHost());
  EXPECT_FALSE(idle->ClaimForForcedEnd());

  // Stopped inside a call: claimed, the returning thread waits until the claim is given back
  // and then ends without another call.
  auto busy = std::make_unique<AcquisitionRun>(parts->parts, nullptr);
  ASSERT_TRUE(busy->EnterHost());
  EXPECT_FALSE(busy->ClaimForForcedEnd()) << "running, not stopped";
  busy->RequestStop();
  EXPECT_TRUE(busy->InHost());
  ASSERT_TRUE(busy->ClaimForForcedEnd());
  std::atomic<int> left{-1};
  platform::Thread* thread = platform::threadStart(
      [](void* argument) -> unsigned {
        auto* pair = static_cast<std::pair<AcquisitionRun*, std::atomic<int>*>*>(argument);
        auto [run, left] = *pair;
        delete pair;
        *left = run->LeaveHost() ? 1 : 0;
        return 0;
      },
      new std::pair<AcquisitionRun*, std::atomic<int>*>(busy.get(), &left));
  ASSERT_NE(thread, nullptr);
  EXPECT_FALSE(platform::threadWaitEnd(thread, 100)) << "a claimed thread ran on";
  EXPECT_EQ(left, -1);
  busy->ReleaseClaim();
  EXPECT_TRUE(platform::threadWaitEnd(thread, 5000));
  platform::threadRelease(thread);
  EXPECT_EQ(left, 0);
  EXPECT_FALSE(busy->EnterHost());

  // A thread that ends on its own does so only before any stop.
  auto ending = std::make_unique<AcquisitionRun>(parts->parts, nullptr);
  EXPECT_TRUE(ending->EndOnItsOwn());
  EXPECT_FALSE(ending->Active());
  ending->RequestStop();
  EXPECT_FALSE(ending->EndOnItsOwn());
  auto stopped = std::make_unique<AcquisitionRun>(parts->parts, nullptr);
  stopped->RequestStop();
  EXPECT_FALSE(stopped->EndOnItsOwn()) << "the stopper ends what the measurement raised";
}

class AcquisitionTest : public ::testing::Test {
 protected:
  void TearDown() override { Stop(); }

  void Start(platform::ThreadProc procedure) {
    run_ = std::make_unique<AcquisitionRun>(parts_->parts, &sink_);
    // As the measurement's start does before the thread runs.
    store().MeasurementAcquiring(true);
    thread_ = platform::threadStart(procedure, run_.get());
    ASSERT_NE(thread_, nullptr);
    ASSERT_TRUE(sink_.WaitFor("BeginMeasure"));
    // Past the first decision: the start, which clears the trigger, is then over.
    ASSERT_TRUE(WaitUntil([this] { return run_->CyclesDone() > 0; }, 5000));
  }
  void Stop() {
    if (run_ != nullptr) run_->RequestStop();
    if (thread_ != nullptr) {
      EXPECT_TRUE(platform::threadWaitEnd(thread_, 5000));
      platform::threadRelease(thread_);
      thread_ = nullptr;
    }
  }
  // Moves the sensor as a new message from the data channel would.
  void MoveTo(double x) {
    {
      MeasurementStore::Message message(store());
      message.position()[0] = x;
    }
    store().Publish();
  }
  void Press() { store().ButtonPressed(1); }
  // The trigger set (a press when it is clear).
  void Trigger() {
    if (store().TriggerToggle() == 0) Press();
  }
  MeasurementStore& store() { return parts_->store; }
  ScannerSettings& settings() { return parts_->settings; }
  // Waits until the thread has completed n decision cycles that began after this call: the
  // cycle under way may have read the fields before the test's last change, so it does not
  // count. False when that takes more than 5 s.
  bool Cycles(unsigned n) {
    const unsigned target = run_->CyclesDone() + n + 1;
    return WaitUntil([this, target] { return run_->CyclesDone() >= target; }, 5000, 1);
  }

  std::unique_ptr<Parts> parts_ = std::make_unique<Parts>();
  EventSink sink_;
  std::unique_ptr<AcquisitionRun> run_;
  platform::Thread* thread_ = nullptr;
};

TEST_F(AcquisitionTest, SingleShotGivesOnePassRecordPerTrigger) {
  Trigger();  // cleared when the thread starts
  Start(AcquireSingleShot);
  ASSERT_TRUE(Cycles(3));
  EXPECT_EQ(sink_.Count("BeginPass"), 0);
  EXPECT_EQ(sink_.Count("AddFreeMeasure"), 1) << "the first position always passes";

  Press();
  ASSERT_TRUE(sink_.WaitFor("EndPass"));
  std::vector<std::string> events = sink_.Events();
  std::vector<std::string> tail(events.end() - 3, events.end());
  EXPECT_EQ(tail, (std::vector<std::string>{"BeginPass", "AddPassMeasure", "EndPass"}))
      << "a standing sensor adds no free record in the closing cycle";
  EXPECT_EQ(store().TriggerToggle(), 0);

  ASSERT_TRUE(Cycles(2));  // past the cycle that closed the pass, which keeps its position
  MoveTo(10);
  ASSERT_TRUE(sink_.WaitFor("AddFreeMeasure", 2));
  ASSERT_TRUE(Cycles(3));
  EXPECT_EQ(sink_.Count("AddFreeMeasure"), 2) << "no record while the sensor stands";
}

TEST_F(AcquisitionTest, ToggledPassLastsWhileTheToggleIsSet) {
  Start(AcquireToggled);
  Press();
  ASSERT_TRUE(sink_.WaitFor("AddPassMeasure"));
  MoveTo(0.4);
  ASSERT_TRUE(Cycles(3));
  EXPECT_EQ(sink_.Count("AddPassMeasure"), 1) << "0.4 is within the threshold";
  MoveTo(1.0);
  ASSERT_TRUE(sink_.WaitFor("AddPassMeasure", 2));
  Press();
  ASSERT_TRUE(sink_.WaitFor("EndPass"));
  EXPECT_EQ(sink_.Count("BeginPass"), 1);
}

TEST_F(AcquisitionTest, ScanPassesFlipOnArmedTriggers) {
  store().SetLaserActive(false);  // no console acquisition switching, no data wait
  store().ButtonPressed(2);       // cleared at start
  settings().SetDetectMode(1);
  Start(AcquireScanPasses);
  ASSERT_TRUE(sink_.WaitFor("AddFreeMeasure"));
  Trigger();
  ASSERT_TRUE(sink_.WaitFor("BeginPass"));
  ASSERT_TRUE(sink_.WaitFor("AddPassMeasure")) << "the pass's first record passes the test";
  ASSERT_TRUE(Cycles(2));
  Trigger();
  ASSERT_TRUE(sink_.WaitFor("EndPass"));
  EXPECT_EQ(sink_.Count("NotifyButton 1"), 0) << "a pending event is cleared at start";
  MoveTo(0.2);
  ASSERT_TRUE(Cycles(3));
  EXPECT_EQ(sink_.Count("AddFreeMeasure"), 1) << "0.2 from the last record is within";
  MoveTo(0.5);
  ASSERT_TRUE(sink_.WaitFor("AddFreeMeasure", 2)) << "distance counts from the last record";
}

// The distance filter of each procedure: the sensor moves step by step, each position seen by at
// least one decision cycle, and the free records are counted. Exactly 0.5 counts as moved and
// 0.49 does not; modes 0 and 1 measure from the previous cycle, so slow motion gives no record,
// while mode 2 measures from the last record, so it gives one every 0.5.
struct DistanceCase {
  const char* name;
  platform::ThreadProc procedure;
  std::vector<double> steps;
  int records;  // after the first one, which always passes
};

void PrintTo(const DistanceCase& c, std::ostream* out) { *out << c.name; }

class DistanceFilterTest : public AcquisitionTest,
                           public ::testing::WithParamInterface<DistanceCase> {};

TEST_P(DistanceFilterTest, RecordsWhereTheSensorMoved) {
  store().SetLaserActive(false);  // no console acquisition switching, no data wait
  Start(GetParam().procedure);
  ASSERT_TRUE(sink_.WaitFor("AddFreeMeasure"));
  for (double x : GetParam().steps) {
    MoveTo(x);
    ASSERT_TRUE(Cycles(1));
  }
  EXPECT_EQ(sink_.Count("AddFreeMeasure"), 1 + GetParam().records);
}

const std::vector<double> kHalf = {0.5};
const std::vector<double> kJustWithin = {0.49};
const std::vector<double> kSlow = {0.3, 0.6, 0.9, 1.2};

INSTANTIATE_TEST_SUITE_P(
    Procedures, DistanceFilterTest,
    ::testing::Values(DistanceCase{"SingleShotHalf", AcquireSingleShot, kHalf, 1},
                      DistanceCase{"SingleShotJustWithin", AcquireSingleShot, kJustWithin, 0},
                      DistanceCase{"SingleShotSlow", AcquireSingleShot, kSlow, 0},
                      DistanceCase{"ToggledHalf", AcquireToggled, kHalf, 1},
                      DistanceCase{"ToggledJustWithin", AcquireToggled, kJustWithin, 0},
                      DistanceCase{"ToggledSlow", AcquireToggled, kSlow, 0},
                      DistanceCase{"ScanPassesHalf", AcquireScanPasses, kHalf, 1},
                      DistanceCase{"ScanPassesJustWithin", AcquireScanPasses, kJustWithin, 0},
                      DistanceCase{"ScanPassesSlow", AcquireScanPasses, kSlow, 2}),
    [](const ::testing::TestParamInfo<DistanceCase>& info) { return info.param.name; });

TEST_F(AcquisitionTest, ButtonEventsWaitForDetectionAndReportInOrder) {
  settings().SetDetectMode(0);
  store().ButtonPressed(4);
  Start(AcquireSingleShot);
  ASSERT_TRUE(Cycles(3));
  EXPECT_EQ(sink_.Count("NotifyButton 1"), 0);
  EXPECT_EQ(store().PendingButtonEvent(), 4) << "held while detection is off";
  settings().SetDetectMode(1);
  ASSERT_TRUE(sink_.WaitFor("OnButtonEvent4"));
  std::vector<std::string> events = sink_.Events();
  auto notify = std::find(events.begin(), events.end(), "NotifyButton 1");
  ASSERT_NE(notify, events.end());
  EXPECT_EQ(*(notify + 1), "OnButtonEvent4");
  store().ButtonPressed(7);  // taken and dropped
  store().ButtonPressed(2);
  ASSERT_TRUE(sink_.WaitFor("OnButtonEvent2"));
}

TEST_F(AcquisitionTest, ThrowingSinkEndsTheThreadQuietly) {
  Start(AcquireToggled);
  sink_.ThrowFromNextCall();
  MoveTo(5);
  ASSERT_TRUE(platform::threadWaitEnd(thread_, 5000));
  unsigned code = 1;
  EXPECT_TRUE(platform::threadExitCode(thread_, &code));
  EXPECT_EQ(code, 0u);
  EXPECT_FALSE(store().Acquiring());
}

TEST_F(AcquisitionTest, NullSinkReturnsWithoutTouchingTheFlags) {
  store().ConsoleAcquiring(true);
  auto run = std::make_unique<AcquisitionRun>(parts_->parts, nullptr);
  platform::Thread* thread = platform::threadStart(AcquireScanPasses, run.get());
  ASSERT_TRUE(platform::threadWaitEnd(thread, 5000));
  platform::threadRelease(thread);
  EXPECT_TRUE(store().Acquiring());
}

TEST_F(AcquisitionTest, OpenPassGetsNoEndPassWhenStopped) {
  Start(AcquireToggled);
  Press();
  ASSERT_TRUE(sink_.WaitFor("BeginPass"));
  Stop();
  EXPECT_EQ(sink_.Count("EndPass"), 0);
  EXPECT_TRUE(store().Acquiring()) << "a stopped thread leaves the flag to its stopper";
}

TEST_F(AcquisitionTest, RecordsAreWholeWhileTheDataThreadRewritesThem) {
  Start(AcquireToggled);
  Press();
  // A writer that stores pose and points of one "stripe" under the lock, as the data thread
  // does; every record must hold one stripe number throughout.
  platform::Thread* writer = platform::threadStart(
      [](void* argument) -> unsigned {
        auto* store = static_cast<MeasurementStore*>(argument);
        for (int stripe = 1; stripe < 2000; ++stripe) {
          {
            MeasurementStore::Message message(*store);
            message.position()[0] = stripe;
            message.setPointCount(100);
            for (int i = 0; i < 300; ++i) message.points()[i] = stripe;
          }
          platform::sleepMs(1);
        }
        return 0;
      },
      &store());
  ASSERT_TRUE(platform::threadWaitEnd(writer, 20000));
  platform::threadRelease(writer);
  Stop();
  std::vector<EventSink::Record> records = sink_.Records();
  ASSERT_GT(records.size(), 10u);
  for (const EventSink::Record& record : records) {
    for (double value : record.points) ASSERT_EQ(value, record.position[0]);
  }
}

}  // namespace
