// The capture through the exports: a measurement against the console simulator with KVT_CAPTURE
// set, read back from the file and compared with what both sides sent; where tshark is
// installed, the same file decoded by the project's Wireshark decoder, field by field; and a
// capture whose target stalls (a FIFO, under Windows a named pipe, that nobody reads) while
// stripes stream.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

#include "E2eFixture.h"
#include "ExportBounds.h"
#include "StalledTarget.h"
#include "capture/Capture.h"
#include "capture/Pcapng.h"
#include "capture/PcapngReader.h"
#include "tools/console-sim/Replay.h"
#include "tools/console-sim/SyntheticPart.h"
#include "wire/CommandCodes.h"
#include "wire/WireRecords.h"

namespace {

using Bytes = std::vector<unsigned char>;
constexpr int kPoints = 300;

// One message of the data channel as the capture holds it: its type (or acknowledgement) and
// what follows it.
struct Message {
  std::int32_t code;
  Bytes body;
};

// The payload bytes of every packet towards port (toServer) or from it, in order.
Bytes StreamBytes(const CaptureFile& file, std::uint16_t port, bool toServer) {
  Bytes bytes;
  for (const CapturedPacket& packet : file.packets) {
    if ((toServer ? packet.destinationPort : packet.sourcePort) != port) continue;
    bytes.insert(bytes.end(), packet.payload.begin(), packet.payload.end());
  }
  return bytes;
}

// Splits a stream into messages; length(code, lastCount) is the length of what follows a code.
template <typename Length>
std::vector<Message> Split(const Bytes& bytes, Length length) {
  std::vector<Message> messages;
  std::int32_t count = 0;
  std::size_t at = 0;
  while (at + 4 <= bytes.size()) {
    std::int32_t code = GetInt32(&bytes[at]);
    std::size_t size = static_cast<std::size_t>(length(code, count));
    if (at + 4 + size > bytes.size()) break;
    Bytes body(bytes.begin() + static_cast<long>(at) + 4,
               bytes.begin() + static_cast<long>(at + 4 + size));
    if (size == POSE_HEADER_SIZE) count = DecodePoseHeader(body.data()).numPoints;
    messages.push_back({code, body});
    at += 4 + size;
  }
  return messages;
}

int ConsolePayload(std::int32_t type, std::int32_t count) {
  switch (type) {
    case DATA_BEGIN:
    case DATA_ACQUIRE_BEGIN:
    case DATA_END:
    case DATA_ACQUIRE_END:
      return TEXT_VALUE_RECORD_SIZE;
    case DATA_SCAN_BEGIN:
    case DATA_SCAN_END:
      return TEXT_RECORD_SIZE;
    case DATA_LASER_HEADER:
    case DATA_PROBE_VECTOR_HEADER:
    case DATA_PROBE_POINT_HEADER:
    case DATA_OTHER_HEADER:
      return POSE_HEADER_SIZE;
    case DATA_LASER_POINTS:
    case DATA_PROBE_VECTOR:
    case DATA_PROBE_POINT:
    case DATA_OTHER_POINTS:
      return count > 0 ? count * POINT_WIRE_SIZE : 0;
    case DATA_BUTTON:
    case DATA_BUTTON_FINAL:
      return BUTTON_PAYLOAD_SIZE;
    case DATA_ECHO:
    case DATA_ECHO_FINAL:
      return ECHO_PAYLOAD_SIZE;
    default:
      return 0;
  }
}

int AnswerReply(std::int32_t ack, std::int32_t /*count*/) { return DataAnswerLength(ack) - 4; }

Bytes StripeBlock(int number) {
  PoseHeader header{};
  std::vector<float> points;
  makeStripe(number, kPoints, true, &header, &points);
  Bytes block(points.size() * 4);
  for (std::size_t i = 0; i < points.size(); ++i) PutFloat32(&block[4 * i], points[i]);
  return block;
}

class CaptureTest : public E2eTest {
 protected:
  void TearDown() override {
    SetTestEnvironment("KVT_CAPTURE", nullptr);
    E2eTest::TearDown();
  }

