// The scanner object: the one object behind the exports. It holds the plug-in's components, each
// the owner of its own state, and answers the exports through them.
#pragma once

#include <cstdint>

#include "acquisition/AcquisitionControl.h"
#include "acquisition/SensorQueries.h"
#include "datachannel/MeasurementStore.h"
#include "link/ConsoleLink.h"
#include "link/ScannerSettings.h"
#include "shell/MeasureSink.h"
#include "shell/SensorEntry.h"
#include "ui/DlgCfgLumora.h"

// Three kinds of thread use it: the host's thread (the exports, the settings window, the
// unload); a measurement's acquisition thread (its sink calls, in button mode 2 the acquisition
// commands, and whatever the host's sink calls from it, MeasureStop and MeasureStart included);
// and the data-channel thread (what the console sends). Who owns what:
//
// - The settings (link/ScannerSettings.h): the modes, the sound and the start-up options, atomics
//   that any thread reads; the exports, the handshake and the settings window write them.
// - The measurement store (datachannel/MeasurementStore.h): the console's last message, its
//   buttons and its state; the data thread writes it, acquisition copies and takes from it.
// - The link (link/ConsoleLink.h): the command channel with its socket and lock, the connection
//   sequence, the debug log.
// - Acquisition control (acquisition/AcquisitionControl.h): the running measurement and its
//   thread, and the stopped threads not yet collected.
// - The settings window (ui/DlgCfgLumora.h): its check boxes and the running window.
//
// Lock order, outermost first: the command channel's, the data thread's start lock, the data
// channel's, the store's; the debug log's, the stopped runs' and the window's are taken with no
// other held. No lock is held while the host's code runs or while a wait dispatches messages.
class KvtScan3DLumora {
 public:
  // Sets status to 0: construction cannot fail.
  explicit KvtScan3DLumora(std::int32_t* status);
  // The teardown, at the unload: cancels the settings window, stops the console's acquisition
  // and scanning, disconnects, and stops the acquisition threads and the data-channel thread,
  // cutting every wait of the library's own threads short instead of waiting it out. At the end
  // of the process it sends what it can and waits for nothing.
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

  // The components, for the application object and the tests.
  ScannerSettings& Settings() { return m_settings; }
  MeasurementStore& Store() { return m_store; }
  ConsoleLink& Link() { return m_link; }
  AcquisitionControl& Acquisition() { return m_acquisition; }
  DlgCfgLumora& SettingsDialog() { return m_settingsDialog; }
  const AcquisitionParts& Parts() const { return m_parts; }

 private:
  void Teardown();

  ScannerSettings m_settings;
  MeasurementStore m_store;
  ConsoleLink m_link;
  const AcquisitionParts m_parts;
  AcquisitionControl m_acquisition;
  SensorQueries m_sensors;
  DlgCfgLumora m_settingsDialog;
};
