// The data-channel server over a real socket on port 2002: acknowledgements and reply records
// byte for byte, the store's changes, connection ends, and hostile input.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "GoldenBytes.h"
#include "ManualClock.h"
#include "RawPeer.h"
#include "datachannel/DataChannel.h"
#include "datachannel/MeasurementStore.h"
#include "wire/WireRecords.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes Word(std::int32_t value) {
  Bytes bytes(4);
  PutInt32(bytes.data(), value);
  return bytes;
}

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes TextPayload(std::int32_t tag, const std::string& text) {
  Bytes bytes(TEXT_RECORD_SIZE, 0xEE);  // filler behind the terminator must not come back
  PutInt32(bytes.data(), tag);
  std::memcpy(&bytes[4], text.data(), text.size());
  if (text.size() < TEXT_SIZE) bytes[4 + text.size()] = 0;
  return bytes;
}

Bytes TextReply(std::int32_t tag, const std::string& text) {
  Bytes bytes(TEXT_REPLY_SIZE, 0);
  PutInt32(&bytes[4], tag);
  std::memcpy(&bytes[8], text.data(), text.size());
  return bytes;
}

Bytes HeaderMessage(std::int32_t type, const PoseHeader& header) {
  Bytes bytes(POSE_HEADER_SIZE);
  EncodePoseHeader(header, bytes.data());
  return Word(type) + bytes;
}

Bytes PointsMessage(std::int32_t type, const std::vector<float>& floats) {
  Bytes bytes(floats.size() * 4);
  for (size_t i = 0; i < floats.size(); ++i) PutFloat32(&bytes[4 * i], floats[i]);
  return Word(type) + bytes;
}

PoseHeader Pose(int points, float x, float rx = 0, float ry = 0, float rz = 0) {
  PoseHeader header{};
  header.numPoints = points;
  header.x = x;
  header.y = 2;
  header.z = 3;
  header.rx = rx;
  header.ry = ry;
  header.rz = rz;
  return header;
}

class DataChannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(channel_->Start());
    ASSERT_TRUE(peer_.Connect(DATA_PORT));
  }
  void TearDown() override {
    peer_.Close();
    // As the scanner object's teardown stops the data thread.
    channel_->Stop(StopMode::kUnload);
    EXPECT_FALSE(channel_->Started());
  }

  // The store's last message, as the acquisition thread copies it.
  struct Last {
    std::vector<double> position = std::vector<double>(3);
    std::vector<double> direction = std::vector<double>(3);
    std::vector<double> points = std::vector<double>(3 * POINT_CAPACITY);
    std::int32_t count = 0;
  };
  Last Read() const {
    Last last;
    last.count = store_->CopyMessage(last.position.data(), last.direction.data(),
                                     reinterpret_cast<double(*)[3]>(last.points.data()));
    return last;
  }
  std::int32_t Count() const { return Read().count; }
  std::vector<double> Position() const { return Read().position; }
  std::vector<double> Direction() const { return Read().direction; }
  // Point i's three coordinates.
  std::vector<double> Point(int i) const {
    Last last = Read();
    return {last.points.begin() + 3 * i, last.points.begin() + 3 * i + 3};
  }
  double PointValue(int i) const { return Read().points[static_cast<std::size_t>(i)]; }

  // Every message before an echo has been handled once the echo's reply is back.
  void Sync(RawPeer& peer) {
    ASSERT_TRUE(peer.Send(Word(DATA_ECHO) + golden::kEchoPayload));
    ASSERT_EQ(peer.ReadInt32(), DATA_ECHO_ACK);
    ASSERT_EQ(peer.Read(ECHO_REPLY_SIZE), golden::kEchoReply);
  }
  void Sync() { Sync(peer_); }

  std::unique_ptr<MeasurementStore> store_ = std::make_unique<MeasurementStore>();
  Lifecycle lifecycle_;
  std::unique_ptr<DataChannel> channel_ = std::make_unique<DataChannel>(lifecycle_, *store_);
  RawPeer peer_;
};