  // A scan of stamped stripes and the sensor list, captured, and the plug-in unloaded so
  // that the file is closed.
  void Capture() {
    SetTestEnvironment("KVT_CAPTURE", path_.c_str());
    SimulatorOptions options;
    options.stripesPerSecond = 200;
    options.pointsPerStripe = kPoints;
    options.stamped = true;
    options.probeDiameter = 3.5f;
    options.streamOn = SimStreamOn::Scan;
    ASSERT_NO_FATAL_FAILURE(LoadConnected(options));
    plugin_.SensorSet(2);
    plugin_.ButtonModeSet(1);
    // Without a sink no acquisition thread runs: its polling would decide, by a few
    // milliseconds, whether the unload finds the acquisition on, and a replay could not give the
    // same commands every time.
    ASSERT_EQ(plugin_.MeasureStart(nullptr), 0);
    ASSERT_TRUE(sim_->sendButton(1));
    ASSERT_TRUE(sim_->waitForStripes(20, 10000));
    EXPECT_EQ(plugin_.MeasureStop(), 0);
    // Until the plug-in has closed the data connection after the end notice's pause, so that the
    // unload finds the console's acquisition off, here and in a replay alike.
    ASSERT_TRUE(sim_->waitUntil([this] { return !sim_->dataConnected(); }, 5000));
    // The sensor list asks for the probe's record.
    SensorEntry entries[3] = {};
    std::int32_t count = 0;
    plugin_.SensorGetList(entries, 0, &count);
    UnloadWithin(20000);
    SetTestEnvironment("KVT_CAPTURE", nullptr);
    // The load wrote a file of its own, named after the configured one with its date and time.
    const std::vector<std::string> written = FilesStartingWith(dir_.path(), "site-");
    ASSERT_EQ(written.size(), 1u);
    written_ = written[0];
    file_ = ReadCaptureFile(written_);
    ASSERT_TRUE(file_.valid);
    console_ = Split(StreamBytes(file_, DATA_PORT, true), ConsolePayload);
    answers_ = Split(StreamBytes(file_, DATA_PORT, false), AnswerReply);
    Bytes commands = StreamBytes(file_, COMMAND_PORT, true);
    for (std::size_t at = 0; at + 4 <= commands.size(); at += 4) {
      capturedWords_.push_back(GetInt32(&commands[at]));
    }
    // The unload's last commands may still be on their way into the simulator.
    sim_->waitForCommandWords(capturedWords_.size(), 5000);
    for (const Message& message : console_) {
      if (message.code == DATA_LASER_HEADER) {
        stripes_.push_back(static_cast<int>(DecodePoseHeader(message.body.data()).x));
      }
    }
  }

  // Replays file against the plug-in while this thread makes the host's calls of Capture()
  // again; the differences found, or "did not finish: ..." when the replay ended early.
  std::vector<std::string> ReplayAgainstThePlugin(const CaptureFile& file) {
    // At the recorded pace: the acquisition thread's polling sees the stripes and the button
    // as it did when they were captured.
    ReplayOptions options;
    options.waitMs = 10000;
    Replay replay(file, options);
    bool finished = false;
    std::thread console([&] { finished = replay.run(); });
    EXPECT_TRUE(WaitUntil([&] { return replay.listening(); }, 10000));
    Load();
    EXPECT_EQ(plugin_.Connect(1), 0);
    plugin_.SensorSet(2);
    plugin_.ButtonModeSet(1);
    EXPECT_EQ(plugin_.MeasureStart(nullptr), 0);
    EXPECT_TRUE(WaitUntil([&] { return replay.awaitedCommand() == CMD_SCAN_STOP; }, 20000));
    EXPECT_EQ(plugin_.MeasureStop(), 0);
    // The replay waits for the plug-in's close of the data connection before the sensor list's
    // command, as the capture has them.
    EXPECT_TRUE(WaitUntil([&] { return replay.awaitedCommand() == CMD_PROBE_QUERY; }, 10000));
    SensorEntry entries[3] = {};
    std::int32_t count = 0;
    plugin_.SensorGetList(entries, 0, &count);
    UnloadWithin(20000);
    console.join();
    std::vector<std::string> differences = replay.differences();
    if (!finished) differences.push_back("did not finish: " + replay.error());
    return differences;
  }

