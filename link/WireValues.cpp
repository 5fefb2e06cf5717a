// Little-endian int32 and float32 values as both channels carry them.
#include "link/WireValues.h"

#include <cstring>

void PutInt32(unsigned char* out, std::int32_t value) {
  std::uint32_t bits = static_cast<std::uint32_t>(value);
  out[0] = static_cast<unsigned char>(bits);
  out[1] = static_cast<unsigned char>(bits >> 8);
  out[2] = static_cast<unsigned char>(bits >> 16);
  out[3] = static_cast<unsigned char>(bits >> 24);
}

void PutFloat32(unsigned char* out, float value) {
  std::uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  PutInt32(out, static_cast<std::int32_t>(bits));
}

std::int32_t GetInt32(const unsigned char* in) {
  std::uint32_t bits = static_cast<std::uint32_t>(in[0]) | static_cast<std::uint32_t>(in[1]) << 8 |
                       static_cast<std::uint32_t>(in[2]) << 16 |
                       static_cast<std::uint32_t>(in[3]) << 24;
  return static_cast<std::int32_t>(bits);
}

float GetFloat32(const unsigned char* in) {
  std::uint32_t bits = static_cast<std::uint32_t>(GetInt32(in));
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}