// The header encoder and decoder against the bytes of the table, field by field.
TEST(PoseHeaderWireTest, EncodesAndDecodesAtTheTablesOffsets) {
  struct Case {
    const golden::HeaderMessage& message;
    PoseHeader header;
  };
  const Case cases[] = {
      {golden::kLaserHeader, {2, 0, 1.5f, -2, 100, 0, 90, 0}},
      {golden::kProbeVectorHeader, {1, 0, 12.5f, 0.25f, -0.5f, -90, 0, 0}},
      {golden::kProbePointHeader, {1, 0, 1.5f, -2, 3, 0, 0, 0}},
      {golden::kOtherHeader, {3, -100, 8, 16, -1, 0, 90, 90}},
  };
  for (const Case& c : cases) {
    const Bytes message = c.message.bytes();
    const Bytes wire(message.begin() + 4, message.end());
    Bytes encoded(POSE_HEADER_SIZE, 0xEE);
    EncodePoseHeader(c.header, encoded.data());
    EXPECT_EQ(encoded, wire) << "type " << GetInt32(message.data());
    PoseHeader decoded = DecodePoseHeader(wire.data());
    EXPECT_EQ(decoded.numPoints, c.header.numPoints);
    EXPECT_EQ(decoded.mark, c.header.mark);
    EXPECT_EQ(
        (std::vector<float>{decoded.x, decoded.y, decoded.z, decoded.rx, decoded.ry, decoded.rz}),
        (std::vector<float>{c.header.x, c.header.y, c.header.z, c.header.rx, c.header.ry,
                            c.header.rz}));
  }
}

TEST_F(DataChannelTest, NoticesAreAcknowledgedAndEchoedByteForByte) {
  ASSERT_TRUE(peer_.Send(Word(DATA_BEGIN) + TextPayload(7, "abc") + Word(-9)));
  EXPECT_EQ(peer_.ReadInt32(), 3329);
  EXPECT_EQ(peer_.Read(TEXT_VALUE_REPLY_SIZE), TextReply(7, "abc") + Word(-9));

  ASSERT_TRUE(peer_.Send(Word(DATA_SCAN_BEGIN) + TextPayload(8, "scan")));
  EXPECT_EQ(peer_.ReadInt32(), 3345);
  EXPECT_EQ(peer_.Read(TEXT_REPLY_SIZE), TextReply(8, "scan"));
  Sync();  // the change follows the reply
  EXPECT_TRUE(store_->ScanRunning());

  ASSERT_TRUE(peer_.Send(Word(DATA_ACQUIRE_BEGIN) + TextPayload(9, "") + Word(1)));
  EXPECT_EQ(peer_.ReadInt32(), 3361);
  EXPECT_EQ(peer_.Read(TEXT_VALUE_REPLY_SIZE), TextReply(9, "") + Word(1));
  Sync();
  EXPECT_TRUE(store_->Acquiring());

  // The scan end notice clears acquiring, not scanning.
  ASSERT_TRUE(peer_.Send(Word(DATA_SCAN_END) + TextPayload(10, "x")));
  EXPECT_EQ(peer_.ReadInt32(), 3601);
  EXPECT_EQ(peer_.Read(TEXT_REPLY_SIZE), TextReply(10, "x"));
  Sync();
  EXPECT_TRUE(store_->ScanRunning());
  EXPECT_FALSE(store_->Acquiring());

  ASSERT_TRUE(peer_.Send(Word(DATA_ACQUIRE_ON)));
  Sync();
  EXPECT_TRUE(store_->Acquiring());
  ASSERT_TRUE(peer_.Send(Word(DATA_ACQUIRE_OFF)));
  Sync();
  EXPECT_FALSE(store_->Acquiring());

  ASSERT_TRUE(peer_.Send(Word(DATA_ACQUIRE_BEGIN) + TextPayload(1, "a") + Word(0)));
  ASSERT_EQ(peer_.ReadInt32(), 3361);
  peer_.Read(TEXT_VALUE_REPLY_SIZE);
  ASSERT_TRUE(peer_.Send(Word(DATA_ACQUIRE_END) + TextPayload(11, "y") + Word(5)));
  EXPECT_EQ(peer_.ReadInt32(), 3617);
  EXPECT_EQ(peer_.Read(TEXT_VALUE_REPLY_SIZE), TextReply(11, "y") + Word(5));
  Sync();
  EXPECT_FALSE(store_->Acquiring());
}

