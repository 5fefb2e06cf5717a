// Wire bytes written out by hand from the record tables, never by the code under test: pose
// header messages of the four header types and the reply records of both channels. An encoder
// and a decoder that agree on a wrong offset still disagree with these.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace golden {

using Bytes = std::vector<unsigned char>;

// A pose header message: the type, then the 296-byte header, whose first 260 bytes the plug-in
// does not read (zero here, as the simulator sends them), then its 36 bytes from offset 260 on.
struct HeaderMessage {
  unsigned char type[4];
  unsigned char from260[36];

  Bytes bytes() const {
    Bytes out(type, type + 4);
    out.resize(4 + 260, 0);
    out.insert(out.end(), from260, from260 + 36);
    return out;
  }
};

// DATA_LASER_HEADER: 2 points, mark 0, at (1.5, -2, 100), turned 90 degrees about Y.
inline constexpr HeaderMessage kLaserHeader = {{0x30, 0x0D, 0x00, 0x00},
                                               {
                                                   0x02, 0x00, 0x00, 0x00,  // 260 numPoints 2
                                                   0x00, 0x00, 0x00, 0x00,  // 264 mark 0
                                                   0x00, 0x00, 0x00, 0x00,  // 268 not read
                                                   0x00, 0x00, 0xC0, 0x3F,  // 272 x 1.5
                                                   0x00, 0x00, 0x00, 0xC0,  // 276 y -2
                                                   0x00, 0x00, 0xC8, 0x42,  // 280 z 100
                                                   0x00, 0x00, 0x00, 0x00,  // 284 rx 0
                                                   0x00, 0x00, 0xB4, 0x42,  // 288 ry 90
                                                   0x00, 0x00, 0x00, 0x00,  // 292 rz 0
                                               }};

// DATA_PROBE_VECTOR_HEADER: 1 point, mark 0, at (12.5, 0.25, -0.5), turned -90 degrees about X.
inline constexpr HeaderMessage kProbeVectorHeader = {{0x52, 0x0D, 0x00, 0x00},
                                                     {
                                                         0x01, 0x00, 0x00, 0x00,  // 260 numPoints 1
                                                         0x00, 0x00, 0x00, 0x00,  // 264 mark 0
                                                         0x00, 0x00, 0x00, 0x00,  // 268 not read
                                                         0x00, 0x00, 0x48, 0x41,  // 272 x 12.5
                                                         0x00, 0x00, 0x80, 0x3E,  // 276 y 0.25
                                                         0x00, 0x00, 0x00, 0xBF,  // 280 z -0.5
                                                         0x00, 0x00, 0xB4, 0xC2,  // 284 rx -90
                                                         0x00, 0x00, 0x00, 0x00,  // 288 ry 0
                                                         0x00, 0x00, 0x00, 0x00,  // 292 rz 0
                                                     }};

// DATA_PROBE_POINT_HEADER: 1 point, mark 0, at (1.5, -2, 3), not turned.
inline constexpr HeaderMessage kProbePointHeader = {{0x54, 0x0D, 0x00, 0x00},
                                                    {
                                                        0x01, 0x00, 0x00, 0x00,  // 260 numPoints 1
                                                        0x00, 0x00, 0x00, 0x00,  // 264 mark 0
                                                        0x00, 0x00, 0x00, 0x00,  // 268 not read
                                                        0x00, 0x00, 0xC0, 0x3F,  // 272 x 1.5
                                                        0x00, 0x00, 0x00, 0xC0,  // 276 y -2
                                                        0x00, 0x00, 0x40, 0x40,  // 280 z 3
                                                        0x00, 0x00, 0x00, 0x00,  // 284 rx 0
                                                        0x00, 0x00, 0x00, 0x00,  // 288 ry 0
                                                        0x00, 0x00, 0x00, 0x00,  // 292 rz 0
                                                    }};

// DATA_OTHER_HEADER: 3 points, mark -100, at (8, 16, -1), turned 90 about Y, then 90 about Z.
inline constexpr HeaderMessage kOtherHeader = {{0x22, 0x0F, 0x00, 0x00},
                                               {
                                                   0x03, 0x00, 0x00, 0x00,  // 260 numPoints 3
                                                   0x9C, 0xFF, 0xFF, 0xFF,  // 264 mark -100
                                                   0x00, 0x00, 0x00, 0x00,  // 268 not read
                                                   0x00, 0x00, 0x00, 0x41,  // 272 x 8
                                                   0x00, 0x00, 0x80, 0x41,  // 276 y 16
                                                   0x00, 0x00, 0x80, 0xBF,  // 280 z -1
                                                   0x00, 0x00, 0x00, 0x00,  // 284 rx 0
                                                   0x00, 0x00, 0xB4, 0x42,  // 288 ry 90
                                                   0x00, 0x00, 0xB4, 0x42,  // 292 rz 90
                                               }};

// A 256-byte text field: the characters, then zero bytes.
inline Bytes TextField(const std::string& text) {
  Bytes out(text.begin(), text.end());
  out.resize(256, 0);
  return out;
}

inline Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

// The simulator's first text notice of a connection's life: DATA_SCAN_BEGIN with tag 1.
inline Bytes ScanBeginRequest() {
  return Join({{0x01, 0x00, 0x00, 0x00}, TextField("LineStudio scan begin 1")});
}
// Its 264-byte reply: result 0 at 0, tag at 4, text at 8.
inline Bytes ScanBeginReply() {
  return Join(
      {{0x00, 0x00, 0x00, 0x00}, {0x01, 0x00, 0x00, 0x00}, TextField("LineStudio scan begin 1")});
}

// The simulator's second text notice, DATA_END: tag 2, value -14 at offset 260.
inline Bytes EndRequest() {
  return Join({{0x02, 0x00, 0x00, 0x00}, TextField("LineStudio end 2"), {0xF2, 0xFF, 0xFF, 0xFF}});
}
// Its 268-byte reply: result 0, tag, text, and the value at 264.
inline Bytes EndReply() {
  return Join({{0x00, 0x00, 0x00, 0x00},
               {0x02, 0x00, 0x00, 0x00},
               TextField("LineStudio end 2"),
               {0xF2, 0xFF, 0xFF, 0xFF}});
}

// The 8-byte reply to a button event with code 2: result 0, then the code.
inline const Bytes kButtonReply2 = {0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00};
inline const Bytes kButtonReply4 = {0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00};

// An echo's 24 bytes 1 to 24 and its 28-byte reply: result 0, then the bytes as they came.
inline const Bytes kEchoPayload = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12,
                                   13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24};
inline const Bytes kEchoReply = {0,  0,  0,  0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10,
                                 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24};

// Command-channel replies: a 4-byte word, and the 32-byte probe reply of a 6.5 probe, whose
// diameter is the float at offset 4.
inline const Bytes kWordZero = {0x00, 0x00, 0x00, 0x00};
inline const Bytes kWordOne = {0x01, 0x00, 0x00, 0x00};
inline const Bytes kWordThree = {0x03, 0x00, 0x00, 0x00};
inline const Bytes kProbeReply6Point5 = {
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xD0, 0x40, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

}  // namespace golden
