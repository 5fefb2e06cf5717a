// Measurement start and stop on the host's thread, and the wait for an acquisition thread's end.
#include "acquisition/AcquisitionControl.h"

#include <cstdint>
#include <new>

#include "link/ConsoleLink.h"
#include "link/ScannerSettings.h"
#include "platform/time.h"
#include "platform/wait.h"
#include "wire/CommandCodes.h"
#include "wire/WireValues.h"

namespace {

constexpr std::uint32_t kScanStartTimeoutMs = 30000;
// A console that died never reports the end of scanning: the stop gives up after as long as
// the start waits for its beginning.
constexpr std::uint32_t kScanEndTimeoutMs = 30000;
constexpr unsigned kScanWaitMs = 10;
constexpr unsigned kSettleMs = 100;
constexpr unsigned kStopPollMs = 10;
constexpr unsigned kThreadEndWaitMs = 2500;
// A stopped thread in the library's own code ends within a cycle or a command, and the unload
// cuts a recovery's waits short. The unload waits for it this long at most.
constexpr unsigned kUnloadThreadWaitMs = 5000;

platform::ThreadProc ProcedureOf(std::int32_t buttonMode) {
  switch (buttonMode) {
    case 0:
      return AcquireSingleShot;
    case 1:
      return AcquireToggled;
    case 2:
      return AcquireScanPasses;
    default:
      return nullptr;
  }
}

// The console's acquisition is switched by the measurement's start and stop unless the passes
// of button mode 2 switch it (the laser with a scanning type).
bool StartAndStopSwitchAcquisition(const AcquisitionParts& parts) {
  return !parts.store.LaserActive() || parts.settings.TypeScanning() == 0;
}

}  // namespace

std::int32_t AcquisitionControl::MeasureStart(MeasureSink* sink) {
  Lifecycle& lifecycle = m_parts.lifecycle;
  MeasurementStore& store = m_parts.store;
  ConsoleLink& link = m_parts.link;
  // Threads stopped earlier, one stopped from its own sink among them, are collected first: at
  // most one thread ever calls the host for a measurement.
  CollectStoppedRuns(kThreadEndWaitMs, platform::WaitPause::kPump);
  if (MeasurementExists()) return 2;
  if (!link.Connected()) return 2;
  if (store.AutoDetect()) {
    unsigned char reply[4] = {};
    CommandOutcome outcome = link.Ask(CMD_SENSOR_QUERY, reply, sizeof reply);
    // The start fails whatever the recovery brings.
    if (outcome == CommandOutcome::kNotSent) static_cast<void>(link.ReconnectAfterFailure());
    if (outcome != CommandOutcome::kAnswered) return 2;
    store.SetLaserActive(GetInt32(reply) != 0);
  }
  link.SendWithRecovery(CMD_SCAN_START);

  // Scanning is reported on the data thread, not as a message: the wait dispatches the host's
  // messages one at a time and otherwise sleeps briefly between looks. A start from a sink call
  // may be waiting when the host unloads the library: the unload cuts the wait short, and the
  // pause after it.
  if (!lifecycle.Wait(platform::Deadline(kScanStartTimeoutMs), platform::WaitPause::kPump,
                      kScanWaitMs, [&store] { return store.ScanRunning(); })) {
    return 2;
  }
  static_cast<void>(lifecycle.Wait(platform::Deadline(kSettleMs), platform::WaitPause::kSleep,
                                   kScanWaitMs, [] { return false; }));
  // A host window procedure run by the wait may have started a measurement of its own; a second
  // thread would go on unseen.
  if (MeasurementExists() || lifecycle.Unloading()) return 2;

  if (StartAndStopSwitchAcquisition(m_parts)) link.SendWithRecovery(CMD_ACQUIRE_START);
  m_sink = sink;
  platform::ThreadProc procedure = ProcedureOf(m_parts.settings.ButtonMode());
  if (procedure == nullptr) return 2;
  auto* run = new (std::nothrow) AcquisitionRun(m_parts, sink);
  if (run == nullptr) return 2;
  ++m_liveRuns;
  // Started suspended: the run has its thread before the thread runs, and is published before the
  // thread's first sink call can stop it. Once the unload has begun no thread starts.
  LibraryThread* thread = lifecycle.StartThread(procedure, run, platform::ThreadStart::kSuspended);
  if (thread == nullptr) {
    delete run;
    --m_liveRuns;
    return 2;
  }
  run->SetThread(thread);
  AcquisitionRun* expected = nullptr;
  if (!m_acquisition.compare_exchange_strong(expected, run)) {
    // Another start won the race: this thread never runs the library's code.
    Withdraw(run);
    return 2;
  }
  // Acquisition runs from here until the stop; a thread without a sink ends at once.
  if (sink != nullptr) store.MeasurementAcquiring(true);
  // The thread runs unless the unload has begun, in one step with the unload's start. Then the
  // unload's stop has taken the run, and ends the thread, which has not begun; or it finds none
  // and waits for this start to give the run back. No thread may run on in a library that is
  // gone.
  if (lifecycle.ResumeUnlessUnloading(thread)) return 0;
  if (sink != nullptr) store.MeasurementAcquiring(false);
  AcquisitionRun* published = run;
  if (m_acquisition.compare_exchange_strong(published, nullptr)) Withdraw(run);
  return 2;
}

