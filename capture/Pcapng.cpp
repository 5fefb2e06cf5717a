// pcapng blocks and IPv4/TCP headers for the capture file.
#include "capture/Pcapng.h"

#include <cstring>

#include "wire/WireValues.h"

namespace {

constexpr std::uint32_t kSectionHeaderBlock = 0x0A0D0D0A;
constexpr std::uint32_t kInterfaceBlock = 0x00000001;
constexpr std::uint32_t kInterfaceStatisticsBlock = 0x00000005;
constexpr std::uint32_t kEnhancedPacketBlock = 0x00000006;
constexpr std::uint32_t kByteOrderMagic = 0x1A2B3C4D;
constexpr std::uint16_t kOptionEnd = 0;
constexpr std::uint16_t kOptionComment = 1;
constexpr std::uint16_t kOptionUserApplication = 4;  // shb_userappl
constexpr std::uint16_t kOptionDropped = 5;          // isb_ifdrop
constexpr std::uint32_t kNoSnapLimit = 0;

void Put16(CaptureBytes& out, std::uint16_t value) {
  out.push_back(static_cast<unsigned char>(value));
  out.push_back(static_cast<unsigned char>(value >> 8));
}

void Put32(CaptureBytes& out, std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8)
    out.push_back(static_cast<unsigned char>(value >> shift));
}

void PadTo32Bits(CaptureBytes& out) {
  while (out.size() % 4 != 0) out.push_back(0);
}

void PutOption(CaptureBytes& out, std::uint16_t code, const std::string& text) {
  if (text.empty()) return;
  Put16(out, code);
  Put16(out, static_cast<std::uint16_t>(text.size()));
  out.insert(out.end(), text.begin(), text.end());
  PadTo32Bits(out);
}

// Opens a block at out's end; CloseBlock fills in its length at both ends.
std::size_t OpenBlock(CaptureBytes& out, std::uint32_t type) {
  std::size_t start = out.size();
  Put32(out, type);
  Put32(out, 0);
  return start;
}

void CloseBlock(CaptureBytes& out, std::size_t start) {
  std::uint32_t length = static_cast<std::uint32_t>(out.size() - start + 4);
  Put32(out, length);
  PutInt32(&out[start + 4], static_cast<std::int32_t>(length));
}

void PutBigEndian16(unsigned char* out, std::uint16_t value) {
  out[0] = static_cast<unsigned char>(value >> 8);
  out[1] = static_cast<unsigned char>(value);
}

void PutBigEndian32(unsigned char* out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<unsigned char>(value >> (24 - 8 * i));
}

}  // namespace

void AppendPcapngStart(CaptureBytes& out, const std::string& application,
                       const std::string& comment) {
  std::size_t start = OpenBlock(out, kSectionHeaderBlock);
  Put32(out, kByteOrderMagic);
  Put16(out, 1);  // version 1.0
  Put16(out, 0);
  Put32(out, 0xFFFFFFFF);  // section length not given: the file grows as packets come
  Put32(out, 0xFFFFFFFF);
  PutOption(out, kOptionComment, comment);
  PutOption(out, kOptionUserApplication, application);
  Put16(out, kOptionEnd);
  Put16(out, 0);
  CloseBlock(out, start);

  start = OpenBlock(out, kInterfaceBlock);
  Put16(out, PCAPNG_LINKTYPE_RAW);
  Put16(out, 0);
  Put32(out, kNoSnapLimit);
  CloseBlock(out, start);
}

namespace {

void AppendPacketBlock(CaptureBytes& out, std::uint64_t microseconds, const unsigned char* headers,
                       std::uint32_t headersLength, const unsigned char* payload,
                       std::uint32_t payloadLength, std::uint32_t original,
                       const std::string& comment) {
  std::size_t start = OpenBlock(out, kEnhancedPacketBlock);
  Put32(out, 0);  // interface 0
  Put32(out, static_cast<std::uint32_t>(microseconds >> 32));
  Put32(out, static_cast<std::uint32_t>(microseconds));
  Put32(out, headersLength + payloadLength);
  Put32(out, original);
  out.insert(out.end(), headers, headers + headersLength);
  if (payloadLength > 0) out.insert(out.end(), payload, payload + payloadLength);
  PadTo32Bits(out);
  if (!comment.empty()) {
    PutOption(out, kOptionComment, comment);
    Put16(out, kOptionEnd);
    Put16(out, 0);
  }
  CloseBlock(out, start);
}

}  // namespace

