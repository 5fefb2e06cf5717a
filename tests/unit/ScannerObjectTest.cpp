// A new scanner object's resting state, the store's rules for the console's state, and the
// operations that only store settings.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <vector>

#include "ScannerObject.h"

namespace {

// What a new object's first moments depend on; the defaults a host reads through the exports are
// pinned with the built library.
TEST(ScannerObjectTest, NewObjectIsIdleWithTheRestingPose) {
  auto scanner = NewScanner();
  MeasurementStore& store = scanner->Store();
  // Set flags would let a first MeasureStart skip its wait for the console's scan begin, or
  // hand the host a record before any data arrived.
  EXPECT_FALSE(store.ScanRunning());
  EXPECT_FALSE(store.ScanStopOwed());
  EXPECT_FALSE(store.Acquiring());
  EXPECT_FALSE(store.DataReady());
  // A record taken before the first stripe carries this pose and no points.
  double position[3];
  double direction[3];
  std::vector<double> points(3 * POINT_CAPACITY);
  EXPECT_EQ(store.CopyMessage(position, direction, reinterpret_cast<double(*)[3]>(points.data())),
            0);
  const double origin[3] = {0.0, 0.0, 0.0};
  const double up[3] = {0.0, 0.0, 1.0};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(position[i], origin[i]);
    EXPECT_EQ(direction[i], up[i]);
  }
}

TEST(ScannerObjectTest, AStoredMessageIsCopiedWholeUpToTheCapacity) {
  MeasurementStore store;
  {
    MeasurementStore::Message message(store);
    message.setPointCount(POINT_CAPACITY);
    message.points()[3 * POINT_CAPACITY - 1] = 42.0;
    message.position()[2] = 7.0;
  }
  std::vector<double> points(3 * POINT_CAPACITY);
  double position[3];
  double direction[3];
  auto* rows = reinterpret_cast<double(*)[3]>(points.data());
  ASSERT_EQ(store.CopyMessage(position, direction, rows), POINT_CAPACITY);
  EXPECT_EQ(rows[POINT_CAPACITY - 1][2], 42.0);
  EXPECT_EQ(position[2], 7.0);
  {
    // A count past the room never copies past it.
    MeasurementStore::Message message(store);
    message.setPointCount(POINT_CAPACITY + 1);
  }
  EXPECT_EQ(store.CopyMessage(position, direction, rows), POINT_CAPACITY);
}

// A reconnect while the console scans forgets what it reported, so that waits for its notices
// end, but the scan stop stays owed until it is sent or the console reports again.
TEST(ScannerObjectTest, ALinkRestartLeavesTheScanStopOwed) {
  MeasurementStore store;
  store.ScanBegan();
  store.ConsoleAcquiring(true);
  store.LinkRestarted();
  EXPECT_FALSE(store.ScanRunning());
  EXPECT_TRUE(store.ScanStopOwed());
  EXPECT_FALSE(store.Acquiring());
  store.ScanStopSent();
  EXPECT_FALSE(store.ScanStopOwed());

  store.ScanBegan();
  store.LinkRestarted();
  store.ScanBegan();
  EXPECT_TRUE(store.ScanRunning()) << "a fresh report replaces the owed stop";
  store.ScanEnded();
  EXPECT_FALSE(store.ScanRunning());
  EXPECT_FALSE(store.ScanStopOwed());
  store.LinkRestarted();
  EXPECT_FALSE(store.ScanStopOwed()) << "nothing is owed for a scan that ended";
}

// Acquisition is on while the console says so or a measurement runs: the console's notices and
// the plug-in's own clears never end a running measurement's acquisition, and only the
// measurement's own end does.
TEST(ScannerObjectTest, AMeasurementKeepsAcquisitionOnWhateverTheConsoleSays) {
  MeasurementStore store;
  store.MeasurementAcquiring(true);
  store.ConsoleAcquiring(false);
  store.ClearConsoleAcquiring();
  store.LinkRestarted();
  store.ScanEnded();
  EXPECT_TRUE(store.Acquiring());
  store.MeasurementAcquiring(false);
  EXPECT_FALSE(store.Acquiring());
  store.ConsoleAcquiring(true);
  EXPECT_TRUE(store.Acquiring());
  store.ClearConsoleAcquiring();
  EXPECT_FALSE(store.Acquiring());
}

TEST(ScannerObjectTest, SensorSetChoosesTheActiveSensor) {
  auto scanner = NewScanner();
  const MeasurementStore& store = scanner->Store();
  const ScannerSettings& settings = scanner->Settings();
  EXPECT_EQ(scanner->SensorSet(2), 0);
  EXPECT_TRUE(store.LaserActive());
  EXPECT_FALSE(store.AutoDetect());
  EXPECT_EQ(settings.SensorType(), 2);

  EXPECT_EQ(scanner->SensorSet(1), 0);
  EXPECT_TRUE(store.AutoDetect());
  EXPECT_TRUE(store.LaserActive()) << "kept until the console is asked";

  EXPECT_EQ(scanner->SensorSet(3), 0);
  EXPECT_FALSE(store.LaserActive());
  EXPECT_FALSE(store.AutoDetect());

  scanner->SensorSet(1);
  EXPECT_EQ(scanner->SensorSet(7), 0);
  EXPECT_EQ(settings.SensorType(), 7);
  EXPECT_FALSE(store.AutoDetect());
  EXPECT_FALSE(store.LaserActive());
}

TEST(ScannerObjectTest, SetDiameterKeepsTheValueOnlyForMinusOne) {
  auto scanner = NewScanner();
  const ScannerSettings& settings = scanner->Settings();
  scanner->SetDiameter(6.0f);
  EXPECT_EQ(settings.ProbeDiameter(), 6.0f);
  scanner->SetDiameter(-1.0f);
  EXPECT_EQ(settings.ProbeDiameter(), 6.0f);
  scanner->SetDiameter(0.0f);
  EXPECT_EQ(settings.ProbeDiameter(), 0.0f);
  scanner->SetDiameter(std::numeric_limits<float>::quiet_NaN());
  EXPECT_TRUE(std::isnan(settings.ProbeDiameter()));
}

}  // namespace
