// The console simulator against raw sockets on free ports: command replies byte for byte,
// connection handling, held replies, and its data-channel messages answered by hand.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "GoldenBytes.h"
#include "RawPeer.h"
#include "platform/socket.h"
#include "platform/testing.h"
#include "platform/time.h"
#include "tools/console-sim/ConsoleSimulator.h"
#include "wire/CommandCodes.h"
#include "wire/WireRecords.h"

namespace {

using Bytes = std::vector<unsigned char>;

constexpr int kAttempts = 50;

// Ports are drawn at random: other test programs may hold the fixed ones, and a port that a
// closed connection left in TIME_WAIT cannot be bound again at once. They lie below the system's
// range for outgoing connections (from 32768 on Linux, 49152 on Windows): a connection to a port
// of that range that nobody listens on may otherwise be answered by itself, when the system picks
// the same number for its own end.
std::uint16_t randomPort() {
  static std::mt19937 random{std::random_device{}()};
  return static_cast<std::uint16_t>(std::uniform_int_distribution<int>(20000, 32000)(random));
}

// Starts a simulator on a free command port, left in options.commandPort. Without a data port of
// the test's own it gets one that nobody listens on.
std::unique_ptr<ConsoleSimulator> startSimulator(SimulatorOptions& options) {
  if (options.dataPort == DATA_PORT) options.dataPort = randomPort();
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    options.commandPort = randomPort();
    auto simulator = std::make_unique<ConsoleSimulator>(options);
    if (simulator->start()) return simulator;
  }
  return nullptr;
}

// The plug-in's side of the data channel, answered by the test.
class DataServer {
 public:
  DataServer() {
    int ignored = 0;
    static_cast<void>(platform::socketsStart(&ignored));
    std::uint32_t loopback = 0;
    static_cast<void>(platform::socketParseDotted("127.0.0.1", &loopback));
    for (int attempt = 0; attempt < kAttempts && listener_ == platform::kInvalidSocket; ++attempt) {
      platform::SocketHandle socket = platform::socketOpenTcp();
      port_ = randomPort();
      if (platform::socketBind(socket, loopback, port_) && platform::socketListen(socket, 5) &&
          platform::socketSetOption(socket, platform::SocketOption::NonBlocking, 1)) {
        listener_ = socket;
      } else {
        platform::socketClose(socket);
      }
    }
  }
  ~DataServer() {
    if (listener_ != platform::kInvalidSocket) platform::socketClose(listener_);
  }

  bool listening() const { return listener_ != platform::kInvalidSocket; }
  std::uint16_t port() const { return port_; }

  // The simulator's next data connection; an unconnected peer when none comes in time.
  RawPeer accept(unsigned timeoutMs = 5000) {
    platform::SocketHandle socket = AcceptWithin(listener_, static_cast<int>(timeoutMs));
    return socket != platform::kInvalidSocket ? RawPeer(socket) : RawPeer();
  }

 private:
  platform::SocketHandle listener_ = platform::kInvalidSocket;
  std::uint16_t port_ = 0;
};

// Reads the simulator's first text notice, DATA_SCAN_BEGIN, and answers it as the plug-in must,
// with filler behind the terminator that carries no meaning.
void answerScanBegin(RawPeer& peer) {
  ASSERT_EQ(peer.ReadInt32(), DATA_SCAN_BEGIN);
  ASSERT_EQ(peer.Read(TEXT_RECORD_SIZE), golden::ScanBeginRequest());
  golden::Bytes reply = golden::ScanBeginReply();
  reply[8 + std::strlen("LineStudio scan begin 1") + 1] = 0x5A;
  ASSERT_TRUE(peer.SendInt32(DATA_SCAN_BEGIN + 1));
  ASSERT_TRUE(peer.Send(reply));
}

struct StripeMessage {
  bool whole = false;
  PoseHeader header{};
  std::vector<float> points;
};

