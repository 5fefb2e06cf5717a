// Measurement start and stop on the host's thread, and the wait for an acquisition thread's end.
#include <cstdint>
#include <new>
#include <vector>

#include "acquisition/AcquisitionThreads.h"
#include "link/KvtScan3DLumora.h"
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
// A stopped thread in the library's own code ends within a cycle or a command; one inside a
// recovery may take its time-outs. The unload waits for it this long at most.
constexpr unsigned kUnloadThreadWaitMs = 15000;

}  // namespace

std::int32_t KvtScan3DLumora::MeasureStart(MeasureSink* sink) {
  // Threads stopped earlier, one stopped from its own sink among them, are collected first: at
  // most one thread ever calls the host for a measurement.
  CollectStoppedRuns(kThreadEndWaitMs);
  if (m_acquisition != nullptr) return 2;
  if (m_connected == 0) return 2;
  if (m_autoDetect != 0) {
    unsigned char reply[4] = {};
    CommandOutcome outcome = m_commands.Exchange(CMD_SENSOR_QUERY, nullptr, reply, sizeof reply);
    if (outcome == CommandOutcome::kNotSent) ReconnectAfterFailure();
    if (outcome != CommandOutcome::kAnswered) return 2;
    m_laserActive = GetInt32(reply) != 0 ? 1 : 0;
  }
  SendWithRecovery(CMD_SCAN_START);

  // Scanning is reported on the data thread, not as a message: the wait dispatches the host's
  // messages one at a time and otherwise sleeps briefly between looks.
  if (!platform::WaitUntil(platform::Deadline(kScanStartTimeoutMs), platform::WaitPause::kPump,
                           kScanWaitMs, [this] { return m_scanRunning.load(); })) {
    return 2;
  }
  platform::sleepMs(kSettleMs);
  // A host window procedure run by the wait may have started a measurement of its own; a second
  // thread would go on unseen.
  if (m_acquisition != nullptr) return 2;

  if (m_laserActive == 0 || m_settingsDialog.m_typeScanning == 0) {
    SendWithRecovery(CMD_ACQUIRE_START);
  }
  m_sink = sink;
  platform::ThreadProc procedure = nullptr;
  switch (m_buttonMode) {
    case 0:
      procedure = AcquireSingleShot;
      break;
    case 1:
      procedure = AcquireToggled;
      break;
    case 2:
      procedure = AcquireScanPasses;
      break;
    default:
      return 2;
  }
  auto* run = new (std::nothrow) AcquisitionRun(*this, sink);
  if (run == nullptr) return 2;
  // The run is published before the thread starts, so that a stop from the thread's first sink
  // call finds it.
  AcquisitionRun* expected = nullptr;
  if (!m_acquisition.compare_exchange_strong(expected, run)) {
    delete run;
    return 2;
  }
  run->thread = platform::threadStart(procedure, run);
  if (run->thread == nullptr) {
    m_acquisition = nullptr;
    delete run;
    return 2;
  }
  return 0;
}

std::int32_t KvtScan3DLumora::MeasureStop() {
  if (m_acquisition == nullptr) return 1;
  if (m_acquiring && (m_laserActive == 0 || m_settingsDialog.m_typeScanning == 0)) {
    SendIgnoringFailure(CMD_ACQUIRE_STOP);
  }
  m_acquiring = false;
  if (m_scanRunning) {
    SendWithRecovery(CMD_SCAN_STOP);
    platform::WaitUntil(platform::Deadline(kScanEndTimeoutMs), platform::WaitPause::kPump,
                        kStopPollMs, [this] { return !m_scanRunning; });
  }
  m_sink = nullptr;
  StopCurrentRun(kThreadEndWaitMs);
  return 0;
}

void KvtScan3DLumora::StopCurrentRun(unsigned waitMs) {
  // Whoever takes the run stops it; a second stop, from the sink or the host, finds none.
  AcquisitionRun* run = m_acquisition.exchange(nullptr);
  if (run == nullptr) return;
  run->RequestStop();
  if (!CollectRun(run, waitMs)) {
    platform::LockGuard guard(m_runsLock);
    m_stoppedRuns.push_back(run);
  }
}

void KvtScan3DLumora::CollectStoppedRuns(unsigned waitMs) {
  std::vector<AcquisitionRun*> runs;
  {
    platform::LockGuard guard(m_runsLock);
    runs.swap(m_stoppedRuns);
  }
  std::vector<AcquisitionRun*> left;
  for (AcquisitionRun* run : runs) {
    if (!CollectRun(run, waitMs)) left.push_back(run);
  }
  if (left.empty()) return;
  platform::LockGuard guard(m_runsLock);
  m_stoppedRuns.insert(m_stoppedRuns.end(), left.begin(), left.end());
}

bool KvtScan3DLumora::CollectRun(AcquisitionRun* run, unsigned waitMs) {
  // A thread stopped from its own sink call ends as soon as that call returns; it cannot wait
  // for itself.
  if (platform::threadIsCurrent(run->thread)) return false;
  // Waiting longer does not end a host's call; the longer waits are for the library's own code.
  if (run->InHost() && waitMs > kThreadEndWaitMs) waitMs = kThreadEndWaitMs;
  bool ended = platform::WaitThreadEnd(run->thread, waitMs);
  if (!ended && platform::threadTerminateAvailable() && run->ClaimForForcedEnd()) {
    // Inside the host's code, where it owns nothing of the library's.
    if (platform::threadTerminate(run->thread, 0)) {
      ended = platform::WaitThreadEnd(run->thread, waitMs);
    } else {
      run->ReleaseClaim();
    }
  }
  // Not inside the host and not ended: it is in the library's own code, which it leaves within
  // a cycle or a command, and calls no sink again. It is collected later.
  if (!ended) return false;
  platform::threadRelease(run->thread);
  delete run;
  return true;
}

void KvtScan3DLumora::StopAcquisitionForUnload() {
  m_sink = nullptr;
  StopCurrentRun(kThreadEndWaitMs);
  CollectStoppedRuns(kUnloadThreadWaitMs);
  // A thread that is still running may yet read its record and handle: they are left to it.
  platform::LockGuard guard(m_runsLock);
  m_stoppedRuns.clear();
}
