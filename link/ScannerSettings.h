// The scanner's settings: the modes the host sets through the exports, the console's sound, and
// the three start-up options of the settings file, which the settings window edits.
#pragma once

#include <atomic>
#include <cstdint>

// Threads: any. Each value is one atomic, stored and loaded whole: a reader sees the last value
// stored, and no value depends on another, so no lock is needed. The host's thread writes most of
// them; the handshake (on whichever thread runs the connection sequence) writes the sound; the
// acquisition threads and the connection sequence read them. It never blocks and calls nothing.
class ScannerSettings {
 public:
  ScannerSettings() = default;
  ScannerSettings(const ScannerSettings&) = delete;
  ScannerSettings& operator=(const ScannerSettings&) = delete;

  // Button mode 0, 1 or 2: which acquisition thread a measurement runs; stored unchecked.
  [[nodiscard]] std::int32_t ButtonMode() const { return m_buttonMode; }
  void SetButtonMode(std::int32_t mode) { m_buttonMode = mode; }
  // 0 switches the digitizer's button events other than the trigger off.
  [[nodiscard]] std::int32_t DetectMode() const { return m_detectMode; }
  void SetDetectMode(std::int32_t mode) { m_detectMode = mode; }
  // 1 once the host asked for the mouse mode (4), else 0.
  [[nodiscard]] std::int32_t MouseMode() const { return m_mouseMode; }
  void SetMouseMode(std::int32_t mode) { m_mouseMode = mode; }
  // The last sensor type the host chose (1 automatic, 2 laser, 3 probe, or any other value).
  [[nodiscard]] std::int32_t SensorType() const { return m_sensorType; }
  void SetSensorType(std::int32_t type) { m_sensorType = type; }
  // The console's sound setting: the handshake's answer, or what the host set since.
  [[nodiscard]] std::int32_t Sound() const { return m_sound; }
  void SetSound(std::int32_t sound) { m_sound = sound; }
  [[nodiscard]] float ProbeDiameter() const { return m_probeDiameter; }
  void SetProbeDiameter(float diameter) { m_probeDiameter = diameter; }

  // The start-up options: whether the link shows the console's tool bar and status window when it
  // comes up, and the scanning type (check box 1029 of the settings window), which decides when
  // a measurement switches the console's acquisition.
  [[nodiscard]] bool ShowToolBar() const { return m_showToolBar; }
  void SetShowToolBar(bool show) { m_showToolBar = show; }
  [[nodiscard]] bool ShowStatus() const { return m_showStatus; }
  void SetShowStatus(bool show) { m_showStatus = show; }
  [[nodiscard]] std::int32_t TypeScanning() const { return m_typeScanning; }
  void SetTypeScanning(std::int32_t type) { m_typeScanning = type; }

 private:
  std::atomic<bool> m_showToolBar{true};
  std::atomic<bool> m_showStatus{false};
  std::atomic<std::int32_t> m_typeScanning{0};
  std::atomic<std::int32_t> m_sensorType{1};
  std::atomic<std::int32_t> m_buttonMode{0};
  std::atomic<std::int32_t> m_mouseMode{0};
  std::atomic<std::int32_t> m_detectMode{0};
  // Unset until the first handshake; 0 answers SoundGet with 0 before that.
  std::atomic<std::int32_t> m_sound{0};
  std::atomic<float> m_probeDiameter{0.0f};
};
