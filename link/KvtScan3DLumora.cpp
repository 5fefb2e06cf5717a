// Construction and teardown of the scanner object, and the operations that only touch its fields.
#include "link/KvtScan3DLumora.h"

#include <cstdio>

#include "datachannel/DataChannel.h"
#include "platform/wait.h"
#include "wire/CommandCodes.h"

namespace {
// A console that died while scanning never reports the end: the unload waits this long for it.
constexpr std::uint32_t kScanEndWaitMs = 5000;
constexpr unsigned kScanEndPollMs = 30;
// The data thread leaves its waits at once when woken; a DATA_END pause can hold it 500 ms. It
// never waits for the host, so only a starved machine makes it take longer.
constexpr unsigned kDataThreadWaitMs = 3000;
}  // namespace

KvtScan3DLumora::KvtScan3DLumora(std::int32_t* status)
    : m_debugLog(nullptr),
      m_showToolBar(true),
      m_showStatus(false),
      m_sensorType(1),
      m_scanRunning(false),
      m_acquiring(false),
      m_connected(0),
      m_startMode(0),
      m_dataReady(false),
      m_commands(m_connected),
      m_acquisition(nullptr),
      m_sink(nullptr),
      m_settingsDialog(this),
      m_triggerToggle(0),
      m_buttonEvent(0),
      m_buttonMode(0),
      m_mouseMode(0),
      m_detectMode(0),
      m_laserActive(0),
      m_autoDetect(0),
      m_sound(0),
      m_probeDiameter(0.0f),
      m_logDirectory(""),
      m_measure{m_position, m_direction, &m_points[0][0], 0},
      m_position{0.0, 0.0, 0.0},
      m_direction{0.0, 0.0, 1.0} {
  // m_points is left as it is: only pointCount points of it are ever valid.
  *status = 0;
}

KvtScan3DLumora::~KvtScan3DLumora() { Teardown(); }

void KvtScan3DLumora::Teardown() {
  m_commands.EndRecovery();
  if (m_settingsDialog.m_isOpen) m_settingsDialog.CancelAction();
  if (m_acquiring) SendIgnoringFailure(CMD_ACQUIRE_STOP);
  if (m_scanRunning) SendIgnoringFailure(CMD_SCAN_STOP);
  if (m_commands.IsOpen()) WaitScanEndAndDisconnect();
  // A measurement the host never stopped, and threads stopped from their own sink: none may run
  // on once the library is gone.
  StopAcquisitionForUnload();
  // Closing the listening socket stops the data thread; it must be gone, or at least never touch
  // this object again, before the object and the library's code go away.
  StopDataChannelThread(kDataThreadWaitMs);
  FinishDataChannelThread();
  // Last, after everything that may still log. An open log would also keep the file locked on
  // Windows for as long as the host runs.
  if (m_debugLog != nullptr) {
    std::fclose(m_debugLog);
    m_debugLog = nullptr;
  }
}

void KvtScan3DLumora::WaitScanEndAndDisconnect() {
  // The unload's wait runs none of the host's code.
  platform::WaitUntil(platform::Deadline(kScanEndWaitMs), platform::WaitPause::kSleep,
                      kScanEndPollMs, [this] { return !m_scanRunning; });
  Disconnect();
}

std::int32_t KvtScan3DLumora::SensorSet(std::int32_t type) {
  m_autoDetect = 0;
  m_sensorType = type;
  if (type == SENSOR_TYPE_LASER) {
    m_laserActive = 1;
  } else if (type == SENSOR_TYPE_PROBE) {
    m_laserActive = 0;
  } else if (type == SENSOR_TYPE_AUTOMATIC) {
    // m_laserActive keeps its value until the console is next asked which sensor is active.
    m_autoDetect = 1;
  }
  return 0;
}

std::int32_t KvtScan3DLumora::SetDiameter(float diameter) {
  // -1 means "leave the diameter as it is"; a NaN is not -1 and is stored.
  if (diameter != -1.0f) m_probeDiameter = diameter;
  return 0;
}
