// The acquisition threads: they poll the scanner object every 10 ms and call the host's sink.
#include "acquisition/AcquisitionThreads.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "platform/guard.h"
#include "platform/time.h"
#include "platform/wait.h"
#include "wire/CommandCodes.h"

namespace {

constexpr unsigned kCycleMs = 10;
constexpr unsigned kDataWaitMs = 20;
constexpr double kMoveThreshold = 0.5;
// A reference this far away makes the next record pass the distance test.
constexpr double kFarAway = 1e38;
// How often a thread claimed for a forced end looks whether the claim was given back.
constexpr unsigned kClaimedPollMs = 1;

// The measurement thread ends quietly: a sink call threw, or a stop was asked for.
struct EndOfRun {};

// Calls into the host's sink. Nothing of the library is held during the call: the guard sits
// right around the host's code, and the record it may read is the thread's own copy.
template <typename Call>
void CallSink(AcquisitionRun& run, Call call) {
  if (!run.EnterHost()) throw EndOfRun{};
  bool returned = platform::callGuarded(call);
  if (!run.LeaveHost() || !returned) throw EndOfRun{};
}

// State of one running thread's cycles; nothing survives the thread.
struct Cycle {
  AcquisitionRun& run;
  KvtScan3DLumora& scanner;
  double lastPosition[3] = {kFarAway, 0.0, 0.0};
  bool inPass = false;
  std::int32_t prevToggle = 0;
  bool triggerArmed = false;

  explicit Cycle(AcquisitionRun& r) : run(r), scanner(r.scanner) {}

  void Position(double out[3]) {
    platform::LockGuard guard(scanner.m_measureLock);
    out[0] = scanner.m_position[0];
    out[1] = scanner.m_position[1];
    out[2] = scanner.m_position[2];
  }
  // The position lies at least 0.5 away from the reference (exactly 0.5 counts as moved).
  bool Moved() {
    double position[3];
    Position(position);
    return !WithinDistance(lastPosition, position, kMoveThreshold);
  }
  void KeepPosition() { Position(lastPosition); }

  void AddPass() {
    run.TakeRecord();
    CallSink(run, [&] { run.sink->AddPassMeasure(&run.record); });
  }
  void AddFree() {
    run.TakeRecord();
    CallSink(run, [&] { run.sink->AddFreeMeasure(&run.record); });
  }
  void Call(void (MeasureSink::*operation)()) {
    CallSink(run, [&] { (run.sink->*operation)(); });
  }
};

// Takes the trigger when it is set: one atomic step, so a press in between is never lost.
bool TakeTrigger(KvtScan3DLumora& scanner) { return scanner.m_triggerToggle.exchange(0) != 0; }

// Once per cycle: 0 nothing to report, 2 or 3 button event code 2 or 4 taken (and announced to
// the sink with NotifyButton(1)).
std::int32_t PollButtonEvent(Cycle& cycle) {
  KvtScan3DLumora& scanner = cycle.scanner;
  if (scanner.m_detectMode == 0) return 0;
  std::int32_t code = scanner.m_buttonEvent.exchange(0);
  if (code != 2 && code != 4) return 0;
  CallSink(cycle.run, [&] { cycle.run.sink->NotifyButton(1); });
  return code == 2 ? 2 : 3;
}

template <typename Decide>
unsigned RunAcquisition(void* argument, bool scanPasses, Decide decide) {
  auto& run = *static_cast<AcquisitionRun*>(argument);
  KvtScan3DLumora& scanner = run.scanner;
  if (run.sink == nullptr) return 0;
  try {
    if (scanPasses) scanner.m_dataReady = false;
    Cycle cycle(run);
    cycle.Call(&MeasureSink::BeginMeasure);
    scanner.m_triggerToggle = 0;
    if (scanPasses) scanner.m_buttonEvent = 0;
    while (run.Active()) {
      scanner.m_acquiring = true;
      platform::sleepMs(kCycleMs);
      if (!run.Active()) break;
      std::int32_t button = PollButtonEvent(cycle);
      if (button == 2) {
        cycle.Call(&MeasureSink::OnButtonEvent2);
      } else if (button == 3) {
        cycle.Call(&MeasureSink::OnButtonEvent4);
      } else {
        decide(cycle);
      }
      run.cyclesDone.fetch_add(1);
    }
  } catch (...) {
    // A throwing sink or a stop ends the measurement quietly; the host sees the missing calls.
  }
  // A stopped thread leaves the flag to its stopper, which has cleared it: it may end after the
  // next measurement's thread has raised it, or after the object is gone (a thread that was
  // inside the host at the unload, on POSIX).
  if (run.Active()) scanner.m_acquiring = false;
  return 0;
}

}  // namespace

bool WithinDistance(const double a[3], const double b[3], double threshold) {
  double dx = a[0] - b[0];
  double dy = a[1] - b[1];
  double dz = a[2] - b[2];
  if (std::isnan(dx) || std::isnan(dy) || std::isnan(dz) || std::isnan(threshold)) return false;
  double squared = dx * dx + dy * dy + dz * dz;
  if (threshold != 0.0) return squared < threshold * threshold;
  return squared < 1e-10;
}

