// Measurement start and stop on the host's thread, and the wait for an acquisition thread's end.
#include <algorithm>
#include <cstdint>

#include "acquisition/AcquisitionThreads.h"
#include "link/CommandCodes.h"
#include "link/KvtScan3DLumora.h"
#include "link/WireValues.h"
#include "platform/pump.h"
#include "platform/time.h"

namespace {

constexpr std::uint32_t kScanStartTimeoutMs = 30000;
// A console that died never reports the end of scanning: the stop gives up after as long as
// the start waits for its beginning.
constexpr std::uint32_t kScanEndTimeoutMs = 30000;
constexpr unsigned kScanWaitMs = 10;
constexpr unsigned kSettleMs = 100;
constexpr unsigned kStopPollMs = 10;
constexpr std::int64_t kThreadEndWaitMs = 2500;

bool TimedOut(std::uint32_t start, std::uint32_t limit) {
  return static_cast<std::uint32_t>(platform::tickCount() - start) > limit;
}

}  // namespace

std::int32_t KvtScan3DLumora::MeasureStart(MeasureSink* sink) {
  if (m_stoppedOnItsThread) StopAcquisitionThread();
  if (m_acquisitionThread != nullptr) return 2;
  if (m_connected == 0) return 2;
  if (m_autoDetect != 0) {
    unsigned char reply[4] = {};
    int received = 0;
    if (!ExchangeCommand(CMD_SENSOR_QUERY, nullptr, reply, sizeof reply, &received)) {
      ReconnectAfterFailure();
      return 2;
    }
    if (received < static_cast<int>(sizeof reply)) return 2;
    m_laserActive = GetInt32(reply) != 0 ? 1 : 0;
  }
  SendWithRecovery(CMD_SCAN_START);

  // Scanning is reported on the data thread, not as a message: the wait dispatches the host's
  // messages one at a time and otherwise sleeps briefly between looks.
  std::uint32_t start = platform::tickCount();
  while (!m_scanRunning) {
    if (!platform::pumpDispatchOne()) platform::pumpWait(kScanWaitMs);
    if (TimedOut(start, kScanStartTimeoutMs)) return 2;
  }
  platform::sleepMs(kSettleMs);
  // A host window procedure run by the wait may have started a measurement of its own; a second
  // thread would go on unseen.
  if (m_acquisitionThread != nullptr) return 2;

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
  m_acquisitionThread = platform::threadStart(procedure, this);
  return m_acquisitionThread != nullptr ? 0 : 2;
}

std::int32_t KvtScan3DLumora::MeasureStop() {
  if (m_acquisitionThread == nullptr) return 1;
  if (m_acquiring && (m_laserActive == 0 || m_settingsDialog.m_typeScanning == 0)) {
    SendIgnoringFailure(CMD_ACQUIRE_STOP);
  }
  m_acquiring = false;
  if (m_scanRunning) {
    SendWithRecovery(CMD_SCAN_STOP);
    std::uint32_t start = platform::tickCount();
    while (m_scanRunning && !TimedOut(start, kScanEndTimeoutMs)) {
      platform::pumpDispatchOne();
      platform::sleepMs(kStopPollMs);
    }
  }
  m_sink = nullptr;
  if (platform::threadIsCurrent(m_acquisitionThread)) {
    // Called from the host's sink: the thread cannot wait for its own end. It ends as soon as
    // the sink returns, and is collected by the next start or stop, or by the unload.
    m_stoppedOnItsThread = true;
    return 0;
  }
  StopAcquisitionThread();
  return 0;
}

void KvtScan3DLumora::StopAcquisitionThread() {
  m_stoppedOnItsThread = false;
  WaitThreadEnd();
  if (m_acquisitionThread != nullptr) {
    if (platform::threadTerminate(m_acquisitionThread, 0)) WaitThreadEnd();
  }
  if (m_acquisitionThread != nullptr) {
    // No forced end here (POSIX): the thread ends at its next look at m_sink. It is kept so
    // that the teardown can wait for it before the library goes away.
    m_abandonedThreads.push_back(m_acquisitionThread);
    m_acquisitionThread = nullptr;
  }
}

void KvtScan3DLumora::WaitThreadEnd() {
  std::int64_t startSeconds = 0;
  int startMs = 0;
  platform::wallClock(&startSeconds, &startMs);
  std::int64_t waited = 0;
  for (;;) {
    std::int64_t seconds = 0;
    int ms = 0;
    platform::wallClock(&seconds, &ms);
    waited = std::max(waited, (seconds - startSeconds) * 1000 + (ms - startMs));
    if (m_acquisitionThread == nullptr) return;
    unsigned code = 0;
    if (platform::threadExitCode(m_acquisitionThread, &code) &&
        code != platform::kThreadStillActive) {
      // Joins what is left of the thread where the platform needs it.
      platform::threadWaitEnd(m_acquisitionThread, 0);
      platform::threadRelease(m_acquisitionThread);
      m_acquisitionThread = nullptr;
      return;
    }
    platform::sleepMs(1);
    if (++waited >= kThreadEndWaitMs) return;
  }
}
