// The scanner object: the one object behind the exports. It holds the plug-in's components, each
// the owner of its own state, and answers the exports through them.
#pragma once

#include <cstdint>

#include "acquisition/AcquisitionControl.h"
#include "acquisition/SensorQueries.h"
#include "capture/Capture.h"
#include "datachannel/DataChannel.h"
#include "datachannel/MeasurementStore.h"
#include "lifecycle/Lifecycle.h"
#include "link/ConsoleLink.h"
#include "link/ScannerSettings.h"
#include "shell/MeasureSink.h"
#include "shell/SensorEntry.h"
#include "ui/DlgCfgLumora.h"

// Three kinds of thread use it: the host's thread (the exports, the settings window, the
// unload); a measurement's acquisition thread (its sink calls, in button mode 2 the acquisition
// commands, and whatever the host's sink calls from it, MeasureStop and MeasureStart included);
// and the data-channel thread (what the console sends); besides them the capture's thread writes
// its file. Who owns what:
//
// - The lifecycle (lifecycle/Lifecycle.h): the library's phase, every thread from its start to
//   its end, every wait, and the leave that recoveries, connections, program starts and the
//   message box ask.
// - The settings (link/ScannerSettings.h): the modes, the sound and the start-up options, atomics
//   that any thread reads; the exports, the handshake and the settings window write them.
// - The measurement store (datachannel/MeasurementStore.h): the console's last message, its
//   buttons and its state; the data thread writes it, acquisition copies and takes from it.
// - The link (link/ConsoleLink.h): the command channel with its socket and lock, the connection
//   sequence, the debug log.
// - Acquisition control (acquisition/AcquisitionControl.h): the running measurement and its
//   thread, and the stopped threads not yet collected.
// - The settings window (ui/DlgCfgLumora.h): its check boxes and the running window.
// - The data channel (datachannel/DataChannel.h): its thread and the console's data connection.
// - The capture (capture/Capture.h): the file of both channels, when one is asked for.
//
// Lock order, outermost first: the command channel's, then its wake lock; the data channel's,
// then the store's; the capture's last, under either channel's (its taps run inside their
// steps). The lifecycle's, the debug log's, the stopped runs' and the window's are taken with no
// other held. No lock is held while the host's code runs or while a wait dispatches messages.
//
// The unload (the destructor) stops the components in this order, each through its one Stop:
// 1. The lifecycle's unload begins: from now on no thread starts, no recovery, connection,
//    program start or message box begins, every wait of another thread ends at its next look,
//    and a message box that is open is closed. Everything after relies on this.
// 2. The settings window is cancelled, as its Cancel button does.
// 3. The link: a command of another thread that waits for the console is cut short; the
//    console's acquisition and scanning are stopped; the hides and the close follow once the data
//    channel has cleared the scanning flag after its pause behind the console's end notice (at
//    most 2 s). Before the data channel's stop, which would end the notice's delivery; before
//    the acquisition's, whose threads' commands and recoveries now fail at once, and whose
//    connections cannot open any more (step 1), so none is left open behind this close.
// 4. Acquisition: every acquisition thread is stopped and collected, none of them calling the
//    host again. After the link, so that the console has had its stops before a host's blocked
//    sink is waited for; its threads need nothing of the data channel.
// 5. The data channel: its thread leaves its sockets and ends, the sockets are closed (port 2002
//    free for the next load). After the link's wait for the end of scanning.
// 6. The capture: after both channels, so that their last packets and closes are in its file;
//    the socket routines' tap is removed first, and no other thread of the library runs then.
// 7. The debug log is closed, after every thread that may log has ended.
// At the end of the process the same steps run, and none waits: the system has ended every
// other thread, and each step takes a lock such a thread may hold only when it is free.
class KvtScan3DLumora {
 public:
  // Sets status to 0: construction cannot fail.
  explicit KvtScan3DLumora(std::int32_t* status);
  // The teardown, at the unload: the stops above, in their order.
  virtual ~KvtScan3DLumora();

  KvtScan3DLumora(const KvtScan3DLumora&) = delete;
  KvtScan3DLumora& operator=(const KvtScan3DLumora&) = delete;

  // The exports' operations. A result that can report a failure may not be dropped; the setters,
  // Reset and SensorGetList always answer the same value.
  [[nodiscard]] std::int32_t Connect(std::int32_t mode) { return m_link.Connect(mode); }
  std::int32_t Reset() { return m_link.Reset(); }
  std::int32_t IsConnected() const { return m_link.IsConnected(); }
  [[nodiscard]] std::int32_t MeasureStart(MeasureSink* sink) {
    return m_acquisition.MeasureStart(sink);
  }
  [[nodiscard]] std::int32_t MeasureStop() { return m_acquisition.MeasureStop(); }
  std::int32_t SensorGetList(SensorEntry* entries, std::int32_t unused, std::int32_t* count) {
    return m_sensors.SensorGetList(entries, unused, count);
  }
  [[nodiscard]] std::int32_t SensorGet(std::int32_t* type, double* radius, std::int32_t* kind) {
    return m_sensors.SensorGet(type, radius, kind);
  }
  std::int32_t SensorSet(std::int32_t type) { return m_sensors.SensorSet(type); }
  std::int32_t SetDiameter(float diameter) { return m_sensors.SetDiameter(diameter); }
  std::int32_t MouseSet(std::int32_t value) { return m_sensors.MouseSet(value); }
  std::int32_t MouseGet() const { return m_settings.MouseMode(); }
  std::int32_t SoundSet(std::int32_t value) { return m_sensors.SoundSet(value); }
  std::int32_t SoundGet() const { return m_settings.Sound() != 0 ? 1 : 0; }
  std::int32_t ButtonModeGet() const { return m_settings.ButtonMode(); }
  std::int32_t ButtonModeSet(std::int32_t mode) {
    m_settings.SetButtonMode(mode);
    return 0;
  }
  std::int32_t DetectGet() const { return m_settings.DetectMode(); }
  std::int32_t DetectSet(std::int32_t value) {
    m_settings.SetDetectMode(value);
    return 0;
  }
  [[nodiscard]] std::int32_t Config() { return m_settingsDialog.Config(); }

  // Starts the capture that the settings ask for and lets the socket routines feed it; false when
  // it cannot be started (measuring goes on without it). Host's thread, at load.
  [[nodiscard]] bool StartCapture(const CaptureSettings& settings);

  // The components, for the application object, the exports and the tests.
  Lifecycle& LifecycleOfLoad() { return m_lifecycle; }
  ScannerSettings& Settings() { return m_settings; }
  MeasurementStore& Store() { return m_store; }
  ConsoleLink& Link() { return m_link; }
  AcquisitionControl& Acquisition() { return m_acquisition; }
  DataChannel& Data() { return m_dataChannel; }
  Capture& CaptureOfLoad() { return m_capture; }
  DlgCfgLumora& SettingsDialog() { return m_settingsDialog; }
  const AcquisitionParts& Parts() const { return m_parts; }

 private:
  void Teardown();

  // First made and last gone: every other component starts and ends its threads through it.
  Lifecycle m_lifecycle;
  ScannerSettings m_settings;
  MeasurementStore m_store;
  DataChannel m_dataChannel;
  ConsoleLink m_link;
  const AcquisitionParts m_parts;
  AcquisitionControl m_acquisition;
  SensorQueries m_sensors;
  DlgCfgLumora m_settingsDialog;
  Capture m_capture;
};
