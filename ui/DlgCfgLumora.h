// The settings dialog: three start-up options and thirteen console command buttons.
#pragma once

#include <atomic>
#include <cstdint>

class KvtScan3DLumora;

class DlgCfgLumora {
 public:
  static constexpr int kTemplateId = 1002;

  // Control IDs of the thirteen command buttons.
  static constexpr int kMoverFunctions = 1014;
  static constexpr int kMoverDiagnostics = 1015;
  static constexpr int kMoverConnect = 1016;
  static constexpr int kShowToolBar = 1017;
  static constexpr int kHideToolBar = 1018;
  static constexpr int kShowStatus = 1019;
  static constexpr int kHideStatus = 1020;
  static constexpr int kSensorSet = 1021;
  static constexpr int kIdmSettings = 1022;
  static constexpr int kAutoexposure = 1023;
  static constexpr int kCalibrate = 1024;
  static constexpr int kUserOptions = 1025;
  static constexpr int kMoverDisconnect = 1026;

  explicit DlgCfgLumora(KvtScan3DLumora* owner);

  // The command code a button sends, or 0 for an ID that is not a command button.
  static std::int32_t ButtonCommand(int controlId);

  // The Cancel action's effects on the state: the dialog is closed and the owner's acquisition
  // flag cleared; the members keep their values.
  void CancelAction();

  // A command button's action: sends its code and nothing else; a failed send runs the
  // connection sequence again on the owner, on this thread, before it returns.
  void PressButton(int controlId);

  std::atomic<bool> m_isOpen;
  KvtScan3DLumora* m_owner;
  std::int32_t m_alwaysStatus;   // check box 1028
  std::int32_t m_alwaysToolBar;  // check box 1027
  // Check box 1029; also the scanner object's scanning type, read by the acquisition threads.
  std::atomic<std::int32_t> m_typeScanning;
};
