// The host's 168-byte sensor record, filled by SensorGetList.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Sensor type codes shared with the host.
constexpr int32_t SENSOR_TYPE_AUTOMATIC = 1;
constexpr int32_t SENSOR_TYPE_LASER = 2;
constexpr int32_t SENSOR_TYPE_PROBE = 3;
// Sensor kind codes.
constexpr int32_t SENSOR_KIND_LASER = 4;
constexpr int32_t SENSOR_KIND_PROBE = 1;

constexpr int SENSOR_LABEL_SIZE = 48;

// The padding is spelled out: mingw may align a double in a struct to 4 bytes, and the host's
// layout puts it at offset 8 on every platform.
struct SensorEntry {
  int32_t sensorType;
  int32_t reserved0;
  double probeRadius;
  int32_t sensorKind;
  char label[SENSOR_LABEL_SIZE];
  char reserved1[100];
};

static_assert(offsetof(SensorEntry, sensorType) == 0, "SensorEntry layout");
static_assert(offsetof(SensorEntry, reserved0) == 4, "SensorEntry layout");
static_assert(offsetof(SensorEntry, probeRadius) == 8, "SensorEntry layout");
static_assert(offsetof(SensorEntry, sensorKind) == 16, "SensorEntry layout");
static_assert(offsetof(SensorEntry, label) == 20, "SensorEntry layout");
static_assert(offsetof(SensorEntry, reserved1) == 68, "SensorEntry layout");
static_assert(sizeof(SensorEntry) == 168, "SensorEntry layout");
