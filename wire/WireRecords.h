// Message types and wire records of the data channel, with explicit little-endian encoding.
#pragma once

#include <cstdint>

#include "wire/WireValues.h"

constexpr std::uint16_t DATA_PORT = 2002;

constexpr std::int32_t DATA_BEGIN = 3328;                // 0x0D00
constexpr std::int32_t DATA_SCAN_BEGIN = 3344;           // 0x0D10
constexpr std::int32_t DATA_ACQUIRE_BEGIN = 3360;        // 0x0D20
constexpr std::int32_t DATA_LASER_HEADER = 3376;         // 0x0D30
constexpr std::int32_t DATA_LASER_POINTS = 3392;         // 0x0D40
constexpr std::int32_t DATA_PROBE_VECTOR_HEADER = 3410;  // 0x0D52
constexpr std::int32_t DATA_PROBE_VECTOR = 3411;         // 0x0D53
constexpr std::int32_t DATA_PROBE_POINT_HEADER = 3412;   // 0x0D54
constexpr std::int32_t DATA_PROBE_POINT = 3413;          // 0x0D55
constexpr std::int32_t DATA_END = 3584;                  // 0x0E00
constexpr std::int32_t DATA_SCAN_END = 3600;             // 0x0E10
constexpr std::int32_t DATA_ACQUIRE_END = 3616;          // 0x0E20
constexpr std::int32_t DATA_OTHER_HEADER = 3874;         // 0x0F22
constexpr std::int32_t DATA_OTHER_POINTS = 3875;         // 0x0F23
constexpr std::int32_t DATA_ACQUIRE_OFF = 3904;          // 0x0F40
constexpr std::int32_t DATA_ACQUIRE_ON = 3905;           // 0x0F41
constexpr std::int32_t DATA_BUTTON_FINAL = 3962;         // 0x0F7A
constexpr std::int32_t DATA_BUTTON = 3963;               // 0x0F7B
constexpr std::int32_t DATA_ECHO_FINAL = 3986;           // 0x0F92
constexpr std::int32_t DATA_ECHO = 3987;                 // 0x0F93

// Acknowledgements of the two FINAL types are those of their partners.
constexpr std::int32_t DATA_BUTTON_ACK = 3964;
constexpr std::int32_t DATA_ECHO_ACK = 3988;

// A point block holds at most this many points of three floats.
constexpr int MAX_BLOCK_POINTS = 10000;
constexpr int POINT_WIRE_SIZE = 12;

// The mark that DATA_BEGIN writes into the stored header; probe vectors are ignored under it.
constexpr std::int32_t HEADER_MARK_BEGIN = -100;

constexpr int TEXT_SIZE = 256;

struct TextRecord {
  std::int32_t tag;
  char text[TEXT_SIZE];  // zero-terminated, or 256 characters without terminator
};
constexpr int TEXT_RECORD_SIZE = 260;
constexpr int TEXT_REPLY_SIZE = 264;

struct TextValueRecord {
  TextRecord text;
  std::int32_t value;
};
constexpr int TEXT_VALUE_RECORD_SIZE = 264;
constexpr int TEXT_VALUE_REPLY_SIZE = 268;

constexpr int BUTTON_PAYLOAD_SIZE = 4;
constexpr int BUTTON_REPLY_SIZE = 8;
constexpr int ECHO_PAYLOAD_SIZE = 24;
constexpr int ECHO_REPLY_SIZE = 28;

// The fields of a pose header that the plug-in reads; the rest of its 296 bytes is not used.
struct PoseHeader {
  std::int32_t numPoints;  // offset 260
  std::int32_t mark;       // offset 264
  float x, y, z;           // offsets 272, 276, 280
  float rx, ry, rz;        // offsets 284, 288, 292: degrees
};
constexpr int POSE_HEADER_SIZE = 296;

TextRecord DecodeTextRecord(const unsigned char* in);
TextValueRecord DecodeTextValueRecord(const unsigned char* in);
void EncodeTextRecord(const TextRecord& record, unsigned char* out);
void EncodeTextValueRecord(const TextValueRecord& record, unsigned char* out);

// The bytes of a record's text that a reply copies: up to and including the terminator, or all
// 256 when there is none.
int TextLength(const TextRecord& record);

// Replies: result 0, then the request echoed. The text is copied up to and including its
// terminator, never beyond its 256 bytes, and zero bytes fill the rest.
void EncodeTextReply(const TextRecord& record, unsigned char* out);
void EncodeTextValueReply(const TextValueRecord& record, unsigned char* out);

PoseHeader DecodePoseHeader(const unsigned char* in);
// Writes the 296 wire bytes of a header; the bytes the plug-in does not read are zero.
void EncodePoseHeader(const PoseHeader& header, unsigned char* out);
