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

// The scanner object's lifecycle, for the export's LibraryEntry; null without a scanner object.
Lifecycle* LifecycleOf(KvtScan3DLumora* scanner) {
  return scanner != nullptr ? &scanner->LifecycleOfLoad() : nullptr;
}
}  // namespace

extern "C" {

KVT_API std::int32_t ButtonModeAvailable() {
  KvtScan3DLumora* scanner = theApp.m_scanner;
  LibraryEntry entry(LifecycleOf(scanner));
  return scanner != nullptr ? kButtonModesAvailable : kButtonModesWithoutScanner;
}

KVT_API std::int32_t ButtonModeGet() {
  KvtScan3DLumora* scanner = theApp.m_scanner;
  LibraryEntry entry(LifecycleOf(scanner));
  return scanner != nullptr ? scanner->ButtonModeGet() : kNoScanner;
}

KVT_API std::int32_t ButtonModeSet(std::int32_t mode) {
  KvtScan3DLumora* scanner = theApp.m_scanner;
  LibraryEntry entry(LifecycleOf(scanner));
  if (scanner == nullptr) return kNoScanner;
  return scanner->ButtonModeSet(mode);
}

KVT_API std::int32_t Config() {
  KvtScan3DLumora* scanner = theApp.m_scanner;
  LibraryEntry entry(LifecycleOf(scanner));
  return scanner != nullptr ? Answer(kFailed, [&] { return scanner->Config(); }) : kNoScanner;
}

KVT_API std::int32_t Connect(std::int32_t mode) {
  KvtScan3DLumora* scanner = theApp.m_scanner;
  LibraryEntry entry(LifecycleOf(scanner));
  return scanner != nullptr ? Answer(kFailed, [&] { return scanner->Connect(mode); }) : kNoScanner;
}

KVT_API std::int32_t DetectGet() {
  KvtScan3DLumora* scanner = theApp.m_scanner;
  LibraryEntry entry(LifecycleOf(scanner));
  return scanner != nullptr ? scanner->DetectGet() : kNoScanner;
}

KVT_API std::int32_t DetectSet(std::int32_t value) {
  KvtScan3DLumora* scanner = theApp.m_scanner;
  LibraryEntry entry(LifecycleOf(scanner));
  if (scanner == nullptr) return kNoScanner;
  return scanner->DetectSet(value);
}

KVT_API std::int32_t GetPluginVersion(void* /*first*/, void* /*second*/) {
  KvtScan3DLumora* scanner = theApp.m_scanner;
  LibraryEntry entry(LifecycleOf(scanner));
  return scanner != nullptr ? 0 : kNoScanner;
}

KVT_API std::int32_t IsConnected() {
  KvtScan3DLumora* scanner = theApp.m_scanner;
  LibraryEntry entry(LifecycleOf(scanner));
  return scanner != nullptr ? scanner->IsConnected() : 0;
}

KVT_API std::int32_t MeasureStart(MeasureSink* sink) {
  KvtScan3DLumora* scanner = theApp.m_scanner;
  LibraryEntry entry(LifecycleOf(scanner));
  return scanner != nullptr ? Answer(kFailed, [&] { return scanner->MeasureStart(sink); })
                            : kNoScanner;
}

KVT_API std::int32_t MeasureStop() {
  KvtScan3DLumora* scanner = theApp.m_scanner;
  LibraryEntry entry(LifecycleOf(scanner));
  return scanner != nullptr ? Answer(kFailed, [&] { return scanner->MeasureStop(); }) : kNoScanner;
}

KVT_API std::int32_t MouseGet() {
  KvtScan3DLumora* scanner = theApp.m_scanner;
  LibraryEntry entry(LifecycleOf(scanner));
  return scanner != nullptr ? scanner->MouseGet() : kNoScanner;
}

KVT_API std::int32_t MouseSet(std::int32_t value) {
  KvtScan3DLumora* scanner = theApp.m_scanner;
  LibraryEntry entry(LifecycleOf(scanner));
  return scanner != nullptr ? Answer(kFailed, [&] { return scanner->MouseSet(value); })
                            : kNoScanner;
}

KVT_API std::int32_t Reset() {
  KvtScan3DLumora* scanner = theApp.m_scanner;
  LibraryEntry entry(LifecycleOf(scanner));
  return scanner != nullptr ? Answer(kFailed, [&] { return scanner->Reset(); }) : kNoScanner;
}

KVT_API std::int32_t SensorGet(std::int32_t* type, double* radius, std::int32_t* kind) {
  KvtScan3DLumora* scanner = theApp.m_scanner;
  LibraryEntry entry(LifecycleOf(scanner));
  return scanner != nullptr
             ? Answer(kFailed, [&] { return scanner->SensorGet(type, radius, kind); })
             : kNoScanner;
}

KVT_API std::int32_t SensorGetList(SensorEntry* entries, std::int32_t unused, std::int32_t* count) {
  KvtScan3DLumora* scanner = theApp.m_scanner;
  LibraryEntry entry(LifecycleOf(scanner));
  return scanner != nullptr
             ? Answer(0, [&] { return scanner->SensorGetList(entries, unused, count); })
             : 0;
}

KVT_API std::int32_t SensorSet(std::int32_t type) {
  KvtScan3DLumora* scanner = theApp.m_scanner;
  LibraryEntry entry(LifecycleOf(scanner));
  return scanner != nullptr ? scanner->SensorSet(type) : 0;
}

KVT_API std::int32_t SetDiameter(float diameter) {
  KvtScan3DLumora* scanner = theApp.m_scanner;
  LibraryEntry entry(LifecycleOf(scanner));
  return scanner != nullptr ? scanner->SetDiameter(diameter) : kNoScanner;
}

KVT_API std::int32_t SoundGet() {
  KvtScan3DLumora* scanner = theApp.m_scanner;
  LibraryEntry entry(LifecycleOf(scanner));
  return scanner != nullptr ? scanner->SoundGet() : 0;
}

KVT_API std::int32_t SoundSet(std::int32_t value) {
  KvtScan3DLumora* scanner = theApp.m_scanner;
  LibraryEntry entry(LifecycleOf(scanner));
  return scanner != nullptr ? Answer(kFailed, [&] { return scanner->SoundSet(value); })
                            : kNoScanner;
}

}  // extern "C"