  std::string path_ = dir_.file("site.pcapng");
  std::string written_;  // the file that Capture() made
  CaptureFile file_;
  std::vector<Message> console_;
  std::vector<Message> answers_;
  Words capturedWords_;
  std::vector<int> stripes_;  // the stamped numbers of the captured stripes, in order
};

TEST_F(CaptureTest, MeasurementIsInTheFileAsBothSidesSentIt) {
  ASSERT_NO_FATAL_FAILURE(Capture());
  EXPECT_NE(file_.sectionComment.find("KvtScanner Lumora plug-in"), std::string::npos);

  EXPECT_EQ(capturedWords_, sim_->commandWords());

  ASSERT_GE(stripes_.size(), 20u);
  for (std::size_t i = 1; i < stripes_.size(); ++i) {
    EXPECT_EQ(stripes_[i], stripes_[i - 1] + 1);
  }
  std::size_t stripe = 0;
  for (const Message& message : console_) {
    if (message.code != DATA_LASER_POINTS) continue;
    ASSERT_LT(stripe, stripes_.size());
    EXPECT_EQ(message.body, StripeBlock(stripes_[stripe])) << "stripe " << stripes_[stripe];
    ++stripe;
  }
  EXPECT_EQ(stripe, stripes_.size());
  // Every notice and button the console sent was answered, in order, as the plug-in answers.
  std::vector<std::int32_t> expected, answered;
  for (const Message& message : console_) {
    if (message.code == DATA_SCAN_BEGIN || message.code == DATA_END) {
      expected.push_back(message.code + 1);
    } else if (message.code == DATA_BUTTON) {
      expected.push_back(DATA_BUTTON_ACK);
    }
  }
  for (const Message& answer : answers_) answered.push_back(answer.code);
  EXPECT_EQ(answered, expected);
  EXPECT_EQ(sim_->errorCount(), 0);
}

TEST_F(CaptureTest, SettingsFileSectionSwitchesItOnTheEnvironmentWinsAndTheSectionStays) {
  const std::string section =
      "[Capture]\r\nFile=" + dir_.file("from-settings.pcapng") + "\r\nLimitMB=1\r\n";
  WriteWholeFile(dir_.file("KvtScanner.ini"), "[Lumora]\r\nTypeScanning=1\r\n" + section);
  Load();
  // With the capture on, the unload may wait for a write in progress: its bound says how long.
  UnloadWithin(static_cast<int>(UNLOAD_BOUND_MS));
  std::vector<std::string> written = FilesStartingWith(dir_.path(), "from-settings-");
  ASSERT_EQ(written.size(), 1u);
  CaptureFile file = ReadCaptureFile(written[0]);
  EXPECT_TRUE(file.valid);
  EXPECT_NE(file.sectionComment.find("limit 1 MB"), std::string::npos) << file.sectionComment;
  // The unload wrote the plug-in's three keys and left the section as it was.
  std::string settings = ReadWholeFile(dir_.file("KvtScanner.ini"));
  EXPECT_NE(settings.find(section), std::string::npos) << settings;
  EXPECT_NE(settings.find("DisplayToolBar=1"), std::string::npos) << settings;

  std::filesystem::remove(written[0]);
  SetTestEnvironment("KVT_CAPTURE", dir_.file("from-environment.pcapng").c_str());
  Load();
  UnloadWithin(static_cast<int>(UNLOAD_BOUND_MS));
  written = FilesStartingWith(dir_.path(), "from-environment-");
  ASSERT_EQ(written.size(), 1u);
  EXPECT_TRUE(ReadCaptureFile(written[0]).valid);
  EXPECT_TRUE(FilesStartingWith(dir_.path(), "from-settings").empty());
}

TEST_F(CaptureTest, ReplayFindsNoDifferenceAndNamesTheAnswerOfAnAlteredRecord) {
  ASSERT_NO_FATAL_FAILURE(Capture());
  sim_->stop();  // the replay is the console now
  EXPECT_EQ(ReplayAgainstThePlugin(file_), std::vector<std::string>{});

  // The plug-in's reply to the scan's begin notice, one byte of its text changed.
  CaptureFile altered = file_;
  bool changed = false;
  for (CapturedPacket& packet : altered.packets) {
    if (packet.sourcePort == DATA_PORT && packet.payload.size() == TEXT_REPLY_SIZE) {
      packet.payload[10] ^= 0x20;
      changed = true;
      break;
    }
  }
  ASSERT_TRUE(changed);
  std::vector<std::string> differences = ReplayAgainstThePlugin(altered);
  ASSERT_EQ(differences.size(), 1u);
  EXPECT_NE(differences[0].find("answer 1 (acknowledgement 3345), byte 14"), std::string::npos)
      << differences[0];
}

// The fields of one tshark line, each a list of its occurrences.
using Line = std::vector<std::vector<std::string>>;

std::vector<Line> ReadFields(const std::string& path) {
  std::vector<Line> lines;
  std::ifstream in(path);
  std::string text;
  while (std::getline(in, text)) {
    Line line;
    std::stringstream fields(text);
    std::string field;
    while (std::getline(fields, field, '\t')) {
      std::vector<std::string> values;
      std::stringstream occurrences(field);
      std::string value;
      while (std::getline(occurrences, value, ',')) values.push_back(value);
      line.push_back(values);
    }
    line.resize(16);
    lines.push_back(line);
  }
  return lines;
}

std::string Hex(const Bytes& bytes) {
  std::string hex;
  char two[3];
  for (unsigned char byte : bytes) {
    std::snprintf(two, sizeof two, "%02x", byte);
    hex += two;
  }
  return hex;
}

TEST_F(CaptureTest, DecoderShowsEveryMessageAsSent) {
  const std::string tsharkCheck = "tshark --version > \"" + dir_.file("version.txt") + "\" 2>&1";
  if (std::system(tsharkCheck.c_str()) != 0) GTEST_SKIP() << "tshark is not installed here";
  ASSERT_NO_FATAL_FAILURE(Capture());

  const std::string out = dir_.file("fields.txt");
  const char* fields[] = {
      "kvtcmd.code",           "kvtcmd.argument",        "kvtcmd.reply_to",
      "kvtcmd.reply.value",    "kvtcmd.probe.diameter",  "kvtdata.type",
      "kvtdata.ack",           "kvtdata.pose.count",     "kvtdata.pose.x",
      "kvtdata.points.count",  "kvtdata.points.first.x", "kvtdata.points.first.y",
      "kvtdata.points.last.x", "kvtdata.points.last.y",  "kvtdata.points.block"};
  std::string command =
      "tshark -X lua_script:" KVT_SOURCE_DIR "/tools/wireshark/kvtscanner.lua -r \"" + written_ +
      "\" -Y \"kvtcmd || kvtdata\" -T fields -E occurrence=a" + " -E aggregator=,";
  for (const char* field : fields) command += std::string(" -e ") + field;
  command += " > \"" + out + "\" 2> \"" + dir_.file("tshark.txt") + "\"";
  ASSERT_EQ(std::system(command.c_str()), 0) << ReadWholeFile(dir_.file("tshark.txt"));

  Words words;
  std::vector<std::int32_t> types, acks;
  std::vector<std::string> soundReplies, diameters;
  // The stripe fields (kvtdata.pose.count to kvtdata.points.block), every occurrence in order.
  std::vector<std::vector<std::string>> stripe(8);
  for (const Line& line : ReadFields(out)) {
    std::size_t argument = 0;
    for (const std::string& code : line[0]) {
      words.push_back(std::stoi(code));
      if (words.back() == CMD_MODEL_START || words.back() == CMD_SOUND_SET ||
          words.back() == CMD_MOUSE_SET) {
        ASSERT_LT(argument, line[1].size());
        words.push_back(std::stoi(line[1][argument++]));
      }
    }
    std::size_t value = 0;
    for (const std::string& to : line[2]) {
      if (std::stoi(to) == CMD_PROBE_QUERY) continue;
      ASSERT_LT(value, line[3].size());
      if (std::stoi(to) == CMD_SOUND_QUERY) soundReplies.push_back(line[3][value]);
      ++value;
    }
    diameters.insert(diameters.end(), line[4].begin(), line[4].end());
    for (const std::string& type : line[5]) types.push_back(std::stoi(type));
    for (const std::string& ack : line[6]) acks.push_back(std::stoi(ack));
    for (std::size_t f = 0; f < stripe.size(); ++f) {
      stripe[f].insert(stripe[f].end(), line[7 + f].begin(), line[7 + f].end());
    }
  }
  EXPECT_EQ(words, sim_->commandWords());
  EXPECT_EQ(soundReplies, std::vector<std::string>{"1"});
  ASSERT_EQ(diameters.size(), 1u);
  EXPECT_FLOAT_EQ(std::stof(diameters[0]), 3.5f);

  std::vector<std::int32_t> sentTypes, sentAcks;
  for (const Message& message : console_) sentTypes.push_back(message.code);
  for (const Message& answer : answers_) sentAcks.push_back(answer.code);
  EXPECT_EQ(types, sentTypes);
  EXPECT_EQ(acks, sentAcks);

  // Each stripe: header, count, first and last point, and for every fifth its whole block.
  ASSERT_EQ(stripe[0].size(), stripes_.size());
  for (const std::vector<std::string>& field : stripe) {
    ASSERT_EQ(field.size(), stripes_.size());
  }
  for (std::size_t i = 0; i < stripes_.size(); ++i) {
    const std::string n = std::to_string(stripes_[i]);
    const std::string points = std::to_string(kPoints);
    const std::string last = std::to_string(kPoints - 1);
    EXPECT_EQ((std::vector<std::string>{stripe[0][i], stripe[1][i], stripe[2][i], stripe[3][i],
                                        stripe[4][i], stripe[5][i], stripe[6][i]}),
              (std::vector<std::string>{points, n, points, n, "0", n, last}))
        << "stripe " << n;
    if (i % 5 == 0) {
      EXPECT_EQ(stripe[7][i], Hex(StripeBlock(stripes_[i]))) << "stripe " << n;
    }
  }
}

// A capture into a target that stalls while stripes stream at the console's pace: the data
// channel and the commands go on as without a capture, the queue leaves packets out, and the
// unload is bounded however long the target stays stalled.
class StalledCaptureTest : public CaptureTest {
 protected:
  static constexpr int kPace = 400;  // stripes a second, 30 KB each: 12 MB/s
  // Several times the queue: packets are left out.
  static constexpr int kStalledStripes = 1200;

