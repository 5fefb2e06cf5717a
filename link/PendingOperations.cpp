// Operations whose console traffic is not wired up yet: each answers the failure result.
#include "link/KvtScan3DLumora.h"

std::int32_t KvtScan3DLumora::MeasureStart(MeasureSink*) { return 2; }
std::int32_t KvtScan3DLumora::MeasureStop() { return 2; }
std::int32_t KvtScan3DLumora::SensorGetList(SensorEntry*, std::int32_t, std::int32_t*) { return 2; }
std::int32_t KvtScan3DLumora::SensorGet(std::int32_t*, double*, std::int32_t*) { return 2; }
std::int32_t KvtScan3DLumora::MouseSet(std::int32_t) { return 2; }
std::int32_t KvtScan3DLumora::SoundSet(std::int32_t) { return 2; }
std::int32_t KvtScan3DLumora::Config() { return 2; }
