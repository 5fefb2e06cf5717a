// A host built the way Windows hosts are: Microsoft's C++ ABI (clang-cl for i686-pc-windows-msvc
// and x86_64-pc-windows-msvc, linked by lld-link), its sink derived from the plug-in's
// MeasureSink, its calls through the header a host vendor gets. It has no C or C++ runtime, only
// the system's kernel32 (System.h): so no exceptions, no type information, no static objects with
// constructors.
//
// It loads the plug-in, connects, measures in button mode 2 until the console's scripted button
// presses have opened and closed a pass, stops, disconnects and unloads, and checks every record
// it was handed on the way: the pose, the direction, the count and points of each stripe (the
// simulator's stamped stripes), one acquisition thread, and no call after MeasureStop.
// Usage: msvc-host LIBRARY [SECONDS], SECONDS bounding the wait for the pass (default 30).
#include "examples/msvc-host/System.h"
#include "shell/KvtScannerApi.h"

namespace {

// The simulator's stamped stripe number n: the sensor at (n, -150 sin 15°, 150 cos 15°) looking
// along (0, sin 15°, -cos 15°), point i at (n, i, 0).
constexpr double kSin15 = 0.25881904510252074;
constexpr double kCos15 = 0.96592582628906831;
constexpr double kStandoff = 150.0;
constexpr double kPoseTolerance = 1e-3;       // the pose travels as 32-bit floats
constexpr double kDirectionTolerance = 1e-5;  // the direction is turned from float angles

double Distance(double a, double b) { return a > b ? a - b : b - a; }

// Called on the plug-in's acquisition thread, one call at a time; the host's thread reads the
// results only after MeasureStop has returned. Each record is checked during its call, as it is
// valid only then.
class CheckingSink final : public MeasureSink {
 public:
  void OnButtonEvent2() override { Called(); }
  void OnButtonEvent4() override { Called(); }
  void BeginMeasure() override {
    Called();
    beginMeasures += 1;
  }
  void AddPassMeasure(MeasureRecord* record) override {
    Called();
    if (!inPass) errors.Add("a pass record outside a pass");
    passRecords += 1;
    Check(record);
  }
  void BeginPass() override {
    Called();
    if (inPass) errors.Add("BeginPass inside a pass");
    inPass = true;
  }
  void EndPass() override {
    Called();
    if (!inPass) errors.Add("EndPass without a pass");
    inPass = false;
    passesEnded += 1;
    SetEvent(passEnded);
  }
  void AddFreeMeasure(MeasureRecord* record) override {
    Called();
    freeRecords += 1;
    Check(record);
  }
  void NotifyButton(int32_t /*button*/) override { Called(); }

  // Counts a call after the host's MeasureStop returned; the host sets it once that returns.
  volatile long stopped = 0;
  void* passEnded = nullptr;

  struct Errors {
    int count = 0;
    const char* first = nullptr;
    void Add(const char* what) {
      if (count++ == 0) first = what;
    }
  } errors;
  int calls = 0;
  int beginMeasures = 0;
  int passesEnded = 0;
  int passRecords = 0;
  int freeRecords = 0;
  long long points = 0;
  int pointsPerStripe = 0;
  int lastStripe = 0;
  unsigned long thread = 0;
  bool inPass = false;

 private:
  void Called() {
    if (__atomic_load_n(&stopped, __ATOMIC_ACQUIRE) != 0)
      errors.Add("a sink call after MeasureStop");
    if (calls++ == 0) {
      thread = GetCurrentThreadId();
      if (beginMeasures != 0) errors.Add("a call before BeginMeasure");
    } else if (GetCurrentThreadId() != thread) {
      errors.Add("sink calls from more than one thread");
    }
  }

