// Little-endian int32 and float32 values as both channels carry them, whatever the host's byte
// order.
#pragma once

#include <cstdint>

void PutInt32(unsigned char* out, std::int32_t value);
void PutFloat32(unsigned char* out, float value);
std::int32_t GetInt32(const unsigned char* in);
float GetFloat32(const unsigned char* in);