  void SetUp() override {
    CaptureTest::SetUp();
    target_ = std::make_unique<StalledTarget>(dir_.path().string());
    ASSERT_TRUE(target_->ready()) << target_->error();
  }
  void TearDown() override {
    // The target's reading end is the test's; the plug-in has let go of its end by now.
    UnloadWithin(20000);
    target_.reset();
    CaptureTest::TearDown();
  }

  // Streams stamped stripes from the scan start, the capture writing into the target, until
  // kStalledStripes have gone: at the console's pace, not held up by the target.
  void StreamWhileStalled() {
    SetTestEnvironment("KVT_CAPTURE", target_->path().c_str());
    SimulatorOptions options;
    options.stripesPerSecond = kPace;
    options.pointsPerStripe = 2500;
    options.stamped = true;
    options.streamOn = SimStreamOn::Scan;
    ASSERT_NO_FATAL_FAILURE(LoadConnected(options));
    plugin_.SensorSet(2);
    plugin_.ButtonModeSet(1);
    ASSERT_EQ(plugin_.MeasureStart(nullptr), 0);
    const std::uint32_t start = platform::tickCount();
    const int first = sim_->stripesSent();
    // Ten times the time they take at the console's pace: a capture that held up the data
    // channel would stop them at about a hundred (the target's 64 KiB and the socket buffers).
    ASSERT_TRUE(sim_->waitForStripes(first + kStalledStripes, 10 * 1000 * kStalledStripes / kPace))
        << sim_->stripesSent() << " stripes sent";
    const double seconds = (platform::tickCount() - start) / 1000.0;
    std::printf("stalled target: %.0f stripes/s at a pace of %d\n",
                (sim_->stripesSent() - first) / seconds, kPace);
    // A command and its answer on the command channel.
    std::int32_t sound = -1;
    const std::uint32_t commandMs = Timed([&] { sound = plugin_.SoundGet(); });
    EXPECT_EQ(sound, 1);
    EXPECT_LT(commandMs, 5000u);
    EXPECT_EQ(sim_->errorCount(), 0);
  }