StripeMessage readStripe(RawPeer& peer) {
  StripeMessage stripe;
  if (peer.ReadInt32() != DATA_LASER_HEADER) return stripe;
  Bytes header = peer.Read(POSE_HEADER_SIZE);
  if (header.empty()) return stripe;
  stripe.header = DecodePoseHeader(header.data());
  if (peer.ReadInt32() != DATA_LASER_POINTS) return stripe;
  Bytes block = peer.Read(stripe.header.numPoints * POINT_WIRE_SIZE);
  if (block.size() != static_cast<std::size_t>(stripe.header.numPoints) * POINT_WIRE_SIZE) {
    return stripe;
  }
  for (std::size_t at = 0; at < block.size(); at += 4) {
    stripe.points.push_back(GetFloat32(&block[at]));
  }
  stripe.whole = true;
  return stripe;
}

TEST(SimulatorCommandTest, AnswersExactlyTheQueriesByteForByte) {
  SimulatorOptions options;
  options.sound = 3;
  options.probeDiameter = 6.5f;
  auto simulator = startSimulator(options);
  ASSERT_NE(simulator, nullptr);
  RawPeer plugin;
  ASSERT_TRUE(plugin.Connect(options.commandPort));

  const Bytes& zeroWord = golden::kWordZero;
  for (std::int32_t handshake : {CMD_HANDSHAKE_A, CMD_HANDSHAKE_B}) {
    ASSERT_TRUE(plugin.SendInt32(handshake));
    EXPECT_EQ(plugin.Read(4), zeroWord) << handshake;
  }
  ASSERT_TRUE(plugin.SendInt32(CMD_SOUND_QUERY));
  EXPECT_EQ(plugin.Read(4), golden::kWordThree);
  ASSERT_TRUE(plugin.SendInt32(CMD_HANDSHAKE_C));
  EXPECT_EQ(plugin.Read(4), zeroWord);

  // Commands with an argument and no reply: a stray reply would shift every later one.
  for (std::int32_t word : {CMD_MODEL_START, 7, CMD_SOUND_SET, 9, CMD_MOUSE_SET, 2}) {
    ASSERT_TRUE(plugin.SendInt32(word));
  }
  ASSERT_TRUE(plugin.SendInt32(CMD_SOUND_QUERY));
  EXPECT_EQ(plugin.ReadInt32(), 9);
  EXPECT_EQ(simulator->sound(), 9);

  ASSERT_TRUE(plugin.SendInt32(CMD_SENSOR_QUERY));
  EXPECT_EQ(plugin.Read(4), golden::kWordOne);
  simulator->setLaserActive(false);
  ASSERT_TRUE(plugin.SendInt32(CMD_SENSOR_QUERY));
  EXPECT_EQ(plugin.Read(4), zeroWord);

  ASSERT_TRUE(plugin.SendInt32(CMD_PROBE_QUERY));
  EXPECT_EQ(plugin.Read(PROBE_REPLY_SIZE), golden::kProbeReply6Point5);

  // Neither the dialog codes nor an unknown code are answered.
  for (std::int32_t word : {CMD_STATUS_HIDE, CMD_TOOLBAR_HIDE, CMD_CALIBRATE, 1234}) {
    ASSERT_TRUE(plugin.SendInt32(word));
  }
  ASSERT_TRUE(plugin.SendInt32(CMD_HANDSHAKE_A));
  EXPECT_EQ(plugin.Read(4), zeroWord);
  plugin.SetTimeout(300);
  EXPECT_TRUE(plugin.Read(1).empty()) << "bytes behind the last reply";

  const std::vector<std::int32_t> expected = {CMD_HANDSHAKE_A,  CMD_HANDSHAKE_B,
                                              CMD_SOUND_QUERY,  CMD_HANDSHAKE_C,
                                              CMD_MODEL_START,  7,
                                              CMD_SOUND_SET,    9,
                                              CMD_MOUSE_SET,    2,
                                              CMD_SOUND_QUERY,  CMD_SENSOR_QUERY,
                                              CMD_SENSOR_QUERY, CMD_PROBE_QUERY,
                                              CMD_STATUS_HIDE,  CMD_TOOLBAR_HIDE,
                                              CMD_CALIBRATE,    1234,
                                              CMD_HANDSHAKE_A};
  EXPECT_TRUE(simulator->waitForCommandWords(expected.size(), 5000));
  EXPECT_EQ(simulator->commandWords(), expected);
  EXPECT_EQ(simulator->errorCount(), 0);
}

