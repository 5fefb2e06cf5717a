// The plug-in's capture of a connection through the socket routines: one TCP stream with
// consistent sequence numbers in the file, its size limit, and a file that cannot be opened.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include "StalledTarget.h"
#include "TempDir.h"
#include "Wait.h"
#include "capture/Capture.h"
#include "capture/Pcapng.h"
#include "capture/PcapngReader.h"
#include "platform/time.h"
#include "shell/CaptureSettings.h"
#include "wire/CommandCodes.h"
#include "wire/SocketRoutines.h"

namespace {

class CaptureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    int error = 0;
    static_cast<void>(platform::socketsStart(&error));
    listener_ = platform::socketOpenTcp();
    std::uint32_t loopback = 0;
    static_cast<void>(platform::socketParseDotted("127.0.0.1", &loopback));
    ASSERT_TRUE(platform::socketBind(listener_, loopback, COMMAND_PORT));
    ASSERT_TRUE(platform::socketListen(listener_, 1));
  }
  void TearDown() override {
    InstallSocketTap(nullptr);
    capture_.Stop(StopMode::kUnload);
    if (client_ != platform::kInvalidSocket) TcpClose(client_);
    if (console_ != platform::kInvalidSocket) platform::socketClose(console_);
    platform::socketClose(listener_);
  }
  bool Start(std::uint64_t limit) {
    CaptureSettings settings;
    settings.path = path_;
    settings.limitBytes = limit;
    settings.comment = "a test's capture";
    // As the plug-in does at load: the routines feed the capture through their tap.
    InstallSocketTap(&capture_.Tap());
    return capture_.Start(settings);
  }
  void Connect() {
    ASSERT_TRUE(TcpConnect(client_, "127.0.0.1", COMMAND_PORT));
    console_ = platform::socketAccept(listener_);
    ASSERT_NE(console_, platform::kInvalidSocket);
    static_cast<void>(
        platform::socketSetOption(console_, platform::SocketOption::ReceiveTimeoutMs, 5000));
  }
  void ExpectCaptureOffAndTheConnectionWorking() {
    EXPECT_FALSE(capture_.On());
    ASSERT_NO_FATAL_FAILURE(Connect());
    int count = 0;
    const unsigned char command[4] = {1, 2, 3, 4};
    EXPECT_TRUE(SendAll(client_, command, 4, count));
    EXPECT_EQ(count, 4);
  }
  // The file the capture wrote: one file named after path_ with the start's date and time.
  std::string Written() {
    std::vector<std::string> files = FilesStartingWith(dir_.path(), "capture-");
    EXPECT_EQ(files.size(), 1u);
    return files.empty() ? "" : files.back();
  }
  void ConsoleSends(const std::vector<unsigned char>& bytes) {
    ASSERT_EQ(platform::socketSend(console_, bytes.data(), static_cast<int>(bytes.size())),
              static_cast<int>(bytes.size()));
  }

  TempDir dir_;
  std::string path_ = dir_.file("capture.pcapng");
  platform::SocketHandle listener_ = platform::kInvalidSocket;
  platform::SocketHandle client_ = platform::kInvalidSocket;
  platform::SocketHandle console_ = platform::kInvalidSocket;
  Lifecycle lifecycle_;
  Capture capture_{lifecycle_};
};

// Every packet's sequence number continues its direction's, as Wireshark's reassembly needs.
void ExpectOneConsistentStream(const std::vector<CapturedPacket>& packets) {
  ASSERT_GE(packets.size(), 3u);
  const std::uint16_t pluginPort = packets[0].sourcePort;
  std::uint32_t next[2] = {packets[0].sequence, packets[1].sequence};
  std::uint64_t time = 0;
  for (std::size_t i = 0; i < packets.size(); ++i) {
    const CapturedPacket& packet = packets[i];
    const int side = packet.sourcePort == pluginPort ? 0 : 1;
    EXPECT_EQ(packet.sequence, next[side]) << "packet " << i;
    if ((packet.flags & TCP_ACK) != 0) {
      EXPECT_EQ(packet.acknowledgement, next[1 - side]) << "packet " << i;
    }
    next[side] += packet.original - CAPTURE_HEADERS_SIZE +
                  ((packet.flags & (TCP_SYN | TCP_FIN)) != 0 ? 1 : 0);
    EXPECT_GE(packet.microseconds, time) << "packet " << i;
    time = packet.microseconds;
  }
}

