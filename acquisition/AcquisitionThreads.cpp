// The acquisition threads: they poll the measurement store every 10 ms and call the host's sink.
#include "acquisition/AcquisitionThreads.h"

#include <cmath>

#include "link/ConsoleLink.h"
#include "link/ScannerSettings.h"
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
  MeasurementStore& store;
  ScannerSettings& settings;
  double lastPosition[3] = {kFarAway, 0.0, 0.0};
  bool inPass = false;
  std::int32_t prevToggle = 0;
  bool triggerArmed = false;

  explicit Cycle(AcquisitionRun& r)
      : run(r), store(r.Parts().store), settings(r.Parts().settings) {}

  // The position lies at least 0.5 away from the reference (exactly 0.5 counts as moved).
  bool Moved() {
    double position[3];
    store.CopyPosition(position);
    return !WithinDistance(lastPosition, position, kMoveThreshold);
  }
  void KeepPosition() { store.CopyPosition(lastPosition); }

  void AddPass() {
    run.TakeRecord();
    CallSink(run, [&] { run.Sink()->AddPassMeasure(run.Record()); });
  }
  void AddFree() {
    run.TakeRecord();
    CallSink(run, [&] { run.Sink()->AddFreeMeasure(run.Record()); });
  }
  void Call(void (MeasureSink::*operation)()) {
    CallSink(run, [&] { (run.Sink()->*operation)(); });
  }
};

// Once per cycle: 0 nothing to report, 2 or 3 button event code 2 or 4 taken (and announced to
// the sink with NotifyButton(1)).
std::int32_t PollButtonEvent(Cycle& cycle) {
  if (cycle.settings.DetectMode() == 0) return 0;
  std::int32_t code = cycle.store.TakeButtonEvent();
  if (code != 2 && code != 4) return 0;
  CallSink(cycle.run, [&] { cycle.run.Sink()->NotifyButton(1); });
  return code == 2 ? 2 : 3;
}

template <typename Decide>
unsigned RunAcquisition(void* argument, bool scanPasses, Decide decide) {
  auto& run = *static_cast<AcquisitionRun*>(argument);
  MeasurementStore& store = run.Parts().store;
  if (run.Sink() == nullptr) return 0;
  try {
    if (scanPasses) store.ClearDataReady();
    Cycle cycle(run);
    cycle.Call(&MeasureSink::BeginMeasure);
    store.ClearTrigger();
    if (scanPasses) store.ClearButtonEvent();
    while (run.Active()) {
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
      run.NoteCycle();
    }
  } catch (...) {
    // A throwing sink or a stop ends the measurement quietly; the host sees the missing calls.
  }
  // A thread that ends on its own ends the measurement's acquisition. A stopped one leaves that
  // to its stopper, which has done it already: it may end after the next measurement has begun,
  // or after the store is gone (a thread that was inside the host at the unload, on POSIX).
  if (run.EndOnItsOwn()) {
    store.MeasurementAcquiring(false);
    store.ClearConsoleAcquiring();
  }
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
  int current = m_stage.load();
  for (;;) {
    int next = current;
    if (StageOf(current) == kRunning) next = (current & ~kStageMask) | kStopped;
    if (StageOf(current) == kInHost) next = (current & ~kStageMask) | kStoppedInHost;
    if (next == current || m_stage.compare_exchange_weak(current, next)) return;
  }
}

bool AcquisitionRun::Active() const {
  int stage = StageOf(m_stage.load());
  return stage == kRunning || stage == kInHost;
}

bool AcquisitionRun::InHost() const {
  int current = m_stage.load();
  int stage = StageOf(current);
  return !InExport(current) && (stage == kInHost || stage == kStoppedInHost || stage == kForced);
}

bool AcquisitionRun::ClaimForForcedEnd() {
  // Only a thread in the host's own code, not back in the library through an export.
  int expected = kStoppedInHost;
  return m_stage.compare_exchange_strong(expected, kForced);
}

