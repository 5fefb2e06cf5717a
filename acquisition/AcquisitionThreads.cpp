// The acquisition threads: they poll the scanner object every 10 ms and call the host's sink.
#include "acquisition/AcquisitionThreads.h"

#include <cmath>

#include "link/CommandCodes.h"
#include "link/KvtScan3DLumora.h"
#include "platform/guard.h"
#include "platform/pump.h"
#include "platform/time.h"

namespace {

constexpr unsigned kCycleMs = 10;
constexpr unsigned kDataWaitMs = 20;
constexpr double kMoveThreshold = 0.5;
// A reference this far away makes the next record pass the distance test.
constexpr double kFarAway = 1e38;

// A sink call that threw: the measurement thread ends quietly.
struct SinkFailed {};

// Calls into the host's sink. The guard sits right around the host's code, so that whatever
// this library holds at the call (the measurement lock) is given back on the way out.
template <typename Call>
void CallSink(Call call) {
  if (!platform::callGuarded(call)) throw SinkFailed{};
}

// State of one running thread; nothing survives the thread.
struct Cycle {
  KvtScan3DLumora& scanner;
  double lastPosition[3] = {kFarAway, 0.0, 0.0};
  bool inPass = false;
  std::int32_t prevToggle = 0;
  bool triggerArmed = false;

  explicit Cycle(KvtScan3DLumora& s) : scanner(s) {}

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

  // The host reads the record in place: the data thread cannot rewrite it during the call.
  void AddPass(MeasureSink* sink) {
    platform::LockGuard guard(scanner.m_measureLock);
    CallSink([&] { sink->AddPassMeasure(&scanner.m_measure); });
  }
  void AddFree(MeasureSink* sink) {
    platform::LockGuard guard(scanner.m_measureLock);
    CallSink([&] { sink->AddFreeMeasure(&scanner.m_measure); });
  }
};

// Takes the trigger when it is set: one atomic step, so a press in between is never lost.
bool TakeTrigger(KvtScan3DLumora& scanner) { return scanner.m_triggerToggle.exchange(0) != 0; }

template <typename Decide>
unsigned RunAcquisition(void* argument, bool scanPasses, Decide decide) {
  auto& scanner = *static_cast<KvtScan3DLumora*>(argument);
  MeasureSink* sink = scanner.m_sink;
  if (sink == nullptr) return 0;
  try {
    if (scanPasses) scanner.m_dataReady = false;
    CallSink([&] { sink->BeginMeasure(); });
    scanner.m_triggerToggle = 0;
    if (scanPasses) scanner.m_buttonEvent = 0;
    Cycle cycle(scanner);
    while (scanner.m_sink.load() != nullptr) {
      scanner.m_acquiring = true;
      platform::sleepMs(kCycleMs);
      std::int32_t button = scanner.PollButtonEvent();
      if (button == 2 || button == 3) {
        MeasureSink* current = scanner.m_sink;
        if (current == nullptr) break;
        if (button == 2) {
          CallSink([&] { current->OnButtonEvent2(); });
        } else {
          CallSink([&] { current->OnButtonEvent4(); });
        }
        continue;
      }
      MeasureSink* current = scanner.m_sink;
      if (current == nullptr) break;
      decide(cycle, current);
    }
  } catch (...) {
    // A throwing sink ends the measurement quietly; the host sees the missing calls.
  }
  scanner.m_acquiring = false;
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

std::int32_t KvtScan3DLumora::PollButtonEvent() {
  if (m_detectMode == 0) return 0;
  std::int32_t code = m_buttonEvent.exchange(0);
  if (code != 2 && code != 4) return 0;
  MeasureSink* sink = m_sink;
  if (sink != nullptr) CallSink([&] { sink->NotifyButton(1); });
  return code == 2 ? 2 : 3;
}

unsigned AcquireSingleShot(void* argument) {
  return RunAcquisition(argument, false, [](Cycle& c, MeasureSink* sink) {
    if (!c.inPass && TakeTrigger(c.scanner)) {
      CallSink([&] { sink->BeginPass(); });
      c.AddPass(sink);
      c.inPass = true;
    } else {
      if (c.Moved()) c.AddFree(sink);
      if (c.scanner.m_triggerToggle == 0 && c.inPass) {
        CallSink([&] { sink->EndPass(); });
        c.inPass = false;
      }
    }
    c.KeepPosition();
  });
}

unsigned AcquireToggled(void* argument) {
  return RunAcquisition(argument, false, [](Cycle& c, MeasureSink* sink) {
    std::int32_t toggle = c.scanner.m_triggerToggle;
    if (toggle != 0) {
      if (c.prevToggle != toggle) {
        c.lastPosition[0] = kFarAway;
        CallSink([&] { sink->BeginPass(); });
      }
      if (c.Moved()) c.AddPass(sink);
    } else {
      if (c.prevToggle != 0) CallSink([&] { sink->EndPass(); });
      if (c.Moved()) c.AddFree(sink);
    }
    c.KeepPosition();
    // The value this cycle acted on: a press that lands during the cycle is seen by the next
    // one, not taken as already handled.
    c.prevToggle = toggle;
  });
}

unsigned AcquireScanPasses(void* argument) {
  return RunAcquisition(argument, true, [](Cycle& c, MeasureSink* sink) {
    KvtScan3DLumora& scanner = c.scanner;
    std::int32_t expected = 1;
    if (scanner.m_triggerToggle.compare_exchange_strong(expected, 0)) {
      bool switchAcquisition =
          scanner.m_laserActive != 0 && scanner.m_settingsDialog.m_typeScanning == 1;
      if (c.triggerArmed && c.inPass) {
        if (switchAcquisition) scanner.SendIgnoringFailure(CMD_ACQUIRE_STOP);
        CallSink([&] { sink->EndPass(); });
        c.inPass = false;
      } else if (c.triggerArmed) {
        if (switchAcquisition) scanner.SendWithRecovery(CMD_ACQUIRE_START);
        CallSink([&] { sink->BeginPass(); });
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
      while (!scanner.m_dataReady && scanner.m_sink.load() != nullptr) {
        platform::pumpDispatchOne();
        platform::sleepMs(kDataWaitMs);
      }
      if (scanner.m_sink.load() == nullptr) return;
    }
    if (c.inPass) {
      c.AddPass(sink);
    } else {
      c.AddFree(sink);
    }
    c.KeepPosition();
  });
}
