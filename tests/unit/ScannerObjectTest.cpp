// A new scanner object's fields, and the operations that only store fields.
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

TEST(ScannerObjectTest, NewObjectHasTheDefaults) {
  auto scanner = NewScanner();
  EXPECT_EQ(scanner->m_connected, 0);
  EXPECT_EQ(scanner->m_buttonMode, 0);
  EXPECT_EQ(scanner->m_detectMode, 0);
  EXPECT_EQ(scanner->m_mouseMode, 0);
  EXPECT_EQ(scanner->m_sensorType, 1);
  EXPECT_EQ(scanner->m_sound, 0);
  EXPECT_EQ(scanner->m_buttonEvent, 0);
  EXPECT_EQ(scanner->m_triggerToggle, 0);
  EXPECT_FALSE(scanner->m_dataReady);
  EXPECT_FALSE(scanner->m_scanRunning);
  EXPECT_FALSE(scanner->m_acquiring);
  EXPECT_EQ(scanner->m_startMode, 0);
  EXPECT_EQ(scanner->m_laserActive, 0);
  EXPECT_EQ(scanner->m_autoDetect, 0);
  EXPECT_EQ(scanner->m_probeDiameter, 0.0f);
  EXPECT_TRUE(scanner->m_showToolBar);
  EXPECT_FALSE(scanner->m_showStatus);
  EXPECT_EQ(scanner->m_debugLog, nullptr);
  EXPECT_EQ(scanner->m_acquisition, nullptr);
  EXPECT_EQ(scanner->m_sink, nullptr);

  EXPECT_FALSE(scanner->m_settingsDialog.m_isOpen);
  EXPECT_EQ(scanner->m_settingsDialog.m_owner, scanner.get());
  EXPECT_EQ(scanner->m_settingsDialog.m_alwaysStatus, 0);
  EXPECT_EQ(scanner->m_settingsDialog.m_alwaysToolBar, 0);
  EXPECT_EQ(scanner->m_settingsDialog.m_typeScanning, 0);

  const double origin[3] = {0.0, 0.0, 0.0};
  const double up[3] = {0.0, 0.0, 1.0};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(scanner->m_position[i], origin[i]);
    EXPECT_EQ(scanner->m_direction[i], up[i]);
  }
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