TEST_F(DataChannelTest, FullLengthTextComesBackWholeAndNothingBeyondIt) {
  std::string text(TEXT_SIZE, 'Z');
  ASSERT_TRUE(peer_.Send(Word(DATA_BEGIN) + TextPayload(1, text) + Word(0x11223344)));
  EXPECT_EQ(peer_.ReadInt32(), 3329);
  EXPECT_EQ(peer_.Read(TEXT_VALUE_REPLY_SIZE), TextReply(1, text) + Word(0x11223344));
}

// The pause after the end notice is held to the millisecond on a clock that the test moves.
TEST_F(DataChannelTest, EndNoticeClearsFlagsAndClosesAfterItsPause) {
  ASSERT_TRUE(peer_.Send(Word(DATA_SCAN_BEGIN) + TextPayload(1, "s")));
  ASSERT_EQ(peer_.ReadInt32(), 3345);
  peer_.Read(TEXT_REPLY_SIZE);
  ASSERT_TRUE(peer_.Send(Word(DATA_ACQUIRE_ON)));
  Sync();

  ManualClock clock;
  const std::uint32_t start = clock.Now();
  ASSERT_TRUE(peer_.Send(Word(DATA_END) + TextPayload(2, "end") + Word(3)));
  EXPECT_EQ(peer_.ReadInt32(), 3585);
  EXPECT_EQ(peer_.Read(TEXT_VALUE_REPLY_SIZE), TextReply(2, "end") + Word(3));
  // The pause has begun, its limit counted from the standing clock's time, once it has looked
  // at the clock twice. Its last millisecond: the flags are still set and the connection open.
  EXPECT_TRUE(clock.WaitForLooks(2)) << "the pause does not look at the clock";
  clock.Set(start + 500);
  ASSERT_TRUE(clock.WaitForLooks(3)) << "the pause does not look at the clock";
  EXPECT_TRUE(store_->ScanRunning()) << "cleared before the pause's end";
  EXPECT_TRUE(store_->Acquiring());
  clock.Set(start + 501);
  EXPECT_TRUE(peer_.ClosedByPeer()) << "still open after the pause";
  EXPECT_FALSE(store_->ScanRunning());
  EXPECT_FALSE(store_->Acquiring());

  // The next console connection is served at once.
  RawPeer next;
  ASSERT_TRUE(next.Connect(DATA_PORT));
  Sync(next);
}

TEST_F(DataChannelTest, ButtonEventsToggleTheTriggerOrStoreTheCode) {
  auto press = [this](std::int32_t type, std::int32_t code) {
    ASSERT_TRUE(peer_.Send(Word(type) + Word(code)));
    EXPECT_EQ(peer_.ReadInt32(), 3964) << "both button types share one acknowledgement";
    EXPECT_EQ(peer_.Read(BUTTON_REPLY_SIZE), Word(0) + Word(code));
    if (type == DATA_BUTTON) Sync();  // the change follows the reply
  };
  press(DATA_BUTTON, 1);
  EXPECT_EQ(store_->TriggerToggle(), 1);
  EXPECT_TRUE(store_->DataReady());
  press(DATA_BUTTON, 1);
  EXPECT_EQ(store_->TriggerToggle(), 0);
  EXPECT_EQ(store_->PendingButtonEvent(), 0) << "button 1 leaves the event code alone";

  press(DATA_BUTTON, 4);
  EXPECT_EQ(store_->PendingButtonEvent(), 4);
  store_->ClearDataReady();
  press(DATA_BUTTON, 0);
  EXPECT_EQ(store_->PendingButtonEvent(), 0);
  EXPECT_TRUE(store_->DataReady());

  press(DATA_BUTTON_FINAL, 2);
  EXPECT_TRUE(peer_.ClosedByPeer());
  EXPECT_EQ(store_->PendingButtonEvent(), 2);
}

