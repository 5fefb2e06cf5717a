// A scripted console streams the synthetic part's stripes into the real data-channel thread; the
// test reads each one back from the measurement store, point for point.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

#include "datachannel/DataChannel.h"
#include "datachannel/MeasurementStore.h"
#include "tools/console-sim/ConsoleSimulator.h"
#include "tools/console-sim/SyntheticPart.h"

namespace {

TEST(StripeScenarioTest, EveryStripeArrivesPointForPoint) {
  auto store = std::make_unique<MeasurementStore>();
  store->SetLaserActive(true);
  Lifecycle lifecycle;
  DataChannel channel(lifecycle, *store);
  ASSERT_TRUE(channel.Start());
  std::vector<double> stored(3 * POINT_CAPACITY);
  SimulatorOptions options;
  options.pointsPerStripe = 1280;
  ConsoleSimulator console(options);
  ASSERT_TRUE(console.start());
  ASSERT_TRUE(console.sendScanBegin());  // connects the data channel

  constexpr double kRadiansPerDegree = 3.14159265358979323846 / 180.0;
  for (int number = 1; number <= 20; ++number) {
    SCOPED_TRACE(number);
    ASSERT_TRUE(console.sendStripe());
    ASSERT_TRUE(console.sendEcho());  // answered only after the stripe has been stored
    PoseHeader header{};
    std::vector<float> points;
    makeStripe(number, 1280, false, &header, &points);
    double position[3];
    double direction[3];
    ASSERT_EQ(
        store->CopyMessage(position, direction, reinterpret_cast<double(*)[3]>(stored.data())),
        1280);
    EXPECT_EQ(position[0], header.x);
    EXPECT_EQ(position[1], header.y);
    EXPECT_EQ(position[2], header.z);
    // The negated Z axis turned by Rz*Ry*Rx, worked out here on its own.
    const double rx = header.rx * kRadiansPerDegree;
    const double ry = header.ry * kRadiansPerDegree;
    const double rz = header.rz * kRadiansPerDegree;
    const double tilted = std::sin(ry) * std::cos(rx);
    EXPECT_NEAR(direction[0], -(std::cos(rz) * tilted + std::sin(rz) * std::sin(rx)), 1e-9);
    EXPECT_NEAR(direction[1], -(std::sin(rz) * tilted - std::cos(rz) * std::sin(rx)), 1e-9);
    EXPECT_NEAR(direction[2], -(std::cos(ry) * std::cos(rx)), 1e-9);
    for (std::size_t i = 0; i < points.size(); ++i) {
      ASSERT_EQ(stored[i], static_cast<double>(points[i])) << i;
    }
  }
  EXPECT_EQ(console.errorCount(), 0);
  console.stop();
  channel.Stop(StopMode::kUnload);
  EXPECT_FALSE(channel.Started());
}

}  // namespace