void AppendPcapngPacket(CaptureBytes& out, std::uint64_t microseconds, const unsigned char* packet,
                        std::uint32_t captured, std::uint32_t original,
                        const std::string& comment) {
  AppendPacketBlock(out, microseconds, packet, captured, nullptr, 0, original, comment);
}

void AppendPcapngPacket(CaptureBytes& out, std::uint64_t microseconds, const unsigned char* headers,
                        std::uint32_t headersLength, const unsigned char* payload,
                        std::uint32_t payloadLength, const std::string& comment) {
  AppendPacketBlock(out, microseconds, headers, headersLength, payload, payloadLength,
                    headersLength + payloadLength, comment);
}

std::size_t PcapngPacketBlockSize(std::uint32_t captured, std::size_t commentLength) {
  auto padded = [](std::size_t n) { return (n + 3) & ~std::size_t{3}; };
  // Type, length, interface, time (two words), captured and original length; the packet; the
  // comment option and the end of options; the length again.
  return 28 + padded(captured) + (commentLength > 0 ? 4 + padded(commentLength) + 4 : 0) + 4;
}

void AppendPcapngStatistics(CaptureBytes& out, std::uint64_t microseconds,
                            std::uint64_t droppedPackets, const std::string& comment) {
  std::size_t start = OpenBlock(out, kInterfaceStatisticsBlock);
  Put32(out, 0);  // interface 0
  Put32(out, static_cast<std::uint32_t>(microseconds >> 32));
  Put32(out, static_cast<std::uint32_t>(microseconds));
  PutOption(out, kOptionComment, comment);
  Put16(out, kOptionDropped);
  Put16(out, 8);
  Put32(out, static_cast<std::uint32_t>(droppedPackets));
  Put32(out, static_cast<std::uint32_t>(droppedPackets >> 32));
  Put16(out, kOptionEnd);
  Put16(out, 0);
  CloseBlock(out, start);
}

void EncodeTcpHeaders(const TcpSegment& segment, int payloadLength, unsigned char* out) {
  constexpr unsigned char kLoopback[4] = {127, 0, 0, 1};
  std::memset(out, 0, CAPTURE_HEADERS_SIZE);
  unsigned char* ip = out;
  ip[0] = 0x45;  // IPv4, five-word header
  PutBigEndian16(ip + 2, static_cast<std::uint16_t>(CAPTURE_HEADERS_SIZE + payloadLength));
  PutBigEndian16(ip + 4, segment.ipIdentification);
  ip[6] = 0x40;  // don't fragment
  ip[8] = 64;    // time to live
  ip[9] = 6;     // TCP
  std::memcpy(ip + 12, kLoopback, 4);
  std::memcpy(ip + 16, kLoopback, 4);
  std::uint32_t sum = 0;
  for (int i = 0; i < 20; i += 2) sum += static_cast<std::uint32_t>(ip[i] << 8 | ip[i + 1]);
  while (sum > 0xFFFF) sum = (sum & 0xFFFF) + (sum >> 16);
  PutBigEndian16(ip + 10, static_cast<std::uint16_t>(~sum));

  unsigned char* tcp = out + 20;
  PutBigEndian16(tcp, segment.sourcePort);
  PutBigEndian16(tcp + 2, segment.destinationPort);
  PutBigEndian32(tcp + 4, segment.sequence);
  PutBigEndian32(tcp + 8, segment.acknowledgement);
  tcp[12] = 5 << 4;  // five-word header, no options
  tcp[13] = segment.flags;
  PutBigEndian16(tcp + 14, 65535);  // window
}
