// The capture file's blocks and headers, against bytes written out by hand from the pcapng,
// IPv4 and TCP layouts.
#include <gtest/gtest.h>

#include <fstream>

#include "TempDir.h"
#include "capture/Pcapng.h"
#include "capture/PcapngReader.h"

namespace {

TEST(PcapngTest, PacketBlockCarriesTimeLengthsPaddedDataAndComment) {
  CaptureBytes out;
  const unsigned char packet[] = {'A', 'B', 'C', 'D', 'E'};
  AppendPcapngPacket(out, 0x0000000100000002ull, packet, 5, 9, "hi");
  const CaptureBytes expected = {0x06, 0,   0,   0,   0x34, 0,   0, 0,  // type, length
                                 0,    0,   0,   0,                     // interface
                                 1,    0,   0,   0,   2,    0,   0, 0,  // time, high word first
                                 5,    0,   0,   0,   9,    0,   0, 0,  // captured, original
                                 'A',  'B', 'C', 'D', 'E',  0,   0, 0,
                                 1,    0,   2,   0,   'h',  'i', 0, 0,  // comment
                                 0,    0,   0,   0,                     // end of options
                                 0x34, 0,   0,   0};
  EXPECT_EQ(out, expected);

  out.clear();
  AppendPcapngPacket(out, 0, packet, 4, 4, "");
  EXPECT_EQ(out.size(), 36u) << "a packet without a comment has no options at all";
}

// The count of packets left out, as Wireshark shows it among the file's properties, with a
// comment; the reader gives both back.
TEST(PcapngTest, StatisticsBlockCarriesTheDropCountAndAComment) {
  CaptureBytes out;
  AppendPcapngStatistics(out, 0x0000000100000002ull, 0x0000000300000004ull, "left");
  const CaptureBytes expected = {0x05, 0,   0,   0,   0x30, 0, 0, 0,  // type, length
                                 0,    0,   0,   0,   1,    0, 0, 0,  // interface, time's high word
                                 2,    0,   0,   0,   1,    0, 4, 0,  // low word; comment option
                                 'l',  'e', 'f', 't', 5,    0, 8, 0,  // its text; isb_ifdrop option
                                 4,    0,   0,   0,   3,    0, 0, 0,  // the count, low word first
                                 0,    0,   0,   0,   0x30, 0, 0, 0};  // end of options; length
  EXPECT_EQ(out, expected);
  EXPECT_EQ(PcapngPacketBlockSize(5, 2), 52u);
  EXPECT_EQ(PcapngPacketBlockSize(4, 0), 36u);

  CaptureBytes file;
  AppendPcapngStart(file, "app", "");
  file.insert(file.end(), out.begin(), out.end());
  TempDir dir;
  std::ofstream(dir.file("c.pcapng"), std::ios::binary)
      .write(reinterpret_cast<const char*>(file.data()), static_cast<long>(file.size()));
  CaptureFile read = ReadCaptureFile(dir.file("c.pcapng"));
  EXPECT_TRUE(read.valid);
  EXPECT_EQ(read.statisticsComments, std::vector<std::string>{"left"});
  EXPECT_EQ(read.droppedPackets, 0x0000000300000004ull);
}

TEST(PcapngTest, FileStartsWithSectionAndOneRawIpInterface) {
  CaptureBytes out;
  AppendPcapngStart(out, "app", "note");
  const CaptureBytes expected = {
      0x0A, 0x0D, 0x0D, 0x0A, 0x30, 0,    0,    0,  // section header block
      0x4D, 0x3C, 0x2B, 0x1A, 1,    0,    0,    0,  // byte-order magic, version 1.0
      0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
      1,    0,    4,    0,    'n',  'o',  't',  'e',  // comment
      4,    0,    3,    0,    'a',  'p',  'p',  0,    // writing application
      0,    0,    0,    0,    0x30, 0,    0,    0,
      1,    0,    0,    0,    0x14, 0,    0,    0,  // interface description block
      101,  0,    0,    0,    0,    0,    0,    0,  // raw IP, no snapshot limit
      0x14, 0,    0,    0};
  EXPECT_EQ(out, expected);
}

TEST(PcapngTest, HeadersOfALoopbackSegment) {
  TcpSegment segment{50000, 2003, 0x01020304, 0x05060708, TCP_PSH | TCP_ACK, 7};
  unsigned char out[CAPTURE_HEADERS_SIZE];
  EncodeTcpHeaders(segment, 4, out);
  const unsigned char expected[CAPTURE_HEADERS_SIZE] = {
      0x45, 0, 0,   44, 0,    7,    0x40, 0,    64,   6,    0x3C, 0xC3, 127, 0,
      0,    1, 127, 0,  0,    1,    0xC3, 0x50, 0x07, 0xD3, 1,    2,    3,   4,
      5,    6, 7,   8,  0x50, 0x18, 0xFF, 0xFF, 0,    0,    0,    0};
  for (int i = 0; i < CAPTURE_HEADERS_SIZE; ++i) EXPECT_EQ(out[i], expected[i]) << "byte " << i;
}

// A file sent back from a site may be cut or altered: its lengths must never lead the reader
// outside the block that holds them.
TEST(PcapngTest, ReaderStopsAtLengthsThatRunPastTheirBlock) {
  CaptureBytes good;
  AppendPcapngStart(good, "app", "");
  const unsigned char packet[CAPTURE_HEADERS_SIZE + 4] = {};
  const std::size_t packetAt = good.size();
  AppendPcapngPacket(good, 0, packet, sizeof packet, sizeof packet, "note");
  TempDir dir;
  auto read = [&](const CaptureBytes& bytes) {
    std::ofstream(dir.file("c.pcapng"), std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<long>(bytes.size()));
    return ReadCaptureFile(dir.file("c.pcapng"));
  };
  CaptureFile file = read(good);
  ASSERT_TRUE(file.valid);
  ASSERT_EQ(file.packets.size(), 1u);
  EXPECT_EQ(file.packets[0].comment, "note");

  CaptureBytes longCapture = good;
  longCapture.at(packetAt + 21) = 0xF0;  // captured length far beyond the block
  file = read(longCapture);
  EXPECT_FALSE(file.valid);
  EXPECT_TRUE(file.packets.empty());

  CaptureBytes longComment = good;
  longComment.at(packetAt + 28 + sizeof packet + 2) = 0xF0;  // the comment's length
  file = read(longComment);
  ASSERT_EQ(file.packets.size(), 1u);
  EXPECT_EQ(file.packets[0].comment, "");
}

}  // namespace
