// The plug-in's twenty exported functions as a host sees them: C convention, 32-bit results.
#pragma once

#include <cstdint>

#include "shell/MeasureSink.h"
#include "shell/SensorEntry.h"

#ifndef KVT_API
#define KVT_API
#endif

extern "C" {
KVT_API std::int32_t ButtonModeAvailable();
KVT_API std::int32_t ButtonModeGet();
KVT_API std::int32_t ButtonModeSet(std::int32_t mode);
KVT_API std::int32_t Config();
KVT_API std::int32_t Connect(std::int32_t mode);
KVT_API std::int32_t DetectGet();
KVT_API std::int32_t DetectSet(std::int32_t value);
KVT_API std::int32_t GetPluginVersion(void* first, void* second);
KVT_API std::int32_t IsConnected();
KVT_API std::int32_t MeasureStart(MeasureSink* sink);
KVT_API std::int32_t MeasureStop();
KVT_API std::int32_t MouseGet();
KVT_API std::int32_t MouseSet(std::int32_t value);
KVT_API std::int32_t Reset();
KVT_API std::int32_t SensorGet(std::int32_t* type, double* radius, std::int32_t* kind);
KVT_API std::int32_t SensorGetList(SensorEntry* entries, std::int32_t unused, std::int32_t* count);
KVT_API std::int32_t SensorSet(std::int32_t type);
KVT_API std::int32_t SetDiameter(float diameter);
KVT_API std::int32_t SoundGet();
KVT_API std::int32_t SoundSet(std::int32_t value);
}

// Pointer types for hosts that load the library by path.
namespace kvt {
using ButtonModeAvailableFn = std::int32_t (*)();
using ButtonModeGetFn = std::int32_t (*)();
using ButtonModeSetFn = std::int32_t (*)(std::int32_t);
using ConfigFn = std::int32_t (*)();
using ConnectFn = std::int32_t (*)(std::int32_t);
using DetectGetFn = std::int32_t (*)();
using DetectSetFn = std::int32_t (*)(std::int32_t);
using GetPluginVersionFn = std::int32_t (*)(void*, void*);
using IsConnectedFn = std::int32_t (*)();
using MeasureStartFn = std::int32_t (*)(MeasureSink*);
using MeasureStopFn = std::int32_t (*)();
using MouseGetFn = std::int32_t (*)();
using MouseSetFn = std::int32_t (*)(std::int32_t);
using ResetFn = std::int32_t (*)();
using SensorGetFn = std::int32_t (*)(std::int32_t*, double*, std::int32_t*);
using SensorGetListFn = std::int32_t (*)(SensorEntry*, std::int32_t, std::int32_t*);
using SensorSetFn = std::int32_t (*)(std::int32_t);
using SetDiameterFn = std::int32_t (*)(float);
using SoundGetFn = std::int32_t (*)();
using SoundSetFn = std::int32_t (*)(std::int32_t);
}  // namespace kvt