TEST_F(DataChannelTest, EchoFinalAnswersThenCloses) {
  Bytes payload(ECHO_PAYLOAD_SIZE, 0xAB);
  ASSERT_TRUE(peer_.Send(Word(DATA_ECHO_FINAL) + payload));
  EXPECT_EQ(peer_.ReadInt32(), 3988) << "the final echo shares the echo's acknowledgement";
  EXPECT_EQ(peer_.Read(ECHO_REPLY_SIZE), Word(0) + payload);
  EXPECT_TRUE(peer_.ClosedByPeer());
}

TEST_F(DataChannelTest, UnknownTypesAreSkippedWordByWord) {
  ASSERT_TRUE(peer_.Send(Word(3329) + Word(0) + Word(-1) + Word(DATA_ACQUIRE_ON)));
  Sync();
  EXPECT_TRUE(store_->Acquiring());
}

TEST_F(DataChannelTest, LaserStripeReachesTheScannerObject) {
  store_->SetLaserActive(true);
  ASSERT_TRUE(peer_.Send(HeaderMessage(DATA_LASER_HEADER, Pose(2, 10.5f, 0, 90, 0))));
  ASSERT_TRUE(peer_.Send(PointsMessage(DATA_LASER_POINTS, {1, 2, 3, 4, 5, 6})));
  Sync();
  EXPECT_EQ(Count(), 2);
  EXPECT_EQ(Position()[0], 10.5);
  EXPECT_NEAR(Direction()[0], -1.0, 1e-12);
  EXPECT_EQ(PointValue(5), 6.0);
  EXPECT_TRUE(store_->DataReady());

  // A second block without a new header uses the same count and pose.
  ASSERT_TRUE(peer_.Send(PointsMessage(DATA_LASER_POINTS, {7, 8, 9, 10, 11, 12})));
  Sync();
  EXPECT_EQ(PointValue(0), 7.0);
  EXPECT_EQ(Count(), 2);
}

// Each header type as the table lays it out, read by the data thread: count, mark, position and
// each of the three angles must come from their own offsets.
TEST_F(DataChannelTest, HeadersOfEveryTypeAreReadAtTheirOffsets) {
  const double tolerance = 1e-9;  // the angles use a 12-decimal pi
  store_->SetLaserActive(true);
  ASSERT_TRUE(peer_.Send(golden::kLaserHeader.bytes()));
  ASSERT_TRUE(peer_.Send(PointsMessage(DATA_LASER_POINTS, {1, 2, 3, 4, 5, 6})));
  Sync();
  EXPECT_EQ(Count(), 2);
  EXPECT_EQ(Point(1)[2], 6.0);
  EXPECT_EQ(Position(), (std::vector<double>{1.5, -2, 100}));
  EXPECT_NEAR(Direction()[0], -1.0, tolerance) << "90 degrees about Y, negated";
  EXPECT_NEAR(Direction()[1], 0.0, tolerance);
  EXPECT_NEAR(Direction()[2], 0.0, tolerance);

  // Any header type's pose serves the next laser block.
  ASSERT_TRUE(peer_.Send(golden::kOtherHeader.bytes()));
  ASSERT_TRUE(peer_.Send(PointsMessage(DATA_LASER_POINTS, {1, 2, 3, 4, 5, 6, 7, 8, 9})));
  Sync();
  EXPECT_EQ(Count(), 3);
  EXPECT_EQ(Point(2)[2], 9.0);
  EXPECT_EQ(Position(), (std::vector<double>{8, 16, -1}));
  EXPECT_NEAR(Direction()[0], 0.0, tolerance);
  EXPECT_NEAR(Direction()[1], -1.0, tolerance) << "90 about Y, then 90 about Z, negated";
  EXPECT_NEAR(Direction()[2], 0.0, tolerance);

  // That header's mark -100 mutes a probe vector.
  store_->SetLaserActive(false);
  store_->SetAutoDetect(true);
  store_->ClearDataReady();
  ASSERT_TRUE(peer_.Send(PointsMessage(DATA_PROBE_VECTOR, {1, 2, 3, 4, 5, 6, 7, 8, 9})));
  Sync();
  EXPECT_FALSE(store_->DataReady()) << "the mark at offset 264 was not read";

  ASSERT_TRUE(peer_.Send(golden::kProbeVectorHeader.bytes()));
  ASSERT_TRUE(peer_.Send(PointsMessage(DATA_PROBE_VECTOR, {12.5f, 0.25f, -0.5f})));
  Sync();
  EXPECT_TRUE(store_->DataReady());
  EXPECT_EQ(Position(), (std::vector<double>{12.5, 0.25, -0.5}));
  EXPECT_NEAR(Direction()[0], 0.0, tolerance);
  EXPECT_NEAR(Direction()[1], 1.0, tolerance) << "-90 degrees about X";
  EXPECT_NEAR(Direction()[2], 0.0, tolerance);
  EXPECT_NEAR(Point(0)[1], 1.0, tolerance) << "a probe vector hands over d";

  ASSERT_TRUE(peer_.Send(golden::kProbePointHeader.bytes()));
  ASSERT_TRUE(peer_.Send(PointsMessage(DATA_PROBE_POINT, {1.5f, -2, 3})));
  Sync();
  EXPECT_EQ(Position(), (std::vector<double>{1.5, -2, 3}));
  EXPECT_EQ(Direction(), (std::vector<double>{0, 0, 1}));
  EXPECT_EQ(Point(0), (std::vector<double>{1.5, -2, 3}));
}

