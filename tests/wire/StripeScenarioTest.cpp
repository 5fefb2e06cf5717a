// A scripted console streams the synthetic part's stripes into the real data-channel thread; the
// test reads each one back from the scanner object, point for point.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "datachannel/DataChannel.h"
#include "datachannel/PoseConversion.h"
#include "link/KvtScan3DLumora.h"
#include "tools/console-sim/ConsoleSimulator.h"
#include "tools/console-sim/SyntheticPart.h"

namespace {

TEST(StripeScenarioTest, EveryStripeArrivesPointForPoint) {
  std::int32_t status = 0;
  auto scanner = std::make_unique<KvtScan3DLumora>(&status);
  scanner->m_laserActive = 1;
  ASSERT_TRUE(StartDataChannelThread(scanner.get()));
  SimulatorOptions options;
  options.pointsPerStripe = 1280;
  ConsoleSimulator console(options);
  ASSERT_TRUE(console.start());
  ASSERT_TRUE(console.sendScanBegin());  // connects the data channel

  PoseConversion conversion;
  for (int number = 1; number <= 20; ++number) {
    SCOPED_TRACE(number);
    ASSERT_TRUE(console.sendStripe());
    ASSERT_TRUE(console.sendEcho());  // answered only after the stripe has been stored
    PoseHeader header{};
    std::vector<float> points;
    makeStripe(number, 1280, false, &header, &points);
    platform::LockGuard guard(scanner->m_measureLock);
    ASSERT_EQ(scanner->m_measure.pointCount, 1280);
    EXPECT_EQ(scanner->m_position[0], header.x);
    EXPECT_EQ(scanner->m_position[1], header.y);
    EXPECT_EQ(scanner->m_position[2], header.z);
    GPointDouble d = conversion.Direction(header);
    EXPECT_EQ(scanner->m_direction[0], -d.x);
    EXPECT_EQ(scanner->m_direction[1], -d.y);
    EXPECT_EQ(scanner->m_direction[2], -d.z);
    for (std::size_t i = 0; i < points.size(); ++i) {
      ASSERT_EQ(scanner->m_measure.points[i], static_cast<double>(points[i])) << i;
    }
  }
  EXPECT_EQ(console.errorCount(), 0);
  console.stop();
  scanner.reset();
}

}  // namespace
