// The record of pose and points whose address the host's sink receives.
#pragma once

#include <stddef.h>
#include <stdint.h>

struct MeasureRecord {
  double* position;   // x, y, z of the last sensor position
  double* direction;  // x, y, z of the last sensor direction
  double* points;     // point i is points[3 * i], points[3 * i + 1], points[3 * i + 2]
  int32_t pointCount;
};

// The host reads the record through these offsets: pointers are 4 bytes on 32-bit Windows and 8 on
// 64-bit Windows, where the count is followed by 4 bytes of padding.
static_assert(offsetof(MeasureRecord, position) == 0, "MeasureRecord layout");
static_assert(offsetof(MeasureRecord, direction) == sizeof(void*), "MeasureRecord layout");
static_assert(offsetof(MeasureRecord, points) == 2 * sizeof(void*), "MeasureRecord layout");
static_assert(offsetof(MeasureRecord, pointCount) == 3 * sizeof(void*), "MeasureRecord layout");
static_assert(sizeof(MeasureRecord) == (sizeof(void*) == 4 ? 16 : 32), "MeasureRecord layout");
