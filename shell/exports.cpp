// The twenty exported functions: each reaches the one scanner object through the application
// object, or answers its own fixed value when there is none. Each holds a LibraryEntry for its
// call, since a host's sink may call it from an acquisition thread.
#include <new>

#include "acquisition/AcquisitionThreads.h"
#include "shell/CKvtScannerApp.h"
#include "shell/KvtScannerApi.h"

namespace {
constexpr std::int32_t kNoScanner = 1;
constexpr std::int32_t kFailed = 2;

// Memory that runs out inside an operation reaches the host as the operation's failure, never
// as an exception thrown into the host's code, which a C host cannot even catch.
template <typename Operation>
std::int32_t Answer(std::int32_t failed, Operation operation) {
  try {
    return operation();
  } catch (const std::bad_alloc&) {
    return failed;
  }
}
constexpr std::int32_t kButtonModesWithoutScanner = 0x100000;
constexpr std::int32_t kButtonModesAvailable = 5;
}  // namespace

extern "C" {

KVT_API std::int32_t ButtonModeAvailable() {
  LibraryEntry entry;
  return theApp.m_scanner != nullptr ? kButtonModesAvailable : kButtonModesWithoutScanner;
}

KVT_API std::int32_t ButtonModeGet() {
  LibraryEntry entry;
  KvtScan3DLumora* scanner = theApp.m_scanner;
  return scanner != nullptr ? scanner->ButtonModeGet() : kNoScanner;
}

KVT_API std::int32_t ButtonModeSet(std::int32_t mode) {
  LibraryEntry entry;
  KvtScan3DLumora* scanner = theApp.m_scanner;
  if (scanner == nullptr) return kNoScanner;
  return scanner->ButtonModeSet(mode);
}

KVT_API std::int32_t Config() {
  LibraryEntry entry;
  KvtScan3DLumora* scanner = theApp.m_scanner;
  return scanner != nullptr ? Answer(kFailed, [&] { return scanner->Config(); }) : kNoScanner;
}

KVT_API std::int32_t Connect(std::int32_t mode) {
  LibraryEntry entry;
  KvtScan3DLumora* scanner = theApp.m_scanner;
  return scanner != nullptr ? Answer(kFailed, [&] { return scanner->Connect(mode); }) : kNoScanner;
}

KVT_API std::int32_t DetectGet() {
  LibraryEntry entry;
  KvtScan3DLumora* scanner = theApp.m_scanner;
  return scanner != nullptr ? scanner->DetectGet() : kNoScanner;
}

KVT_API std::int32_t DetectSet(std::int32_t value) {
  LibraryEntry entry;
  KvtScan3DLumora* scanner = theApp.m_scanner;
  if (scanner == nullptr) return kNoScanner;
  return scanner->DetectSet(value);
}

KVT_API std::int32_t GetPluginVersion(void* /*first*/, void* /*second*/) {
  LibraryEntry entry;
  return theApp.m_scanner != nullptr ? 0 : kNoScanner;
}

KVT_API std::int32_t IsConnected() {
  LibraryEntry entry;
  KvtScan3DLumora* scanner = theApp.m_scanner;
  return scanner != nullptr ? scanner->IsConnected() : 0;
}

KVT_API std::int32_t MeasureStart(MeasureSink* sink) {
  LibraryEntry entry;
  KvtScan3DLumora* scanner = theApp.m_scanner;
  return scanner != nullptr ? Answer(kFailed, [&] { return scanner->MeasureStart(sink); })
                            : kNoScanner;
}

KVT_API std::int32_t MeasureStop() {
  LibraryEntry entry;
  KvtScan3DLumora* scanner = theApp.m_scanner;
  return scanner != nullptr ? Answer(kFailed, [&] { return scanner->MeasureStop(); }) : kNoScanner;
}

KVT_API std::int32_t MouseGet() {
  LibraryEntry entry;
  KvtScan3DLumora* scanner = theApp.m_scanner;
  return scanner != nullptr ? scanner->MouseGet() : kNoScanner;
}

KVT_API std::int32_t MouseSet(std::int32_t value) {
  LibraryEntry entry;
  KvtScan3DLumora* scanner = theApp.m_scanner;
  return scanner != nullptr ? Answer(kFailed, [&] { return scanner->MouseSet(value); })
                            : kNoScanner;
}

KVT_API std::int32_t Reset() {
  LibraryEntry entry;
  KvtScan3DLumora* scanner = theApp.m_scanner;
  return scanner != nullptr ? Answer(kFailed, [&] { return scanner->Reset(); }) : kNoScanner;
}

KVT_API std::int32_t SensorGet(std::int32_t* type, double* radius, std::int32_t* kind) {
  LibraryEntry entry;
  KvtScan3DLumora* scanner = theApp.m_scanner;
  return scanner != nullptr
             ? Answer(kFailed, [&] { return scanner->SensorGet(type, radius, kind); })
             : kNoScanner;
}

KVT_API std::int32_t SensorGetList(SensorEntry* entries, std::int32_t unused, std::int32_t* count) {
  LibraryEntry entry;
  KvtScan3DLumora* scanner = theApp.m_scanner;
  return scanner != nullptr
             ? Answer(0, [&] { return scanner->SensorGetList(entries, unused, count); })
             : 0;
}

KVT_API std::int32_t SensorSet(std::int32_t type) {
  LibraryEntry entry;
  KvtScan3DLumora* scanner = theApp.m_scanner;
  return scanner != nullptr ? scanner->SensorSet(type) : 0;
}

KVT_API std::int32_t SetDiameter(float diameter) {
  LibraryEntry entry;
  KvtScan3DLumora* scanner = theApp.m_scanner;
  return scanner != nullptr ? scanner->SetDiameter(diameter) : kNoScanner;
}

KVT_API std::int32_t SoundGet() {
  LibraryEntry entry;
  KvtScan3DLumora* scanner = theApp.m_scanner;
  return scanner != nullptr ? scanner->SoundGet() : 0;
}

KVT_API std::int32_t SoundSet(std::int32_t value) {
  LibraryEntry entry;
  KvtScan3DLumora* scanner = theApp.m_scanner;
  return scanner != nullptr ? Answer(kFailed, [&] { return scanner->SoundSet(value); })
                            : kNoScanner;
}

}  // extern "C"