void AcquisitionRun::ReleaseClaim() {
  int expected = kForced;
  m_stage.compare_exchange_strong(expected, kStopped);
}

bool AcquisitionRun::EnterHost() {
  int expected = kRunning;
  return m_stage.compare_exchange_strong(expected, kInHost);
}

void AcquisitionRun::WaitWhileClaimed() {
  // The stopper ends this thread now. Nothing of the library's state is touched until it gives
  // the claim back (when the forced end failed).
  static_cast<void>(Lifecycle::WaitRegardless(platform::Deadline::Never(), kClaimedPollMs,
                                              [this] { return m_stage.load() != kForced; }));
}

bool AcquisitionRun::LeaveHost() {
  int expected = kInHost;
  if (m_stage.compare_exchange_strong(expected, kRunning)) return true;
  if (expected == kStoppedInHost && m_stage.compare_exchange_strong(expected, kStopped)) {
    return false;
  }
  if (expected == kForced) WaitWhileClaimed();
  return false;
}

void AcquisitionRun::EnterLibrary() {
  int current = m_stage.load();
  for (;;) {
    if (current == kForced) {
      WaitWhileClaimed();
      current = m_stage.load();
      continue;
    }
    if (m_stage.compare_exchange_weak(current, current + kDepthUnit)) return;
  }
}

void AcquisitionRun::LeaveLibrary() { m_stage.fetch_sub(kDepthUnit); }

bool AcquisitionRun::EndOnItsOwn() {
  int expected = kRunning;
  return m_stage.compare_exchange_strong(expected, kEnded);
}

AcquisitionRun* AcquisitionRun::OfCallingThread(Lifecycle& lifecycle) {
  LibraryThread* thread = lifecycle.CallingThread();
  return thread != nullptr ? static_cast<AcquisitionRun*>(thread->Context()) : nullptr;
}

void AcquisitionRun::TakeRecord() {
  m_record.pointCount = m_parts.store.CopyMessage(m_position, m_direction, m_points);
}

unsigned AcquireSingleShot(void* argument) {
  return RunAcquisition(argument, false, [](Cycle& c) {
    if (!c.inPass && c.store.TakeTrigger()) {
      c.Call(&MeasureSink::BeginPass);
      c.AddPass();
      c.inPass = true;
    } else {
      if (c.Moved()) c.AddFree();
      if (c.store.TriggerToggle() == 0 && c.inPass) {
        c.Call(&MeasureSink::EndPass);
        c.inPass = false;
      }
    }
    c.KeepPosition();
  });
}

unsigned AcquireToggled(void* argument) {
  return RunAcquisition(argument, false, [](Cycle& c) {
    std::int32_t toggle = c.store.TriggerToggle();
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
    ConsoleLink& link = c.run.Parts().link;
    if (c.store.TakeTrigger()) {
      bool switchAcquisition = c.store.LaserActive() && c.settings.TypeScanning() == 1;
      if (c.triggerArmed && c.inPass) {
        if (switchAcquisition) link.SendIgnoringFailure(CMD_ACQUIRE_STOP);
        c.Call(&MeasureSink::EndPass);
        c.inPass = false;
      } else if (c.triggerArmed) {
        if (switchAcquisition) link.SendWithRecovery(CMD_ACQUIRE_START);
        c.Call(&MeasureSink::BeginPass);
        c.lastPosition[0] = kFarAway;
        c.inPass = true;
      }
      c.triggerArmed = false;
    } else {
      c.triggerArmed = true;
    }
    if (!c.Moved()) return;
    if (c.store.LaserActive()) {
      // Hold back the records before the data channel's first delivery; give up when the
      // measurement is being stopped, or the library unloaded.
      static_cast<void>(c.run.Parts().lifecycle.Wait(
          platform::Deadline::Never(), platform::WaitPause::kPump, kDataWaitMs,
          [&] { return c.store.DataReady() || !c.run.Active(); }));
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