TEST_F(CaptureTest, BothDirectionsFromHandshakeToFinsAsOneTcpStream) {
  ASSERT_TRUE(Start(1 << 20));
  ASSERT_TRUE(capture_.On());
  ASSERT_NO_FATAL_FAILURE(Connect());
  int count = 0;
  const unsigned char command[4] = {0x55, 0x0F, 0, 0};
  ASSERT_TRUE(SendAll(client_, command, 4, count));
  ASSERT_NO_FATAL_FAILURE(ConsoleSends({1, 2, 3, 4, 5, 6, 7, 8}));
  unsigned char reply[8];
  ASSERT_TRUE(ReceiveExactly(client_, reply, 8, count));
  static_cast<void>(platform::socketShutdownSend(console_));
  ASSERT_TRUE(ReceiveExactly(client_, reply, 4, count));
  EXPECT_EQ(count, 0);
  TcpClose(client_);
  client_ = platform::kInvalidSocket;
  capture_.Stop(StopMode::kUnload);

  CaptureFile file = ReadCaptureFile(Written());
  ASSERT_TRUE(file.valid);
  EXPECT_EQ(file.linkType, PCAPNG_LINKTYPE_RAW);
  EXPECT_EQ(file.sectionComment, "a test's capture");
  ASSERT_EQ(file.packets.size(), 7u);
  const std::vector<CapturedPacket>& p = file.packets;
  EXPECT_EQ(p[0].destinationPort, COMMAND_PORT);
  EXPECT_EQ(p[1].sourcePort, COMMAND_PORT);
  const std::uint8_t flags[7] = {TCP_SYN,           TCP_SYN | TCP_ACK, TCP_ACK,
                                 TCP_PSH | TCP_ACK, TCP_PSH | TCP_ACK, TCP_FIN | TCP_ACK,
                                 TCP_FIN | TCP_ACK};
  const std::uint16_t from[7] = {p[0].sourcePort, COMMAND_PORT, p[0].sourcePort, p[0].sourcePort,
                                 COMMAND_PORT,    COMMAND_PORT, p[0].sourcePort};
  for (int i = 0; i < 7; ++i) {
    EXPECT_EQ(p[i].flags, flags[i]) << "packet " << i;
    EXPECT_EQ(p[i].sourcePort, from[i]) << "packet " << i;
  }
  EXPECT_EQ(p[3].payload, (std::vector<unsigned char>{0x55, 0x0F, 0, 0}));
  EXPECT_EQ(p[4].payload, (std::vector<unsigned char>{1, 2, 3, 4, 5, 6, 7, 8}));
  ExpectOneConsistentStream(p);
}

TEST_F(CaptureTest, CallLongerThanAnIpPacketIsSplitWithoutAGap) {
  ASSERT_TRUE(Start(1 << 20));
  ASSERT_NO_FATAL_FAILURE(Connect());
  std::vector<unsigned char> bytes(100000);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<unsigned char>(i * 7);
  capture_.Received(client_, bytes.data(), static_cast<int>(bytes.size()));
  capture_.Stop(StopMode::kUnload);

  CaptureFile file = ReadCaptureFile(Written());
  ASSERT_TRUE(file.valid);
  ASSERT_EQ(file.packets.size(), 5u);
  EXPECT_EQ(file.packets[3].payload.size(), static_cast<std::size_t>(CAPTURE_MAX_PAYLOAD));
  std::vector<unsigned char> joined = file.packets[3].payload;
  joined.insert(joined.end(), file.packets[4].payload.begin(), file.packets[4].payload.end());
  EXPECT_EQ(joined, bytes);
  ExpectOneConsistentStream(file.packets);
}