TEST(SimulatorCommandTest, ServesOneConnectionAtATimeAndAcceptsAgain) {
  SimulatorOptions options;
  auto simulator = startSimulator(options);
  ASSERT_NE(simulator, nullptr);
  RawPeer first;
  ASSERT_TRUE(first.Connect(options.commandPort));
  ASSERT_TRUE(first.SendInt32(CMD_HANDSHAKE_A));
  ASSERT_EQ(first.Read(4).size(), 4u);

  RawPeer second;
  ASSERT_TRUE(second.Connect(options.commandPort));
  ASSERT_TRUE(second.SendInt32(CMD_SOUND_QUERY));
  second.SetTimeout(300);
  EXPECT_TRUE(second.Read(4).empty()) << "answered while the first connection was served";

  first.Close();
  second.SetTimeout(5000);
  EXPECT_EQ(second.ReadInt32(), 1);
  EXPECT_EQ(simulator->commandConnections(), 2);
  second.Close();
  EXPECT_TRUE(simulator->waitUntil([&] { return !simulator->commandConnected(); }, 5000));
}

TEST(SimulatorCommandTest, HeldRepliesComeLateAndStopDoesNotWaitForThem) {
  SimulatorOptions options;
  constexpr std::uint32_t kHoldMs = 2000;
  options.heldReplies = {{CMD_HANDSHAKE_A, kHoldMs, 1}, {CMD_HANDSHAKE_B, 60000, -1}};
  auto simulator = startSimulator(options);
  ASSERT_NE(simulator, nullptr);
  RawPeer plugin;
  ASSERT_TRUE(plugin.Connect(options.commandPort));

  std::uint32_t sent = platform::tickCount();
  ASSERT_TRUE(plugin.SendInt32(CMD_HANDSHAKE_A));
  ASSERT_EQ(plugin.Read(4).size(), 4u);
  EXPECT_GE(platform::tickCount() - sent, kHoldMs - 50);

  // The hold was for the first time only: the second answer does not wait out the hold again.
  sent = platform::tickCount();
  ASSERT_TRUE(plugin.SendInt32(CMD_HANDSHAKE_A));
  ASSERT_EQ(plugin.Read(4).size(), 4u);
  EXPECT_LT(platform::tickCount() - sent, kHoldMs / 2);

  ASSERT_TRUE(plugin.SendInt32(CMD_HANDSHAKE_B));
  plugin.SetTimeout(300);
  EXPECT_TRUE(plugin.Read(4).empty());
  std::uint32_t stopping = platform::tickCount();
  simulator->stop();
  EXPECT_LT(platform::tickCount() - stopping, 3000u);
  plugin.SetTimeout(5000);
  EXPECT_TRUE(plugin.ClosedByPeer());
}

TEST(SimulatorCommandTest, CutsAndDropsWhenToldWhileRunning) {
  SimulatorOptions options;
  auto simulator = startSimulator(options);
  ASSERT_NE(simulator, nullptr);
  RawPeer plugin;
  ASSERT_TRUE(plugin.Connect(options.commandPort));
  simulator->cutReply(CMD_SOUND_QUERY);
  ASSERT_TRUE(plugin.SendInt32(CMD_SOUND_QUERY));
  EXPECT_EQ(plugin.Read(2).size(), 2u);
  EXPECT_TRUE(plugin.ClosedByPeer()) << "the cut reply went on";

  // The cut was for once; a dropped connection ends at once, and the next is served.
  RawPeer next;
  ASSERT_TRUE(next.Connect(options.commandPort));
  ASSERT_TRUE(next.SendInt32(CMD_SOUND_QUERY));
  EXPECT_EQ(next.ReadInt32(), 1);
  EXPECT_TRUE(simulator->dropCommandConnection());
  EXPECT_TRUE(next.ClosedByPeer());
  EXPECT_TRUE(simulator->waitUntil([&] { return !simulator->commandConnected(); }, 5000));
  EXPECT_FALSE(simulator->dropCommandConnection());
  RawPeer third;
  ASSERT_TRUE(third.Connect(options.commandPort));
  ASSERT_TRUE(third.SendInt32(CMD_HANDSHAKE_A));
  EXPECT_EQ(third.Read(4).size(), 4u);
}