TEST_F(DataChannelTest, BlockCutInTheMiddleLeavesTheScannerObjectUnchanged) {
  store_->SetLaserActive(true);
  ASSERT_TRUE(peer_.Send(HeaderMessage(DATA_LASER_HEADER, Pose(3, 10.5f))));
  ASSERT_TRUE(peer_.Send(PointsMessage(DATA_LASER_POINTS, {1, 2, 3, 4})));
  peer_.Close();
  // The server goes back to listening; a new connection proves the old one was dropped.
  RawPeer next;
  ASSERT_TRUE(next.Connect(DATA_PORT));
  Sync(next);
  EXPECT_EQ(Count(), 0);
  EXPECT_EQ(Position()[0], 0.0);
  EXPECT_FALSE(store_->DataReady());
}

TEST_F(DataChannelTest, CountsOutsideTheBlockAreReadAndDroppedInStep) {
  store_->SetLaserActive(true);
  // 10001 points: read whole and dropped, the stream stays in step.
  ASSERT_TRUE(peer_.Send(HeaderMessage(DATA_LASER_HEADER, Pose(10001, 5))));
  ASSERT_TRUE(peer_.Send(PointsMessage(DATA_LASER_POINTS, std::vector<float>(30003, 1.0f))));
  Sync();
  EXPECT_EQ(Count(), 0);
  EXPECT_FALSE(store_->DataReady());
  // A negative count is no points at all: the next word is a type again.
  ASSERT_TRUE(peer_.Send(HeaderMessage(DATA_LASER_HEADER, Pose(-5, 5))));
  ASSERT_TRUE(peer_.Send(Word(DATA_LASER_POINTS)));
  Sync();
  EXPECT_FALSE(store_->DataReady());
  // Then a full block of 10000 points is taken.
  ASSERT_TRUE(peer_.Send(HeaderMessage(DATA_LASER_HEADER, Pose(10000, 5))));
  std::vector<float> floats(30000);
  for (int i = 0; i < 30000; ++i) floats[i] = static_cast<float>(i);
  ASSERT_TRUE(peer_.Send(PointsMessage(DATA_LASER_POINTS, floats)));
  Sync();
  EXPECT_EQ(Count(), 10000);
  EXPECT_EQ(PointValue(29999), 29999.0);
}

TEST_F(DataChannelTest, PointBeforeAnyHeaderBringsNoPoints) {
  store_->SetLaserActive(true);
  ASSERT_TRUE(peer_.Send(Word(DATA_LASER_POINTS)));
  Sync();
  EXPECT_EQ(Count(), 0);
  EXPECT_TRUE(store_->DataReady());
}