TEST_F(CaptureTest, LimitEndsTheFileWithACommentAndTheConnectionGoesOn) {
  ASSERT_TRUE(Start(4096));
  ASSERT_NO_FATAL_FAILURE(Connect());
  std::vector<unsigned char> bytes(500, 0xAB);
  int count = 0;
  for (int i = 0; i < 20; ++i) {
    ASSERT_TRUE(SendAll(client_, bytes.data(), 500, count));
    ASSERT_EQ(count, 500);
  }
  EXPECT_FALSE(capture_.On());
  std::vector<unsigned char> received(20 * 500);
  int got = 0;
  while (got < static_cast<int>(received.size())) {
    int n = platform::socketReceive(console_, received.data() + got,
                                    static_cast<int>(received.size()) - got);
    ASSERT_GT(n, 0);
    got += n;
  }
  // The capture's thread writes the rest and closes the file by the stop.
  capture_.Stop(StopMode::kUnload);
  EXPECT_LE(std::ifstream(Written(), std::ios::binary | std::ios::ate).tellg(), 4096);

  CaptureFile file = ReadCaptureFile(Written());
  ASSERT_TRUE(file.valid);
  const CapturedPacket& last = file.packets.back();
  EXPECT_NE(last.comment.find("limit"), std::string::npos) << last.comment;
  EXPECT_EQ(last.captured, static_cast<std::uint32_t>(CAPTURE_HEADERS_SIZE));
  EXPECT_EQ(last.original, static_cast<std::uint32_t>(CAPTURE_HEADERS_SIZE + 500));
  for (std::size_t i = 0; i + 1 < file.packets.size(); ++i) {
    EXPECT_EQ(file.packets[i].comment, "");
  }
}

TEST_F(CaptureTest, FileThatCannotBeOpenedLeavesTheCaptureOffAndTheConnectionWorking) {
  path_ = dir_.file("no-such-folder/capture.pcapng");
  EXPECT_FALSE(Start(1 << 20));
  ExpectCaptureOffAndTheConnectionWorking();
}

TEST_F(CaptureTest, DiskThatFillsEndsTheCaptureAndTheConnectionGoesOn) {
  // A device whose every write fails as on a full disk; Linux has one.
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full here";
  path_ = "/dev/full";
  Start(1 << 20);
  ExpectCaptureOffAndTheConnectionWorking();
}

// A pipe whose reader goes away: a POSIX write there raises SIGPIPE, which ends a host that does
// not handle it. The capture ends instead, and says why at its stop.
TEST_F(CaptureTest, TargetWhoseReaderGoesEndsTheCaptureAndNothingElse) {
  auto target = std::make_unique<StalledTarget>(dir_.path().string());
  ASSERT_TRUE(target->ready()) << target->error();
  path_ = target->path();
  ASSERT_TRUE(Start(1 << 20));
  ASSERT_NO_FATAL_FAILURE(Connect());
  std::vector<unsigned char> bytes(60000, 0x5A);
  capture_.Received(client_, bytes.data(), static_cast<int>(bytes.size()));
  target.reset();
  // Bytes keep coming until the capture gives up on the target that no longer reads.
  EXPECT_TRUE(WaitUntil(
      [&] {
        capture_.Received(client_, bytes.data(), static_cast<int>(bytes.size()));
        return !capture_.On();
      },
      5000, 10));
  capture_.Stop(StopMode::kUnload);
  int count = 0;
  const unsigned char command[4] = {1, 2, 3, 4};
  EXPECT_TRUE(SendAll(client_, command, 4, count));
  EXPECT_EQ(count, 4);
}

TEST_F(CaptureTest, SettingsFileSectionGivesFileAndLimit) {
  std::string ini = dir_.file("KvtScanner.ini");
  std::ofstream(ini) << "[Lumora]\r\nTypeScanning=1\r\n[Capture]\r\nFile=" << path_
                     << "\r\nLimitMB=3\r\n";
  CaptureSettings settings = ReadCaptureSettings(ini.c_str());
  EXPECT_EQ(settings.path, path_);
  EXPECT_EQ(settings.limitBytes, 3u << 20);

  // Missing, not a number or not positive: the default; beyond the most: the most.
  const struct {
    const char* text;
    std::uint64_t megabytes;
  } limits[] = {{"none", CAPTURE_DEFAULT_LIMIT_MB},
                {"-5", CAPTURE_DEFAULT_LIMIT_MB},
                {"4096", 4096},
                {"4097", CAPTURE_MAX_LIMIT_MB},
                {"2147483647", CAPTURE_MAX_LIMIT_MB},
                {"99999999999", CAPTURE_MAX_LIMIT_MB}};
  for (const auto& limit : limits) {
    std::ofstream(ini) << "[Capture]\r\nFile=x.pcapng\r\nLimitMB=" << limit.text << "\r\n";
    EXPECT_EQ(ReadCaptureSettings(ini.c_str()).limitBytes, limit.megabytes << 20) << limit.text;
  }
  std::ofstream(ini) << "[Lumora]\r\nTypeScanning=1\r\n";
  EXPECT_EQ(ReadCaptureSettings(ini.c_str()).path, "");
}