std::int32_t AcquisitionControl::MeasureStop() {
  if (!MeasurementExists()) return 1;
  try {
    StopConsole();
  } catch (const std::bad_alloc&) {
    // Memory that ran out in a recovery still stops the thread: no sink call may follow the
    // host's stop, whatever failed before it.
    StopThread();
    throw;
  }
  StopThread();
  return 0;
}

void AcquisitionControl::StopConsole() {
  MeasurementStore& store = m_parts.store;
  ConsoleLink& link = m_parts.link;
  if (store.Acquiring() && StartAndStopSwitchAcquisition(m_parts)) {
    link.SendIgnoringFailure(CMD_ACQUIRE_STOP);
  }
  store.MeasurementAcquiring(false);
  store.ClearConsoleAcquiring();
  // Also a scan that a reconnect during the measurement made the link forget: the console may
  // still be scanning.
  if (link.ScanStopDue()) {
    // A send that fails is lost with the old connection, and the recovery's new link knows
    // nothing of the console's scan: the console is told on the new one, or it scans on.
    if (link.Send(CMD_SCAN_STOP) == CommandOutcome::kNotSent) {
      static_cast<void>(link.ReconnectAfterFailure());
      if (link.Connected()) link.SendIgnoringFailure(CMD_SCAN_STOP);
    }
    store.ScanStopSent();
    // A console that never reports the end leaves the stop to go on after the bound.
    static_cast<void>(m_parts.lifecycle.Wait(platform::Deadline(kScanEndTimeoutMs),
                                             platform::WaitPause::kPump, kStopPollMs,
                                             [&store] { return !store.ScanRunning(); }));
  }
}

void AcquisitionControl::StopThread() {
  m_sink = nullptr;
  // The wait dispatches: a sink that waits for the host's window thread gets its answer.
  StopCurrentRun(kThreadEndWaitMs, platform::WaitPause::kPump);
}

void AcquisitionControl::StopCurrentRun(unsigned waitMs, platform::WaitPause pause) {
  // Whoever takes the run stops it; a second stop, from the sink or the host, finds none.
  AcquisitionRun* run = m_acquisition.exchange(nullptr);
  if (run == nullptr) return;
  run->RequestStop();
  if (!CollectRun(run, waitMs, pause)) KeepStopped(run);
}

void AcquisitionControl::KeepStopped(AcquisitionRun* run) {
  platform::LockGuard guard(m_runsLock);
  run->NextStopped() = m_stoppedRuns;
  m_stoppedRuns = run;
}

