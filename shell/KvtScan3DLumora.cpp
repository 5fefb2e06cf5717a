// Construction and teardown of the scanner object.
#include "shell/KvtScan3DLumora.h"

#include "wire/SocketRoutines.h"

KvtScan3DLumora::KvtScan3DLumora(std::int32_t* status)
    : m_dataChannel(m_lifecycle, m_store),
      m_link(m_lifecycle, m_settings, m_store, m_dataChannel),
      m_parts{m_lifecycle, m_store, m_settings, m_link},
      m_acquisition(m_parts),
      m_sensors(m_parts),
      m_settingsDialog(DialogOwner{m_settings, m_link, m_store}),
      m_capture(m_lifecycle) {
  *status = 0;
}

KvtScan3DLumora::~KvtScan3DLumora() { Teardown(); }

bool KvtScan3DLumora::StartCapture(const CaptureSettings& settings) {
  if (!m_capture.Start(settings)) return false;
  // The capture sees both channels through the socket routines' tap.
  InstallSocketTap(&m_capture.Tap());
  return true;
}

void KvtScan3DLumora::Teardown() {
  // The order and why it is safe: the header.
  const StopMode mode = m_lifecycle.BeginUnload();
  m_settingsDialog.Stop();
  m_link.Stop(mode);
  m_acquisition.Stop(mode);
  m_dataChannel.Stop(mode);
  InstallSocketTap(nullptr);
  m_capture.Stop(mode);
  m_link.Log().Stop(mode);
}
