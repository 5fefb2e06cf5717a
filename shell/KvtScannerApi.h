// The plug-in's twenty exported functions as a host sees them: C convention, 32-bit results.
// The host-facing headers need only the headers every compiler brings (stdint.h, stddef.h), so a
// host without a C++ standard library, or without any runtime, compiles them too.
#pragma once

#include <stdint.h>

#include "shell/MeasureSink.h"
#include "shell/SensorEntry.h"

#ifndef KVT_API
#define KVT_API
#endif

extern "C" {
KVT_API int32_t ButtonModeAvailable();
KVT_API int32_t ButtonModeGet();
KVT_API int32_t ButtonModeSet(int32_t mode);
KVT_API int32_t Config();
KVT_API int32_t Connect(int32_t mode);
KVT_API int32_t DetectGet();
KVT_API int32_t DetectSet(int32_t value);
KVT_API int32_t GetPluginVersion(void* first, void* second);
KVT_API int32_t IsConnected();
KVT_API int32_t MeasureStart(MeasureSink* sink);
KVT_API int32_t MeasureStop();
KVT_API int32_t MouseGet();
KVT_API int32_t MouseSet(int32_t value);
KVT_API int32_t Reset();
KVT_API int32_t SensorGet(int32_t* type, double* radius, int32_t* kind);
KVT_API int32_t SensorGetList(SensorEntry* entries, int32_t unused, int32_t* count);
KVT_API int32_t SensorSet(int32_t type);
KVT_API int32_t SetDiameter(float diameter);
KVT_API int32_t SoundGet();
KVT_API int32_t SoundSet(int32_t value);
}

// Pointer types for hosts that load the library by path.
namespace kvt {
using ButtonModeAvailableFn = int32_t (*)();
using ButtonModeGetFn = int32_t (*)();
using ButtonModeSetFn = int32_t (*)(int32_t);
using ConfigFn = int32_t (*)();
using ConnectFn = int32_t (*)(int32_t);
using DetectGetFn = int32_t (*)();
using DetectSetFn = int32_t (*)(int32_t);
using GetPluginVersionFn = int32_t (*)(void*, void*);
using IsConnectedFn = int32_t (*)();
using MeasureStartFn = int32_t (*)(MeasureSink*);
using MeasureStopFn = int32_t (*)();
using MouseGetFn = int32_t (*)();
using MouseSetFn = int32_t (*)(int32_t);
using ResetFn = int32_t (*)();
using SensorGetFn = int32_t (*)(int32_t*, double*, int32_t*);
using SensorGetListFn = int32_t (*)(SensorEntry*, int32_t, int32_t*);
using SensorSetFn = int32_t (*)(int32_t);
using SetDiameterFn = int32_t (*)(float);
using SoundGetFn = int32_t (*)();
using SoundSetFn = int32_t (*)(int32_t);
}  // namespace kvt