// Each start writes a new file named with its date and time. Of the earlier files of the same
// name at most the four newest stay, and as the new file grows the oldest go, so that all of
// them together stay within the limit; files of other names stay as they are.
TEST_F(CaptureTest, EachStartWritesANewFileAndTheNameStaysWithinItsLimit) {
  constexpr std::uint64_t kLimit = 1 << 20;
  // Six earlier captures of 150 KB, oldest first, one of them the second of its second.
  const char* earlierNames[] = {
      "capture-20250101-120000.pcapng", "capture-20250101-120000-2.pcapng",
      "capture-20250102-090000.pcapng", "capture-20250103-090000.pcapng",
      "capture-20250103-100000.pcapng", "capture-20250104-080000.pcapng"};
  std::vector<std::string> earlier;
  for (const char* name : earlierNames) {
    earlier.push_back(dir_.file(name));
    WriteWholeFile(earlier.back(), std::string(150 << 10, 'x'));
  }
  const std::vector<std::string> others = {
      dir_.file("capture.pcapng"), dir_.file("capture-notes.txt"),
      dir_.file("capture-20250101-1200.pcapng"), dir_.file("other-20250101-120000.pcapng")};
  for (const std::string& other : others) WriteWholeFile(other, std::string(300 << 10, 'o'));
  // The files of this name with a date and time, and what they take together.
  auto stamped = [&] {
    std::vector<std::string> paths;
    for (const std::string& path : FilesStartingWith(dir_.path(), "capture-2")) {
      if (std::find(others.begin(), others.end(), path) == others.end()) paths.push_back(path);
    }
    return paths;
  };
  auto total = [&] {
    std::uint64_t bytes = 0;
    for (const std::string& path : stamped()) bytes += std::filesystem::file_size(path);
    return bytes;
  };
  std::vector<unsigned char> bytes(60000, 0x5A);

  // About 600 KB: the two oldest go at the start, two more as the file grows.
  ASSERT_TRUE(Start(kLimit));
  ASSERT_NO_FATAL_FAILURE(Connect());
  for (int i = 0; i < 10; ++i) capture_.Received(client_, bytes.data(), 60000);
  capture_.Stop(StopMode::kUnload);
  for (std::size_t i = 0; i < earlier.size(); ++i) {
    EXPECT_EQ(std::filesystem::exists(earlier[i]), i >= 4) << earlier[i];
  }
  for (const std::string& other : others) EXPECT_TRUE(std::filesystem::exists(other)) << other;
  EXPECT_LE(total(), kLimit);
  ASSERT_EQ(stamped().size(), 3u);
  const std::string first = stamped().back();
  const std::string name = std::filesystem::path(first).filename().string();
  ASSERT_EQ(name.size(), std::string("capture-20260101-000000.pcapng").size()) << name;
  for (std::size_t i : {8, 9, 10, 11, 12, 13, 14, 15, 17, 18, 19, 20, 21, 22}) {
    EXPECT_TRUE(name[i] >= '0' && name[i] <= '9') << name;
  }
  EXPECT_TRUE(ReadCaptureFile(first).valid);

  // The next start's file up to the limit: every earlier file of the name makes room for it.
  TcpClose(client_);
  client_ = platform::kInvalidSocket;
  platform::socketClose(console_);
  console_ = platform::kInvalidSocket;
  ASSERT_TRUE(Start(kLimit));
  ASSERT_NO_FATAL_FAILURE(Connect());
  for (int i = 0; i < 40 && capture_.On(); ++i) {
    capture_.Received(client_, bytes.data(), 60000);
  }
  EXPECT_FALSE(capture_.On());
  capture_.Stop(StopMode::kUnload);
  ASSERT_EQ(stamped().size(), 1u);
  EXPECT_NE(stamped()[0], first);
  EXPECT_LE(total(), kLimit);
  CaptureFile file = ReadCaptureFile(stamped()[0]);
  ASSERT_TRUE(file.valid);
  EXPECT_NE(file.packets.back().comment.find("limit of 1 MB"), std::string::npos);
  for (const std::string& other : others) EXPECT_TRUE(std::filesystem::exists(other)) << other;
}

}  // namespace