  void Check(const MeasureRecord* record) {
    const int count = record->pointCount;
    if (count <= 0 || record->position == nullptr || record->direction == nullptr ||
        record->points == nullptr) {
      errors.Add("a record without a pose or points");
      return;
    }
    // Every stripe has the same number of points, and no record is of an older stripe than the
    // last (a pass's first record may repeat the stripe of the free record before it).
    if (pointsPerStripe == 0) pointsPerStripe = count;
    if (count != pointsPerStripe) errors.Add("stripes of different point counts");
    const double* position = record->position;
    const int stripe = static_cast<int>(position[0]);
    if (static_cast<double>(stripe) != position[0] || stripe < lastStripe) {
      errors.Add("a pose that is not a stripe's, or an older stripe's");
    }
    lastStripe = stripe;
    if (Distance(position[1], -kStandoff * kSin15) > kPoseTolerance ||
        Distance(position[2], kStandoff * kCos15) > kPoseTolerance) {
      errors.Add("a position off the sensor's");
    }
    const double* direction = record->direction;
    if (Distance(direction[0], 0.0) > kDirectionTolerance ||
        Distance(direction[1], kSin15) > kDirectionTolerance ||
        Distance(direction[2], -kCos15) > kDirectionTolerance) {
      errors.Add("a direction off the sensor's");
    }
    for (int i = 0; i < count; ++i) {
      const double* point = record->points + 3 * i;
      if (point[0] != position[0] || point[1] != static_cast<double>(i) || point[2] != 0.0) {
        errors.Add("a point of another stripe, or out of its place");
        break;
      }
    }
    points += count;
  }
};

template <typename Fn>
Fn Resolve(void* library, const char* name, bool* ok) {
  void* address = GetProcAddress(library, name);
  if (address == nullptr) {
    Print("msvc-host: no export ");
    Print(name);
    Print("\n");
    *ok = false;
  }
  return reinterpret_cast<Fn>(address);
}

int Fail(const char* what, void* library) {
  Print("msvc-host: ");
  Print(what);
  Print("\n");
  if (library != nullptr) FreeLibrary(library);
  return 1;
}

int Run() {
  char library[1024];
  char seconds[16];
  if (!Argument(1, library, sizeof library)) {
    Print("usage: msvc-host LIBRARY [SECONDS]\n");
    return 2;
  }
  unsigned long waitMs = 30000;
  if (Argument(2, seconds, sizeof seconds)) waitMs = ParseUnsigned(seconds) * 1000;

  void* plugin = LoadLibraryA(library);
  if (plugin == nullptr) return Fail("cannot load the plug-in", nullptr);
  bool ok = true;
  auto connect = Resolve<kvt::ConnectFn>(plugin, "Connect", &ok);
  auto sensorSet = Resolve<kvt::SensorSetFn>(plugin, "SensorSet", &ok);
  auto buttonModeSet = Resolve<kvt::ButtonModeSetFn>(plugin, "ButtonModeSet", &ok);
  auto buttonModeGet = Resolve<kvt::ButtonModeGetFn>(plugin, "ButtonModeGet", &ok);
  auto measureStart = Resolve<kvt::MeasureStartFn>(plugin, "MeasureStart", &ok);
  auto measureStop = Resolve<kvt::MeasureStopFn>(plugin, "MeasureStop", &ok);
  if (!ok) return Fail("the plug-in lacks exports", plugin);

  if (connect(1) != 0) return Fail("Connect(1) failed", plugin);
  sensorSet(SENSOR_TYPE_LASER);
  buttonModeSet(2);
  if (buttonModeGet() != 2) return Fail("ButtonModeGet does not answer 2", plugin);

  CheckingSink sink;
  sink.passEnded = CreateEventA(nullptr, 1, 0, nullptr);
  if (measureStart(&sink) != 0) {
    connect(0);
    return Fail("MeasureStart failed", plugin);
  }
  // The console's script opens a pass with its first button press and closes it with its second.
  const bool passEnded = WaitForSingleObject(sink.passEnded, waitMs) == 0;
  const int stopResult = measureStop();
  __atomic_store_n(&sink.stopped, 1, __ATOMIC_RELEASE);
  connect(0);
  FreeLibrary(plugin);
  CloseHandle(sink.passEnded);

  if (!passEnded) sink.errors.Add("no pass ended within the wait");
  if (stopResult != 0) sink.errors.Add("MeasureStop did not answer 0");
  if (sink.beginMeasures != 1) sink.errors.Add("not exactly one BeginMeasure");
  if (sink.passRecords == 0) sink.errors.Add("no record in the pass");
  if (sink.thread == GetCurrentThreadId()) sink.errors.Add("sink calls on the host's thread");

  const int records = sink.passRecords + sink.freeRecords;
  Print("records ");
  PrintNumber(records);
  Print(" points ");
  PrintNumber(sink.points);
  Print(" passes ");
  PrintNumber(sink.passesEnded);
  Print(" (in pass ");
  PrintNumber(sink.passRecords);
  Print(", ");
  PrintNumber(sink.pointsPerStripe);
  Print(" points a stripe, last stripe ");
  PrintNumber(sink.lastStripe);
  Print("), sink calls ");
  PrintNumber(sink.calls);
  Print("\n");
  if (sink.errors.count != 0) {
    Print("msvc-host: ");
    PrintNumber(sink.errors.count);
    Print(" failed checks, the first: ");
    Print(sink.errors.first);
    Print("\n");
    return 1;
  }
  Print(
      "checked: the pose, direction, count and points of every stripe; one acquisition "
      "thread; no sink call after MeasureStop\n");
  return 0;
}

}  // namespace

// The program's entry point, in place of a C runtime's.
extern "C" void HostMain() { ExitProcess(static_cast<unsigned>(Run())); }