AcquisitionRun* AcquisitionControl::TakeStopped() {
  platform::LockGuard guard(m_runsLock);
  AcquisitionRun* runs = m_stoppedRuns;
  m_stoppedRuns = nullptr;
  return runs;
}

void AcquisitionControl::CollectStoppedRuns(unsigned waitMs, platform::WaitPause pause) {
  // Outside the lock: the waits may dispatch the host's messages, which may stop a measurement.
  for (AcquisitionRun* run = TakeStopped(); run != nullptr;) {
    AcquisitionRun* next = run->NextStopped();
    if (!CollectRun(run, waitMs, pause)) KeepStopped(run);
    run = next;
  }
}

bool AcquisitionControl::CollectRun(AcquisitionRun* run, unsigned waitMs, platform::WaitPause pause,
                                    StopMode mode) {
  Lifecycle& lifecycle = m_parts.lifecycle;
  LibraryThread* thread = run->Thread();
  // A thread stopped from its own sink call ends as soon as that call returns; it cannot wait
  // for itself.
  if (Lifecycle::IsCallingThread(thread)) return false;
  // At the end of the process the system has ended it with every other thread.
  bool ended = mode == StopMode::kProcessEnd;
  if (!ended) {
    // One that has not begun never will: it ends as soon as it runs, or at once at the unload.
    static_cast<void>(lifecycle.CancelIfNotBegun(thread));
    // Waiting longer does not end a host's call; the longer waits are for the library's own code.
    if (run->InHost() && waitMs > kThreadEndWaitMs) waitMs = kThreadEndWaitMs;
    ended = lifecycle.WaitThreadEnd(thread, waitMs, pause);
  }
  if (!ended && Lifecycle::CanEndByForce() && run->ClaimForForcedEnd()) {
    // Inside the host's code, where it owns nothing of the library's.
    ended = Lifecycle::EndByForce(thread);
    if (!ended) run->ReleaseClaim();
  }
  // At the unload, inside a call that may wait for the loader lock the unloading thread holds.
  if (!ended && lifecycle.Unloading()) ended = lifecycle.EndInSystemCall(thread);
  // Not inside the host and not ended: it is in the library's own code, which it leaves within
  // a cycle or a command, and calls no sink again. It is collected later.
  if (!ended) return false;
  lifecycle.ReleaseThread(thread);
  delete run;
  --m_liveRuns;
  return true;
}

void AcquisitionControl::Withdraw(AcquisitionRun* run) {
  run->RequestStop();
  if (!CollectRun(run, kThreadEndWaitMs, platform::WaitPause::kPump)) KeepStopped(run);
}

void AcquisitionControl::Stop(StopMode mode) {
  m_sink = nullptr;
  for (;;) {
    AcquisitionRun* runs = TakeStopped();
    if (AcquisitionRun* current = m_acquisition.exchange(nullptr)) {
      current->RequestStop();
      current->NextStopped() = runs;
      runs = current;
    }
    const bool none = runs == nullptr;
    for (AcquisitionRun* run = runs; run != nullptr;) {
      AcquisitionRun* next = run->NextStopped();
      // The unload's wait runs none of the host's code. A thread in the library's own code ends
      // within the bound, its waits cut short; one inside the host's code is ended by force where
      // the platform can. Where it cannot, it returns into the library's code when the host's
      // call ends, and that code and its record must still be there then: the system unmaps the
      // library as soon as the unload is over, whatever references the unload takes, so the
      // unload waits for the host's own call to end.
      while (!CollectRun(run, kUnloadThreadWaitMs, platform::WaitPause::kSleep, mode)) {
      }
      run = next;
    }
    // At the end of the process every other thread has gone: a start that held a run is gone too.
    if (m_liveRuns == 0 || mode == StopMode::kProcessEnd) return;
    // A start from a sink call may still hold runs it is collecting, or give back the one it
    // made: they come back to the list.
    if (none) {
      static_cast<void>(Lifecycle::WaitRegardless(platform::Deadline(kStopPollMs), kStopPollMs,
                                                  [] { return false; }));
    }
  }
}