TEST(SimulatorCommandTest, RefusingConsolesNeverAnswer) {
  SimulatorOptions closing;
  closing.refuse = SimRefuse::Close;
  auto simulator = startSimulator(closing);
  ASSERT_NE(simulator, nullptr);
  RawPeer plugin;
  ASSERT_TRUE(plugin.Connect(closing.commandPort));
  EXPECT_TRUE(plugin.ClosedByPeer());
  EXPECT_EQ(simulator->commandConnections(), 0);

  SimulatorOptions closed;
  closed.refuse = SimRefuse::Listen;
  closed.commandPort = randomPort();
  closed.dataPort = randomPort();
  ConsoleSimulator silent(closed);
  ASSERT_TRUE(silent.start());
  RawPeer refused;
  EXPECT_FALSE(refused.Connect(closed.commandPort, 300));
}

// A library clock that a minute passes on at every look, as the time-limit tests make it: it is
// the plug-in's, and must not cut the console's waits short.
std::uint32_t RacingTicks() {
  static std::atomic<std::uint32_t> now{0};
  return now += 60000;
}

TEST(SimulatorCommandTest, WaitsLastRealTimeWhenTheLibrarysClockIsReplaced) {
  struct ClockGuard {
    ClockGuard() { platform::setTickSourceForTesting(RacingTicks); }
    ~ClockGuard() { platform::setTickSourceForTesting(nullptr); }
  } clock;
  SimulatorOptions options;
  options.listenDelayMs = 300;
  const auto started = std::chrono::steady_clock::now();
  auto simulator = startSimulator(options);
  ASSERT_NE(simulator, nullptr);
  RawPeer plugin;
  EXPECT_TRUE(simulator->waitUntil([&] { return plugin.Connect(options.commandPort, 0); }, 10000));
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(250))
      << "the listen delay was cut short";
}

// The simulator as a console on both channels, with the test as the plug-in.
class SimulatorDataTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.listening());
    options_.dataPort = server_.port();
    options_.stamped = true;
    options_.pointsPerStripe = 50;
    options_.stripesPerSecond = 200;
  }

  void start() {
    simulator_ = startSimulator(options_);
    ASSERT_NE(simulator_, nullptr);
    ASSERT_TRUE(commands_.Connect(options_.commandPort));
  }

  DataServer server_;
  SimulatorOptions options_;
  std::unique_ptr<ConsoleSimulator> simulator_;
  RawPeer commands_;
};

TEST_F(SimulatorDataTest, ScanStartStreamsStampedStripesAndScanStopEnds) {
  start();
  ASSERT_TRUE(commands_.SendInt32(CMD_SCAN_START));
  RawPeer data = server_.accept();
  ASSERT_NE(data.socket(), platform::kInvalidSocket);
  answerScanBegin(data);

  ASSERT_TRUE(commands_.SendInt32(CMD_ACQUIRE_START));
  for (int number = 1; number <= 3; ++number) {
    StripeMessage stripe = readStripe(data);
    ASSERT_TRUE(stripe.whole) << "stripe " << number;
    EXPECT_EQ(stripe.header.numPoints, 50);
    EXPECT_EQ(stripe.header.x, static_cast<float>(number));
    for (int i = 0; i < 50; ++i) {
      ASSERT_EQ(stripe.points[3 * i], static_cast<float>(number)) << "point " << i;
      ASSERT_EQ(stripe.points[3 * i + 1], static_cast<float>(i));
    }
  }

  ASSERT_TRUE(commands_.SendInt32(CMD_ACQUIRE_STOP));
  EXPECT_TRUE(simulator_->waitUntil([&] { return !simulator_->streaming(); }, 5000));
  data.SetTimeout(300);
  while (readStripe(data).whole) {
  }
  int sent = simulator_->stripesSent();
  EXPECT_GE(sent, 3);

  data.SetTimeout(5000);
  ASSERT_TRUE(commands_.SendInt32(CMD_SCAN_STOP));
  ASSERT_EQ(data.ReadInt32(), DATA_END);
  ASSERT_EQ(data.Read(TEXT_VALUE_RECORD_SIZE), golden::EndRequest());
  ASSERT_TRUE(data.SendInt32(DATA_END + 1));
  ASSERT_TRUE(data.Send(golden::EndReply()));
  data.Close();
  EXPECT_TRUE(simulator_->waitUntil([&] { return !simulator_->dataConnected(); }, 5000));
  EXPECT_EQ(simulator_->stripesSent(), sent);
  EXPECT_EQ(simulator_->dataConnections(), 1);
  EXPECT_EQ(simulator_->errorCount(), 0) << ::testing::PrintToString(simulator_->errors());
}

