// A minimal C++ host: loads the plug-in, connects, measures for a few seconds with a sink that
// counts what it receives, stops, disconnects and unloads. Usage: cpp-host LIBRARY [SECONDS]
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "shell/KvtScannerApi.h"

#ifdef _WIN32
// A host is an ordinary program of its platform; only the library loading differs.
#include <windows.h>
static void* LoadPlugin(const char* path) { return LoadLibraryA(path); }
static void* Export(void* library, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}
static void UnloadPlugin(void* library) { FreeLibrary(static_cast<HMODULE>(library)); }
#else
#include <dlfcn.h>
static void* LoadPlugin(const char* path) { return dlopen(path, RTLD_NOW | RTLD_LOCAL); }
static void* Export(void* library, const char* name) { return dlsym(library, name); }
static void UnloadPlugin(void* library) { dlclose(library); }
#endif

namespace {

// Called on the plug-in's acquisition thread. Each record is valid only during its call: copy
// what you keep before returning, and return quickly.
class CountingSink : public MeasureSink {
 public:
  void OnButtonEvent2() override {}
  void OnButtonEvent4() override {}
  void BeginMeasure() override {}
  void AddPassMeasure(MeasureRecord* record) override { Add(record); }
  void BeginPass() override {}
  void EndPass() override {}
  void AddFreeMeasure(MeasureRecord* record) override { Add(record); }
  void NotifyButton(std::int32_t /*button*/) override {}

  std::atomic<long> records{0};
  std::atomic<long> points{0};
  std::atomic<double> lastZ{0.0};

 private:
  void Add(const MeasureRecord* record) {
    records += 1;
    points += record->pointCount;
    if (record->pointCount > 0) lastZ = record->points[3 * (record->pointCount - 1) + 2];
  }
};

template <typename Fn>
Fn Resolve(void* library, const char* name) {
  auto* address = Export(library, name);
  if (address == nullptr) {
    std::fprintf(stderr, "cpp-host: no export %s\n", name);
    std::exit(3);
  }
  return reinterpret_cast<Fn>(address);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: cpp-host LIBRARY [SECONDS]\n");
    return 2;
  }
  const int seconds = argc > 2 ? std::atoi(argv[2]) : 3;
  void* library = LoadPlugin(argv[1]);
  if (library == nullptr) {
    std::fprintf(stderr, "cpp-host: cannot load %s\n", argv[1]);
    return 3;
  }
  auto connect = Resolve<kvt::ConnectFn>(library, "Connect");
  auto sensorSet = Resolve<kvt::SensorSetFn>(library, "SensorSet");
  auto buttonModeSet = Resolve<kvt::ButtonModeSetFn>(library, "ButtonModeSet");
  auto measureStart = Resolve<kvt::MeasureStartFn>(library, "MeasureStart");
  auto measureStop = Resolve<kvt::MeasureStopFn>(library, "MeasureStop");

  // Connect(1) starts the console from the folder the registry names when it does not run.
  if (connect(1) != 0) {
    std::fprintf(stderr, "cpp-host: Connect(1) failed\n");
    UnloadPlugin(library);
    return 4;
  }
  sensorSet(SENSOR_TYPE_LASER);
  buttonModeSet(0);  // records outside passes whenever the sensor moves
  CountingSink sink;
  if (measureStart(&sink) != 0) {
    std::fprintf(stderr, "cpp-host: MeasureStart failed\n");
    connect(0);
    UnloadPlugin(library);
    return 5;
  }
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  // Once MeasureStop has returned no sink call runs any more; the sink may go after it.
  measureStop();
  connect(0);
  UnloadPlugin(library);
  std::printf("records %ld points %ld last z %.3f\n", sink.records.load(), sink.points.load(),
              sink.lastZ.load());
  return sink.points > 0 ? 0 : 1;
}
