// Construction and teardown of the scanner object.
#include "shell/KvtScan3DLumora.h"

#include "datachannel/DataChannel.h"
#include "platform/module.h"
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
  // At the end of the process the system has ended every other thread, maybe inside a lock of
  // the library's: what can be sent is sent, and nothing is waited for.
  const bool processEnds = platform::processEnding();
  // First of all: no recovery, program start, message box or thread begins from now on, and a
  // command of another thread that waits for the console is cut short.
  m_link.BeginUnload();
  if (m_settingsDialog.IsOpen()) m_settingsDialog.CancelAction();
  if (processEnds) {
    m_link.StopAtProcessEnd();
  } else {
    if (m_store.Acquiring()) m_link.SendIgnoringFailure(CMD_ACQUIRE_STOP);
    if (m_link.ScanStopDue()) {
      m_link.SendIgnoringFailure(CMD_SCAN_STOP);
      m_store.ScanStopSent();
    }
    if (m_link.CommandChannelOpen()) m_link.WaitScanEndAndDisconnect();
  }
  // A measurement the host never stopped, and threads stopped from their own sink: none may run
  // on in the library's code once the library is gone.
  m_acquisition.StopForUnload(processEnds);
  // Waking the data thread's sockets stops it; it must be gone, or at least never touch the store
  // again, before the store and the library's code go away.
  static_cast<void>(StopDataChannelThread(kDataThreadWaitMs, processEnds));
  FinishDataChannelThread(processEnds);
  // Last, after everything that may still log. An open log would also keep the file locked on
  // Windows for as long as the host runs.
  if (!processEnds) m_link.Log().Close();
}