TEST_F(SimulatorDataTest, CountsEveryWrongAnswer) {
  start();
  auto button = std::async(std::launch::async, [&] { return simulator_->sendButton(2); });
  RawPeer data = server_.accept();
  ASSERT_NE(data.socket(), platform::kInvalidSocket);
  ASSERT_EQ(data.ReadInt32(), DATA_BUTTON);
  ASSERT_EQ(data.ReadInt32(), 2);
  ASSERT_TRUE(data.SendInt32(DATA_BUTTON));  // the partner's own type, not 3964
  ASSERT_TRUE(data.SendInt32(0));
  ASSERT_TRUE(data.SendInt32(2));
  EXPECT_FALSE(button.get());
  EXPECT_EQ(simulator_->errorCount(), 1);

  auto echo = std::async(std::launch::async, [&] { return simulator_->sendEcho(); });
  ASSERT_EQ(data.ReadInt32(), DATA_ECHO);
  Bytes payload = data.Read(ECHO_PAYLOAD_SIZE);
  ASSERT_EQ(payload.size(), static_cast<std::size_t>(ECHO_PAYLOAD_SIZE));
  payload[23] ^= 1;
  ASSERT_TRUE(data.SendInt32(DATA_ECHO_ACK));
  ASSERT_TRUE(data.SendInt32(0));
  ASSERT_TRUE(data.Send(payload));
  EXPECT_FALSE(echo.get());
  ASSERT_EQ(simulator_->errorCount(), 2);
  EXPECT_NE(simulator_->errors()[1].find("byte 27"), std::string::npos) << simulator_->errors()[1];

  // A right answer to a FINAL type, and the close that follows it, are no error.
  auto final = std::async(std::launch::async, [&] { return simulator_->sendButtonFinal(4); });
  ASSERT_EQ(data.ReadInt32(), DATA_BUTTON_FINAL);
  ASSERT_EQ(data.ReadInt32(), 4);
  ASSERT_TRUE(data.SendInt32(DATA_BUTTON_ACK));
  ASSERT_TRUE(data.Send(golden::kButtonReply4));
  data.Close();
  EXPECT_TRUE(final.get());
  EXPECT_FALSE(simulator_->dataConnected());
  EXPECT_EQ(simulator_->errorCount(), 2);
}

TEST_F(SimulatorDataTest, ScriptRunsInOrderFromTheDataConnection) {
  options_.script = {
      {0, ScriptEventKind::Button, 1},
      {150, ScriptEventKind::ProbePoint, 0, -1, false, {1.5f, -2, 3}},
      {150, ScriptEventKind::Close},
  };
  start();
  ASSERT_TRUE(commands_.SendInt32(CMD_SCAN_START));
  RawPeer data = server_.accept();
  ASSERT_NE(data.socket(), platform::kInvalidSocket);
  std::uint32_t connected = platform::tickCount();
  answerScanBegin(data);
  ASSERT_EQ(data.ReadInt32(), DATA_BUTTON);
  ASSERT_EQ(data.ReadInt32(), 1);
  ASSERT_TRUE(data.SendInt32(DATA_BUTTON_ACK));
  ASSERT_TRUE(data.SendInt32(0));
  ASSERT_TRUE(data.SendInt32(1));

  ASSERT_EQ(data.Read(4 + POSE_HEADER_SIZE), golden::kProbePointHeader.bytes());
  EXPECT_GE(platform::tickCount() - connected, 130u);
  // DATA_PROBE_POINT and the point (1.5, -2, 3).
  EXPECT_EQ(data.Read(16), (Bytes{0x55, 0x0D, 0x00, 0x00, 0x00, 0x00, 0xC0, 0x3F, 0x00, 0x00, 0x00,
                                  0xC0, 0x00, 0x00, 0x40, 0x40}));
  EXPECT_TRUE(data.ClosedByPeer());
  EXPECT_EQ(simulator_->errorCount(), 0) << ::testing::PrintToString(simulator_->errors());
}