TEST_F(DataChannelTest, BeginNoticeMutesProbeVectorsUntilTheNextHeader) {
  store_->SetAutoDetect(true);
  ASSERT_TRUE(peer_.Send(HeaderMessage(DATA_PROBE_VECTOR_HEADER, Pose(1, 0))));
  ASSERT_TRUE(peer_.Send(Word(DATA_BEGIN) + TextPayload(1, "b") + Word(0)));
  ASSERT_EQ(peer_.ReadInt32(), 3329);
  peer_.Read(TEXT_VALUE_REPLY_SIZE);
  // Ignored, but its block is still read so the stream stays in step.
  ASSERT_TRUE(peer_.Send(PointsMessage(DATA_PROBE_VECTOR, {4, 5, 6})));
  Sync();
  EXPECT_FALSE(store_->DataReady());
  // A probe point does not look at the mark.
  ASSERT_TRUE(peer_.Send(PointsMessage(DATA_PROBE_POINT, {4, 5, 6})));
  Sync();
  EXPECT_TRUE(store_->DataReady());
  EXPECT_EQ(Position()[0], 4.0);
  EXPECT_EQ(Point(0)[2], 6.0);

  store_->ClearDataReady();
  ASSERT_TRUE(peer_.Send(HeaderMessage(DATA_PROBE_VECTOR_HEADER, Pose(1, 0, 0, 90, 0))));
  ASSERT_TRUE(peer_.Send(PointsMessage(DATA_PROBE_VECTOR, {7, 8, 9})));
  Sync();
  EXPECT_TRUE(store_->DataReady());
  EXPECT_EQ(Position()[0], 7.0);
  EXPECT_NEAR(Direction()[0], 1.0, 1e-12);
  EXPECT_NEAR(Point(0)[0], 1.0, 1e-12);
}

TEST_F(DataChannelTest, ProbeMessagesAreIgnoredWhileTheLaserIsActive) {
  store_->SetLaserActive(true);
  ASSERT_TRUE(peer_.Send(HeaderMessage(DATA_PROBE_POINT_HEADER, Pose(2, 0))));
  ASSERT_TRUE(peer_.Send(PointsMessage(DATA_PROBE_POINT, {4, 5, 6, 7, 8, 9})));
  ASSERT_TRUE(peer_.Send(PointsMessage(DATA_PROBE_VECTOR, {4, 5, 6, 7, 8, 9})));
  Sync();
  EXPECT_FALSE(store_->DataReady());
  EXPECT_EQ(Position()[0], 0.0);
}

TEST_F(DataChannelTest, OtherPointsAreReadAndNotUsed) {
  store_->SetLaserActive(true);
  ASSERT_TRUE(peer_.Send(HeaderMessage(DATA_OTHER_HEADER, Pose(1, 0))));
  ASSERT_TRUE(peer_.Send(PointsMessage(DATA_OTHER_POINTS, {4, 5, 6})));
  Sync();
  EXPECT_FALSE(store_->DataReady());
}

TEST_F(DataChannelTest, SecondConsoleWaitsUntilTheFirstConnectionEnds) {
  RawPeer second;
  ASSERT_TRUE(second.Connect(DATA_PORT));  // completes in the backlog
  ASSERT_TRUE(second.Send(Word(DATA_ACQUIRE_ON)));
  Sync();
  EXPECT_FALSE(store_->Acquiring()) << "the second console was served too early";
  ASSERT_TRUE(peer_.Send(Word(DATA_ECHO_FINAL) + Bytes(ECHO_PAYLOAD_SIZE)));
  ASSERT_EQ(peer_.ReadInt32(), DATA_ECHO_ACK);
  Sync(second);
  EXPECT_TRUE(store_->Acquiring());
}

TEST_F(DataChannelTest, StoppingEndsAThreadThatIsInTheMiddleOfABlock) {
  store_->SetLaserActive(true);
  // The thread waits for a message when the header and the block's start arrive together: it
  // reads them and waits in the middle of the block.
  Sync();
  ASSERT_TRUE(peer_.Send(HeaderMessage(DATA_LASER_HEADER, Pose(1000, 1)) +
                         PointsMessage(DATA_LASER_POINTS, {1, 2, 3})));
  // The console stalls half-way through the block: stopping must not wait for it.
  channel_->Stop(StopMode::kUnload);
  EXPECT_FALSE(channel_->Started());
  EXPECT_EQ(Count(), 0);
}

}  // namespace
