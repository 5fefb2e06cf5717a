// Reads back the capture files the plug-in writes, for the simulator's replay and the tests: the
// section comment, each packet's time, lengths, IPv4/TCP header fields, payload and comment, and
// the comments and drop counts of the statistics blocks.
// Only what those files hold: one little-endian section, raw-IPv4 packets.
#pragma once

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "wire/WireValues.h"

struct CapturedPacket {
  std::uint64_t microseconds = 0;
  std::uint32_t captured = 0;
  std::uint32_t original = 0;
  std::uint16_t sourcePort = 0;
  std::uint16_t destinationPort = 0;
  std::uint32_t sequence = 0;
  std::uint32_t acknowledgement = 0;
  std::uint8_t flags = 0;
  std::vector<unsigned char> payload;
  std::size_t payloadOffset = 0;  // where the payload lies in the file
  std::string comment;
};

struct CaptureFile {
  bool valid = false;  // the blocks' structure held to the end of the file
  std::string sectionComment;
  std::uint16_t linkType = 0;
  std::vector<CapturedPacket> packets;
  // The interface statistics blocks: their comments in order, and the count of packets left out
  // that the last of them gives.
  std::vector<std::string> statisticsComments;
  std::uint64_t droppedPackets = 0;
};

namespace pcapng_reader {
inline std::uint32_t Le32(const unsigned char* p) {
  return static_cast<std::uint32_t>(GetInt32(p));
}
inline std::uint16_t Le16(const unsigned char* p) {
  return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}
inline std::uint16_t Be16(const unsigned char* p) {
  return static_cast<std::uint16_t>(p[0] << 8 | p[1]);
}
inline std::uint32_t Be32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3];
}
// The first option with the code among the options in [p, end), or "".
inline std::string Option(const unsigned char* p, const unsigned char* end, std::uint16_t wanted) {
  while (p + 4 <= end) {
    std::uint16_t code = Le16(p), length = Le16(p + 2);
    if (code == 0) break;
    // A length that runs past the block ends the options: the file is not trusted.
    if (length > end - (p + 4)) break;
    if (code == wanted) return std::string(reinterpret_cast<const char*>(p + 4), length);
    p += 4 + ((length + 3u) & ~3u);
  }
  return "";
}
inline std::string Comment(const unsigned char* p, const unsigned char* end) {
  return Option(p, end, 1);
}
}  // namespace pcapng_reader

inline CaptureFile ReadCaptureFile(const std::string& path) {
  using namespace pcapng_reader;
  std::ifstream in(path, std::ios::binary);
  std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)),
                                   std::istreambuf_iterator<char>());
  CaptureFile file;
  std::size_t at = 0;
  while (at + 12 <= bytes.size()) {
    const unsigned char* block = bytes.data() + at;
    std::uint32_t type = Le32(block), length = Le32(block + 4);
    if (length < 12 || length % 4 != 0 || at + length > bytes.size() ||
        Le32(block + length - 4) != length) {
      return file;
    }
    const unsigned char* end = block + length - 4;
    if (type == 0x0A0D0D0A) {
      if (length < 28) return file;
      file.sectionComment = Comment(block + 24, end);
    } else if (type == 1) {
      if (length < 20) return file;
      file.linkType = Le16(block + 8);
    } else if (type == 5) {
      if (length < 24) return file;
      file.statisticsComments.push_back(Comment(block + 20, end));
      const std::string dropped = Option(block + 20, end, 5);
      if (dropped.size() == 8) {
        const auto* bytes = reinterpret_cast<const unsigned char*>(dropped.data());
        file.droppedPackets = static_cast<std::uint64_t>(Le32(bytes + 4)) << 32 | Le32(bytes);
      }
    } else if (type == 6) {
      // The packet's own lengths must lie inside its block: a cut or altered file ends the
      // reading, never a read past the block.
      if (length < 32 || Le32(block + 20) > length - 32) return file;
      CapturedPacket packet;
      packet.microseconds = static_cast<std::uint64_t>(Le32(block + 12)) << 32 | Le32(block + 16);
      packet.captured = Le32(block + 20);
      packet.original = Le32(block + 24);
      const unsigned char* ip = block + 28;
      if (packet.captured >= 40) {
        const unsigned char* tcp = ip + 20;
        packet.sourcePort = Be16(tcp);
        packet.destinationPort = Be16(tcp + 2);
        packet.sequence = Be32(tcp + 4);
        packet.acknowledgement = Be32(tcp + 8);
        packet.flags = tcp[13];
        packet.payload.assign(ip + 40, ip + packet.captured);
        packet.payloadOffset = static_cast<std::size_t>(ip + 40 - bytes.data());
      }
      packet.comment = Comment(ip + ((packet.captured + 3u) & ~3u), end);
      file.packets.push_back(packet);
    }
    at += length;
  }
  file.valid = at == bytes.size();
  return file;
}