  // The bytes the target took, as a file.
  CaptureFile TargetFile(int timeoutMs) {
    std::vector<unsigned char> bytes = target_->Finish(timeoutMs);
    std::ofstream(dir_.file("target.pcapng"), std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<long>(bytes.size()));
    return ReadCaptureFile(dir_.file("target.pcapng"));
  }

  std::unique_ptr<StalledTarget> target_;
};

TEST_F(StalledCaptureTest, ChannelsGoOnAndTheUnloadIsBounded) {
  ASSERT_NO_FATAL_FAILURE(StreamWhileStalled());
  const std::uint32_t unloadMs = Timed([&] { UnloadWithin(10000); });
  std::printf("unload with the capture's target stalled: %u ms\n", unloadMs);
  // What the target took before it stalled: the file's start.
  CaptureFile file = TargetFile(5000);
  EXPECT_NE(file.sectionComment.find("KvtScanner Lumora plug-in"), std::string::npos);
}

// The count of what was left out, in the file: the first packet after each gap says how much is
// missing before it, and a statistics block at the end gives the total.
TEST_F(StalledCaptureTest, TargetThatTakesBytesAgainGetsTheCountOfWhatWasLeftOut) {
  ASSERT_NO_FATAL_FAILURE(StreamWhileStalled());
  target_->StartReading();
  // The capture goes on once the target takes bytes again: more than its whole queue, which is
  // all it can have held back, reaches the target while the stripes stream on.
  EXPECT_TRUE(WaitUntil([this] { return target_->BytesRead() > 2 * CAPTURE_QUEUE_BYTES; }, 30000))
      << target_->BytesRead() << " bytes taken";
  EXPECT_EQ(plugin_.MeasureStop(), 0);
  ASSERT_TRUE(sim_->waitUntil([this] { return !sim_->dataConnected(); }, 5000));
  UnloadWithin(10000);
  CaptureFile file = TargetFile(10000);
  ASSERT_TRUE(file.valid);
  EXPECT_NE(file.sectionComment.find("KvtScanner Lumora plug-in"), std::string::npos);

  // Each direction of each connection numbers its bytes on: a gap is as long as what was left
  // out there.
  std::map<std::pair<std::uint16_t, std::uint16_t>, std::uint32_t> next;
  unsigned long long gapPackets = 0, gapBytes = 0, skipped = 0;
  for (std::size_t i = 0; i < file.packets.size(); ++i) {
    const CapturedPacket& packet = file.packets[i];
    unsigned long long packets = 0, bytes = 0;
    if (std::sscanf(packet.comment.c_str(), "%llu packets (%llu bytes) left out before this one",
                    &packets, &bytes) == 2) {
      gapPackets += packets;
      gapBytes += bytes;
    }
    const auto key = std::make_pair(packet.sourcePort, packet.destinationPort);
    if ((packet.flags & TCP_SYN) == 0 && next.count(key) != 0) {
      skipped += packet.sequence - next[key];
    }
    next[key] = packet.sequence + static_cast<std::uint32_t>(packet.payload.size()) +
                ((packet.flags & (TCP_SYN | TCP_FIN)) != 0 ? 1 : 0);
  }
  EXPECT_GT(gapPackets, 0u);
  // Every byte skipped in a direction is counted by a gap's comment; a comment also counts what
  // was left out of a direction that has no later packet in the file, which shows no skip.
  EXPECT_LE(skipped, gapBytes);
  ASSERT_EQ(file.statisticsComments.size(), 1u);
  EXPECT_NE(file.statisticsComments[0].find("left out in all"), std::string::npos);
  EXPECT_EQ(file.droppedPackets, gapPackets);
}

}  // namespace
