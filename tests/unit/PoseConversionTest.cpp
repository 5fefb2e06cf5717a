// The pose and point conversion: angles, direction, and what each point message stores.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "datachannel/MeasurementStore.h"
#include "datachannel/PoseConversion.h"

namespace {

std::vector<unsigned char> Block(const std::vector<float>& floats) {
  std::vector<unsigned char> bytes(floats.size() * 4 + 12);
  for (size_t i = 0; i < floats.size(); ++i) PutFloat32(&bytes[4 * i], floats[i]);
  return bytes;
}

PoseHeader Header(int points, float rx, float ry, float rz) {
  PoseHeader header{};
  header.numPoints = points;
  header.x = 1.5f;
  header.y = -2.25f;
  header.z = 300.125f;
  header.rx = rx;
  header.ry = ry;
  header.rz = rz;
  return header;
}

class PoseConversionTest : public ::testing::Test {
 protected:
  std::unique_ptr<MeasurementStore> store_ = std::make_unique<MeasurementStore>();
  PoseConversion conversion_;
  // The store's last message as the acquisition thread copies it (Read).
  double position_[3] = {};
  double direction_[3] = {};
  std::vector<double> points_ = std::vector<double>(3 * POINT_CAPACITY);
  std::int32_t count_ = -1;

  void Read() {
    count_ =
        store_->CopyMessage(position_, direction_, reinterpret_cast<double(*)[3]>(points_.data()));
  }
  void ExpectDirection(double x, double y, double z) {
    EXPECT_NEAR(direction_[0], x, 1e-12);
    EXPECT_NEAR(direction_[1], y, 1e-12);
    EXPECT_NEAR(direction_[2], z, 1e-12);
  }
};

TEST(AngleTest, UsesTheTwelveDecimalConstant) {
  EXPECT_EQ(DegreesToRadians(180.0f), 3.141592653589);
  EXPECT_EQ(DegreesToRadians(90.0f), 1.5707963267945);
  EXPECT_EQ(DegreesToRadians(0.0f), 0.0);
}

TEST(AngleTest, DirectionTurnsTheZAxisByRzRyRx) {
  struct Case {
    float rx, ry, rz;
    double x, y, z;  // the turned Z axis
  } cases[] = {
      {0, 0, 0, 0, 0, 1},
      // Right-handed: +90 about X takes Z to -Y; +90 about Y takes Z to +X.
      {90, 0, 0, 0, -1, 0},
      {0, 90, 0, 1, 0, 0},
      // Rz alone leaves the Z axis where it is; after Ry it turns the tilted axis: (Rz*Ry)*Rx.
      {0, 0, 90, 0, 0, 1},
      {0, 90, 90, 0, 1, 0},
      // Rx first: X by 90 gives -Y, then Z by 90 turns -Y into +X.
      {90, 0, 90, 1, 0, 0},
      // Rx before Ry: X by 90 gives -Y, which Y by 90 leaves where it is.
      {90, 90, 0, 0, -1, 0},
      {180, 0, 0, 0, 0, -1},
  };
  PoseConversion conversion;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.rx << " " << c.ry << " " << c.rz);
    GPointDouble d = conversion.Direction(Header(0, c.rx, c.ry, c.rz));
    EXPECT_NEAR(d.x, c.x, 1e-12);
    EXPECT_NEAR(d.y, c.y, 1e-12);
    EXPECT_NEAR(d.z, c.z, 1e-12);
  }
}

TEST_F(PoseConversionTest, LaserStripeStoresNegatedDirectionPoseAndWidenedPoints) {
  store_->SetLaserActive(true);
  auto block = Block({1.25f, 2.5f, -3.75f, 4.0f, 5.0f, 6.0f});
  conversion_.StoreLaserPoints(*store_, Header(2, 0, 0, 0), block.data());
  Read();
  EXPECT_EQ(count_, 2);
  ExpectDirection(0, 0, -1);
  EXPECT_EQ(position_[0], 1.5);
  EXPECT_EQ(position_[1], -2.25);
  EXPECT_EQ(position_[2], 300.125);
  const double expected[] = {1.25, 2.5, -3.75, 4.0, 5.0, 6.0};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(points_[i], expected[i]);
  EXPECT_TRUE(store_->DataReady());
}

TEST_F(PoseConversionTest, LaserStripeWithoutPointsStillTakesThePose) {
  store_->SetLaserActive(true);
  auto block = Block({});
  conversion_.StoreLaserPoints(*store_, Header(0, 0, 90, 0), block.data());
  Read();
  EXPECT_EQ(count_, 0);
  ExpectDirection(-1, 0, 0);
  EXPECT_EQ(position_[2], 300.125);
}

TEST_F(PoseConversionTest, LaserStripeWhileTheProbeIsActiveResetsThePose) {
  store_->SetLaserActive(false);
  {
    MeasurementStore::Message message(*store_);
    message.position()[0] = 9;
    message.setPointCount(5);
  }
  auto block = Block({1, 2, 3});
  conversion_.StoreLaserPoints(*store_, Header(1, 10, 20, 30), block.data());
  Read();
  EXPECT_EQ(count_, 0);
  ExpectDirection(0, 0, 1);
  EXPECT_EQ(position_[0], 0.0);
  EXPECT_TRUE(store_->DataReady());
}

TEST_F(PoseConversionTest, ProbeMessagesKeepTheDirectionAndHandOverDifferentPoints) {
  store_->SetAutoDetect(true);
  auto block = Block({7, 8, 9, 100, 100, 100});
  PoseHeader header = Header(2, 0, 90, 0);

  conversion_.StoreProbeVector(*store_, header, block.data());
  Read();
  ExpectDirection(1, 0, 0);
  EXPECT_EQ(position_[0], 7.0);
  EXPECT_EQ(position_[2], 9.0);
  ASSERT_EQ(count_, 1);
  EXPECT_NEAR(points_[0], 1.0, 1e-12) << "a vector hands over the direction";
  EXPECT_NEAR(points_[2], 0.0, 1e-12);

  conversion_.StoreProbePoint(*store_, header, block.data());
  Read();
  ExpectDirection(1, 0, 0);
  EXPECT_EQ(position_[1], 8.0);
  ASSERT_EQ(count_, 1);
  EXPECT_EQ(points_[0], 7.0) << "a point hands over the received point";
  EXPECT_EQ(points_[2], 9.0);
}

TEST_F(PoseConversionTest, ProbeWithoutAutomaticDetectionHandsOverNoPoint) {
  auto block = Block({7, 8, 9});
  conversion_.StoreProbePoint(*store_, Header(1, 0, 0, 0), block.data());
  Read();
  EXPECT_EQ(count_, 0);
  EXPECT_EQ(position_[0], 7.0);
  ExpectDirection(0, 0, 1);
  EXPECT_TRUE(store_->DataReady());
}

}  // namespace