TEST_F(SimulatorDataTest, ProbeVectorLeavesAsTheTableLaysItOut) {
  start();
  auto sent = std::async(std::launch::async, [&] {
    return simulator_->sendProbeVector(12.5f, 0.25f, -0.5f, -90, 0, 0);
  });
  RawPeer data = server_.accept();
  ASSERT_NE(data.socket(), platform::kInvalidSocket);
  EXPECT_EQ(data.Read(4 + POSE_HEADER_SIZE), golden::kProbeVectorHeader.bytes());
  // DATA_PROBE_VECTOR and the point (12.5, 0.25, -0.5).
  EXPECT_EQ(data.Read(16), (Bytes{0x53, 0x0D, 0x00, 0x00, 0x00, 0x00, 0x48, 0x41, 0x00, 0x00, 0x80,
                                  0x3E, 0x00, 0x00, 0x00, 0xBF}));
  EXPECT_TRUE(sent.get());
  EXPECT_EQ(simulator_->errorCount(), 0) << ::testing::PrintToString(simulator_->errors());
}

// A stall with a time closes the connection after it, and the next stripe comes whole on a new
// connection, numbered on from the console's base.
TEST_F(SimulatorDataTest, TimedStallClosesAndTheStreamGoesOn) {
  options_.numberBase = 7000;
  start();
  ScriptEvent stall;
  stall.kind = ScriptEventKind::Stall;
  stall.number = 300;
  auto stalled = std::async(std::launch::async, [&] { return simulator_->runEvent(stall); });
  RawPeer data = server_.accept();
  ASSERT_NE(data.socket(), platform::kInvalidSocket);
  data.SetTimeout(5000);
  ASSERT_EQ(data.ReadInt32(), DATA_LASER_HEADER);
  EXPECT_EQ(DecodePoseHeader(data.Read(POSE_HEADER_SIZE).data()).x, 7001.0f);
  ASSERT_EQ(data.ReadInt32(), DATA_LASER_POINTS);
  // Half the block and five bytes: 50 points were to come.
  EXPECT_EQ(data.Read(25 * POINT_WIRE_SIZE + 5).size(), 25u * POINT_WIRE_SIZE + 5);
  std::uint32_t since = platform::tickCount();
  EXPECT_TRUE(data.ClosedByPeer());
  EXPECT_GE(platform::tickCount() - since, 200u);
  EXPECT_TRUE(stalled.get());

  auto sent = std::async(std::launch::async, [&] { return simulator_->sendStripe(); });
  RawPeer again = server_.accept();
  ASSERT_NE(again.socket(), platform::kInvalidSocket);
  again.SetTimeout(5000);
  StripeMessage stripe = readStripe(again);
  EXPECT_TRUE(stripe.whole);
  EXPECT_EQ(stripe.header.x, 7002.0f);
  EXPECT_TRUE(sent.get());
  EXPECT_EQ(simulator_->errorCount(), 0) << ::testing::PrintToString(simulator_->errors());
}

TEST_F(SimulatorDataTest, WithheldScanBeginStillConnects) {
  options_.noScanBegin = true;
  start();
  ASSERT_TRUE(commands_.SendInt32(CMD_SCAN_START));
  RawPeer data = server_.accept();
  ASSERT_NE(data.socket(), platform::kInvalidSocket);
  data.SetTimeout(300);
  EXPECT_TRUE(data.Read(4).empty());
}

TEST_F(SimulatorDataTest, StopEndsBlockedSendsAndWaitsForAnswers) {
  options_.stripesPerSecond = 0;
  options_.pointsPerStripe = MAX_BLOCK_POINTS;
  start();
  ASSERT_TRUE(commands_.SendInt32(CMD_ACQUIRE_START));
  RawPeer data = server_.accept();
  ASSERT_NE(data.socket(), platform::kInvalidSocket);
  // Nothing is read: the socket buffers fill and the stream blocks in a send.
  ASSERT_TRUE(simulator_->waitForStripes(2, 5000));
  auto button = std::async(std::launch::async, [&] { return simulator_->sendButton(1); });
  // The button waits behind the blocked stream.
  ASSERT_TRUE(WaitUntil([&] { return simulator_->pendingEvents() == 1; }, 5000));

  std::uint32_t stopping = platform::tickCount();
  simulator_->stop();
  EXPECT_LT(platform::tickCount() - stopping, 3000u);
  EXPECT_FALSE(button.get());
  EXPECT_EQ(simulator_->errorCount(), 0);
}

}  // namespace
