// Construction and teardown of the scanner object.
#include "shell/KvtScan3DLumora.h"

#include "datachannel/DataChannel.h"
#include "wire/CommandCodes.h"

namespace {
// The data thread leaves its waits at once when woken; a DATA_END pause can hold it 500 ms. It
// never waits for the host, so only a starved machine makes it take longer.
constexpr unsigned kDataThreadWaitMs = 3000;
}  // namespace

KvtScan3DLumora::KvtScan3DLumora(std::int32_t* status)
    : m_link(m_settings, m_store),
      m_parts{m_store, m_settings, m_link},
      m_acquisition(m_parts),
      m_sensors(m_parts),
      m_settingsDialog(DialogOwner{m_settings, m_link, m_store}) {
  *status = 0;
}

KvtScan3DLumora::~KvtScan3DLumora() { Teardown(); }

void KvtScan3DLumora::Teardown() {
  m_link.EndRecovery();
  if (m_settingsDialog.IsOpen()) m_settingsDialog.CancelAction();
  if (m_store.Acquiring()) m_link.SendIgnoringFailure(CMD_ACQUIRE_STOP);
  if (m_link.ScanStopDue()) {
    m_link.SendIgnoringFailure(CMD_SCAN_STOP);
    m_store.ScanStopSent();
  }
  if (m_link.CommandChannelOpen()) m_link.WaitScanEndAndDisconnect();
  // A measurement the host never stopped, and threads stopped from their own sink: none may run
  // on once the library is gone.
  m_acquisition.StopForUnload();
  // Closing the listening socket stops the data thread; it must be gone, or at least never touch
  // the store again, before the store and the library's code go away.
  StopDataChannelThread(kDataThreadWaitMs);
  FinishDataChannelThread();
  // Last, after everything that may still log. An open log would also keep the file locked on
  // Windows for as long as the host runs.
  m_link.Log().Close();
}