void AcquisitionRun::RequestStop() {
  int current = stage.load();
  for (;;) {
    int next = current;
    if (current == kRunning) next = kStopped;
    if (current == kInHost) next = kStoppedInHost;
    if (next == current || stage.compare_exchange_weak(current, next)) return;
  }
}

bool AcquisitionRun::Active() const {
  int current = stage.load();
  return current == kRunning || current == kInHost;
}

bool AcquisitionRun::InHost() const {
  int current = stage.load();
  return current == kInHost || current == kStoppedInHost || current == kForced;
}

bool AcquisitionRun::ClaimForForcedEnd() {
  int expected = kStoppedInHost;
  return stage.compare_exchange_strong(expected, kForced);
}

void AcquisitionRun::ReleaseClaim() {
  int expected = kForced;
  stage.compare_exchange_strong(expected, kStopped);
}

bool AcquisitionRun::EnterHost() {
  int expected = kRunning;
  return stage.compare_exchange_strong(expected, kInHost);
}

bool AcquisitionRun::LeaveHost() {
  int expected = kInHost;
  if (stage.compare_exchange_strong(expected, kRunning)) return true;
  if (expected == kStoppedInHost && stage.compare_exchange_strong(expected, kStopped)) {
    return false;
  }
  // Claimed for a forced end: the stopper ends this thread now. Nothing of the library's state
  // is touched until it gives the claim back (when the forced end failed).
  platform::WaitUntil(platform::Deadline::Never(), platform::WaitPause::kSleep, kClaimedPollMs,
                      [this] { return stage.load() != kForced; });
  return false;
}

void AcquisitionRun::TakeRecord() {
  platform::LockGuard guard(scanner.m_measureLock);
  int count = std::clamp<int>(scanner.m_measure.pointCount, 0, POINT_CAPACITY);
  std::memcpy(position, scanner.m_position, sizeof position);
  std::memcpy(direction, scanner.m_direction, sizeof direction);
  std::memcpy(points, scanner.m_points, sizeof points[0] * static_cast<std::size_t>(count));
  record.pointCount = count;
}

unsigned AcquireSingleShot(void* argument) {
  return RunAcquisition(argument, false, [](Cycle& c) {
    if (!c.inPass && TakeTrigger(c.scanner)) {
      c.Call(&MeasureSink::BeginPass);
      c.AddPass();
      c.inPass = true;
    } else {
      if (c.Moved()) c.AddFree();
      if (c.scanner.m_triggerToggle == 0 && c.inPass) {
        c.Call(&MeasureSink::EndPass);
        c.inPass = false;
      }
    }
    c.KeepPosition();
  });
}

unsigned AcquireToggled(void* argument) {
  return RunAcquisition(argument, false, [](Cycle& c) {
    std::int32_t toggle = c.scanner.m_triggerToggle;
    if (toggle != 0) {
      if (c.prevToggle != toggle) {
        c.lastPosition[0] = kFarAway;
        c.Call(&MeasureSink::BeginPass);
      }
      if (c.Moved()) c.AddPass();
    } else {
      if (c.prevToggle != 0) c.Call(&MeasureSink::EndPass);
      if (c.Moved()) c.AddFree();
    }
    c.KeepPosition();
    // The value this cycle acted on: a press that lands during the cycle is seen by the next
    // one, not taken as already handled.
    c.prevToggle = toggle;
  });
}

unsigned AcquireScanPasses(void* argument) {
  return RunAcquisition(argument, true, [](Cycle& c) {
    KvtScan3DLumora& scanner = c.scanner;
    std::int32_t expected = 1;
    if (scanner.m_triggerToggle.compare_exchange_strong(expected, 0)) {
      bool switchAcquisition =
          scanner.m_laserActive != 0 && scanner.m_settingsDialog.m_typeScanning == 1;
      if (c.triggerArmed && c.inPass) {
        if (switchAcquisition) scanner.SendIgnoringFailure(CMD_ACQUIRE_STOP);
        c.Call(&MeasureSink::EndPass);
        c.inPass = false;
      } else if (c.triggerArmed) {
        if (switchAcquisition) scanner.SendWithRecovery(CMD_ACQUIRE_START);
        c.Call(&MeasureSink::BeginPass);
        c.lastPosition[0] = kFarAway;
        c.inPass = true;
      }
      c.triggerArmed = false;
    } else {
      c.triggerArmed = true;
    }
    if (!c.Moved()) return;
    if (scanner.m_laserActive != 0) {
      // Hold back the records before the data channel's first delivery; give up when the
      // measurement is being stopped.
      platform::WaitUntil(platform::Deadline::Never(), platform::WaitPause::kPump, kDataWaitMs,
                          [&] { return scanner.m_dataReady || !c.run.Active(); });
      if (!c.run.Active()) return;
    }
    if (c.inPass) {
      c.AddPass();
    } else {
      c.AddFree();
    }
    c.KeepPosition();
  });
}
