// The settings dialog's state and actions.
#include "ui/DlgCfgLumora.h"

#include "link/CommandCodes.h"
#include "link/KvtScan3DLumora.h"

DlgCfgLumora::DlgCfgLumora(KvtScan3DLumora* owner)
    : m_isOpen(false), m_owner(owner), m_alwaysStatus(0), m_alwaysToolBar(0), m_typeScanning(0) {}

std::int32_t DlgCfgLumora::ButtonCommand(int controlId) {
  switch (controlId) {
    case kAutoexposure:
      return CMD_AUTOEXPOSURE;
    case kSensorSet:
      return CMD_SENSOR_SET;
    case kCalibrate:
      return CMD_CALIBRATE;
    case kIdmSettings:
      return CMD_IDM_SETTINGS;
    case kUserOptions:
      return CMD_USER_OPTIONS;
    case kShowStatus:
      return CMD_STATUS_SHOW;
    case kHideStatus:
      return CMD_STATUS_HIDE;
    case kShowToolBar:
      return CMD_TOOLBAR_SHOW;
    case kHideToolBar:
      return CMD_TOOLBAR_HIDE;
    case kMoverFunctions:
      return CMD_MOVER_FUNCTIONS;
    case kMoverDiagnostics:
      return CMD_MOVER_DIAGNOSTICS;
    case kMoverConnect:
      return CMD_MOVER_CONNECT;
    case kMoverDisconnect:
      return CMD_MOVER_DISCONNECT;
    default:
      return 0;
  }
}

void DlgCfgLumora::PressButton(int controlId) {
  std::int32_t code = ButtonCommand(controlId);
  if (code != 0 && m_owner != nullptr) m_owner->SendWithRecovery(code);
}

void DlgCfgLumora::CancelAction() {
  m_isOpen = false;
  if (m_owner != nullptr) m_owner->m_acquiring = false;
}

// The settings window itself is not built yet: opening it fails.
std::int32_t KvtScan3DLumora::Config() { return 2; }
