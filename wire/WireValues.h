// Little-endian int32 and float32 values as both channels carry them, whatever the host's byte
// order. Inline: the point conversion decodes 30000 floats per block.
#pragma once

#include <cstdint>
#include <cstring>

inline void PutInt32(unsigned char* out, std::int32_t value) {
  std::uint32_t bits = static_cast<std::uint32_t>(value);
  out[0] = static_cast<unsigned char>(bits);
  out[1] = static_cast<unsigned char>(bits >> 8);
  out[2] = static_cast<unsigned char>(bits >> 16);
  out[3] = static_cast<unsigned char>(bits >> 24);
}

inline std::int32_t GetInt32(const unsigned char* in) {
  std::uint32_t bits = static_cast<std::uint32_t>(in[0]) | static_cast<std::uint32_t>(in[1]) << 8 |
                       static_cast<std::uint32_t>(in[2]) << 16 |
                       static_cast<std::uint32_t>(in[3]) << 24;
  return static_cast<std::int32_t>(bits);
}

inline void PutFloat32(unsigned char* out, float value) {
  std::uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  PutInt32(out, static_cast<std::int32_t>(bits));
}

inline float GetFloat32(const unsigned char* in) {
  std::uint32_t bits = static_cast<std::uint32_t>(GetInt32(in));
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}
