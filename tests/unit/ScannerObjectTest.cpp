// A new scanner object's resting state, and the operations that only store fields.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>

#include "link/KvtScan3DLumora.h"

namespace {

std::unique_ptr<KvtScan3DLumora> NewScanner() {
  std::int32_t status = -1;
  auto scanner = std::make_unique<KvtScan3DLumora>(&status);
  EXPECT_EQ(status, 0);
  return scanner;
}

// What a new object's first moments depend on; the defaults a host reads through the exports are
// pinned with the built library.
TEST(ScannerObjectTest, NewObjectIsIdleWithTheRestingPose) {
  auto scanner = NewScanner();
  // Set flags would let a first MeasureStart skip its wait for the console's scan begin, or
  // hand the host a record before any data arrived.
  EXPECT_FALSE(scanner->m_scanRunning);
  EXPECT_FALSE(scanner->m_acquiring);
  EXPECT_FALSE(scanner->m_dataReady);
  // A record taken before the first stripe carries this pose.
  const double origin[3] = {0.0, 0.0, 0.0};
  const double up[3] = {0.0, 0.0, 1.0};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(scanner->m_position[i], origin[i]);
    EXPECT_EQ(scanner->m_direction[i], up[i]);
  }
  // The dialog's buttons recover the link of the object that holds it.
  EXPECT_EQ(scanner->m_settingsDialog.m_owner, scanner.get());
}

TEST(ScannerObjectTest, RecordPointsIntoTheObjectItself) {
  auto scanner = NewScanner();
  EXPECT_EQ(scanner->m_measure.position, scanner->m_position);
  EXPECT_EQ(scanner->m_measure.direction, scanner->m_direction);
  EXPECT_EQ(scanner->m_measure.points, &scanner->m_points[0][0]);
  EXPECT_EQ(scanner->m_measure.pointCount, 0);
  // Point i lies at points[3i..3i+2], up to the last slot of the buffer.
  scanner->m_points[POINT_CAPACITY - 1][2] = 42.0;
  EXPECT_EQ(scanner->m_measure.points[3 * POINT_CAPACITY - 1], 42.0);
}

TEST(ScannerObjectTest, SensorSetChoosesTheActiveSensor) {
  auto scanner = NewScanner();
  EXPECT_EQ(scanner->SensorSet(2), 0);
  EXPECT_EQ(scanner->m_laserActive, 1);
  EXPECT_EQ(scanner->m_autoDetect, 0);
  EXPECT_EQ(scanner->m_sensorType, 2);

  EXPECT_EQ(scanner->SensorSet(1), 0);
  EXPECT_EQ(scanner->m_autoDetect, 1);
  EXPECT_EQ(scanner->m_laserActive, 1) << "kept until the console is asked";

  EXPECT_EQ(scanner->SensorSet(3), 0);
  EXPECT_EQ(scanner->m_laserActive, 0);
  EXPECT_EQ(scanner->m_autoDetect, 0);

  scanner->SensorSet(1);
  EXPECT_EQ(scanner->SensorSet(7), 0);
  EXPECT_EQ(scanner->m_sensorType, 7);
  EXPECT_EQ(scanner->m_autoDetect, 0);
  EXPECT_EQ(scanner->m_laserActive, 0);
}

TEST(ScannerObjectTest, SetDiameterKeepsTheValueOnlyForMinusOne) {
  auto scanner = NewScanner();
  scanner->SetDiameter(6.0f);
  EXPECT_EQ(scanner->m_probeDiameter, 6.0f);
  scanner->SetDiameter(-1.0f);
  EXPECT_EQ(scanner->m_probeDiameter, 6.0f);
  scanner->SetDiameter(0.0f);
  EXPECT_EQ(scanner->m_probeDiameter, 0.0f);
  scanner->SetDiameter(std::numeric_limits<float>::quiet_NaN());
  EXPECT_TRUE(std::isnan(scanner->m_probeDiameter.load()));
}

}  // namespace
