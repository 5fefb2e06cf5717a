// The capture file's format: pcapng blocks (section header, one raw-IPv4 interface, enhanced
// packets with comments) and the IPv4/TCP headers that frame what the plug-in sent and received
// as loopback traffic. Pure encoding: nothing here touches a file or a socket.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

using CaptureBytes = std::vector<unsigned char>;

// LINKTYPE_RAW: every packet starts with its IPv4 header, with no link-layer header before it.
constexpr std::uint16_t PCAPNG_LINKTYPE_RAW = 101;

// An IPv4 packet holds at most 65535 bytes, 40 of which are the two headers.
constexpr int CAPTURE_HEADERS_SIZE = 40;
constexpr int CAPTURE_MAX_PAYLOAD = 65535 - CAPTURE_HEADERS_SIZE;

// TCP flags as the header carries them.
constexpr std::uint8_t TCP_FIN = 0x01;
constexpr std::uint8_t TCP_SYN = 0x02;
constexpr std::uint8_t TCP_PSH = 0x08;
constexpr std::uint8_t TCP_ACK = 0x10;

// Section header block (little-endian, unknown section length) with the writing application
// and a comment, then the interface description block of the one raw-IPv4 interface (time in
// microseconds, pcapng's default).
void AppendPcapngStart(CaptureBytes& out, const std::string& application,
                       const std::string& comment);

// One enhanced packet block on interface 0: captured bytes of packet, the packet's original
// length (at least their number: a packet cut short shows its full length), its time in
// microseconds since 1970, and an optional comment ("" for none).
void AppendPcapngPacket(CaptureBytes& out, std::uint64_t microseconds, const unsigned char* packet,
                        std::uint32_t captured, std::uint32_t original, const std::string& comment);

// The same for a packet in two parts, its headers and then its payload, captured whole: each
// part is copied once, straight into out.
void AppendPcapngPacket(CaptureBytes& out, std::uint64_t microseconds, const unsigned char* headers,
                        std::uint32_t headersLength, const unsigned char* payload,
                        std::uint32_t payloadLength, const std::string& comment);

// The size of the block AppendPcapngPacket appends for captured bytes and a comment of
// commentLength characters (0 for none).
std::size_t PcapngPacketBlockSize(std::uint32_t captured, std::size_t commentLength);

// An interface statistics block for interface 0 at a time: the number of packets the capture
// left out (isb_ifdrop) and a comment.
void AppendPcapngStatistics(CaptureBytes& out, std::uint64_t microseconds,
                            std::uint64_t droppedPackets, const std::string& comment);

// One segment between two ports of 127.0.0.1.
struct TcpSegment {
  std::uint16_t sourcePort;
  std::uint16_t destinationPort;
  std::uint32_t sequence;
  std::uint32_t acknowledgement;
  std::uint8_t flags;
  std::uint16_t ipIdentification;
};

// The IPv4 and TCP headers of a segment carrying payloadLength bytes (at most
// CAPTURE_MAX_PAYLOAD), written to out[0..CAPTURE_HEADERS_SIZE). The IPv4 checksum is filled
// in; the TCP checksum is left zero, as loopback captures with checksum offload show it.
void EncodeTcpHeaders(const TcpSegment& segment, int payloadLength, unsigned char* out);
