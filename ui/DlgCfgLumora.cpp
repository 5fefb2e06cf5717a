// The settings dialog's state and actions, and Config, which opens or raises it.
#include "ui/DlgCfgLumora.h"

#include "datachannel/MeasurementStore.h"
#include "lifecycle/Lifecycle.h"
#include "link/ConsoleLink.h"
#include "link/ScannerSettings.h"
#include "platform/wait.h"
#include "wire/CommandCodes.h"

namespace {

using platform::DialogControlKind;

// The controls in template order; the Windows build takes the same from resource 1002.
const platform::DialogControl kControls[] = {
    {1, DialogControlKind::DefaultButton, "OK"},
    {2, DialogControlKind::Button, "Annuler"},
    {DlgCfgLumora::kMoverFunctions, DialogControlKind::Button, "Mover Functions"},
    {DlgCfgLumora::kMoverDiagnostics, DialogControlKind::Button, "Mover Diagnostics"},
    {DlgCfgLumora::kMoverConnect, DialogControlKind::Button, "Mover Connect"},
    {DlgCfgLumora::kShowToolBar, DialogControlKind::Button, "Show Tool Bar"},
    {DlgCfgLumora::kHideToolBar, DialogControlKind::Button, "Hide ToolBar"},
    {DlgCfgLumora::kShowStatus, DialogControlKind::Button, "Show Status"},
    {DlgCfgLumora::kHideStatus, DialogControlKind::Button, "Hide Status"},
    {DlgCfgLumora::kSensorSet, DialogControlKind::Button, "Sensor Set..."},
    {DlgCfgLumora::kIdmSettings, DialogControlKind::Button, "IDM Settings..."},
    {DlgCfgLumora::kAutoexposure, DialogControlKind::Button, "Autoexposure..."},
    {DlgCfgLumora::kCalibrate, DialogControlKind::Button, "Calibrate"},
    {DlgCfgLumora::kUserOptions, DialogControlKind::Button, "User Options..."},
    {DlgCfgLumora::kMoverDisconnect, DialogControlKind::Button, "Mover DisConnect"},
    {DlgCfgLumora::kAlwaysToolBarBox, DialogControlKind::CheckBox,
     "Always Lumora ToolBar when starting..."},
    {-1, DialogControlKind::GroupBox, "Lumora ToolBar"},
    {-1, DialogControlKind::GroupBox, "Mover"},
    {DlgCfgLumora::kAlwaysStatusBox, DialogControlKind::CheckBox,
     "Always Lumora Status when starting..."},
    {DlgCfgLumora::kTypeScanningBox, DialogControlKind::CheckBox,
     "Lumora sounds only when scanning (current line is not available with this mode)"},
};

const platform::DialogTemplate kTemplate = {DlgCfgLumora::kTemplateId, "Lumora Settings", kControls,
                                            sizeof kControls / sizeof kControls[0]};

// The teardown's Cancel ends a run on another thread; the run leaves at its next message.
constexpr std::uint32_t kRunEndWaitMs = 2000;
constexpr unsigned kRunEndPollMs = 5;

// A check box shows 0 to 2; a member outside that range becomes 0 before it is shown.
std::int32_t ShownValue(std::int32_t value) { return value < 0 || value > 2 ? 0 : value; }

}  // namespace

DlgCfgLumora::DlgCfgLumora(const DialogOwner& owner)
    : m_isOpen(false),
      m_owner(owner),
      m_alwaysStatus(0),
      m_alwaysToolBar(0),
      m_window(nullptr),
      m_running(false),
      m_runThread(0) {}

DlgCfgLumora::~DlgCfgLumora() {
  if (!m_running || m_runThread == platform::threadCurrentId()) return;
  // Bounded: a run that has not left by then is not waited for any longer.
  static_cast<void>(Lifecycle::WaitRegardless(platform::Deadline(kRunEndWaitMs), kRunEndPollMs,
                                              [this] { return !m_running; }));
}

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

int DlgCfgLumora::DoModal() {
  m_runThread = platform::threadCurrentId();
  m_running = true;
  int result = platform::dialogRun(kTemplate, this);
  // A window that cannot be made would leave the dialog marked open for good, so that no later
  // Config could open it: the mark goes with the failure.
  if (result < 0) m_isOpen = false;
  // Last: an unload on another thread frees this object once the run is over.
  m_running = false;
  return result;
}

void DlgCfgLumora::Raise() {
  platform::LockGuard guard(m_windowLock);
  if (m_window != nullptr) platform::dialogRaise(m_window);
}

void DlgCfgLumora::PressButton(int controlId) {
  std::int32_t code = ButtonCommand(controlId);
  if (code != 0) m_owner.link.SendWithRecovery(code);
}

void DlgCfgLumora::CancelAction() {
  m_isOpen = false;
  m_owner.store.ClearConsoleAcquiring();
  platform::LockGuard guard(m_windowLock);
  if (m_window != nullptr) platform::dialogEnd(m_window, platform::kDialogCancel);
}

void DlgCfgLumora::OkAction(platform::Dialog* dialog) {
  m_alwaysStatus = platform::dialogIsChecked(dialog, kAlwaysStatusBox) ? 1 : 0;
  m_alwaysToolBar = platform::dialogIsChecked(dialog, kAlwaysToolBarBox) ? 1 : 0;
  m_owner.settings.SetTypeScanning(platform::dialogIsChecked(dialog, kTypeScanningBox) ? 1 : 0);
  m_isOpen = false;
  m_owner.settings.SetShowStatus(m_alwaysStatus != 0);
  m_owner.settings.SetShowToolBar(m_alwaysToolBar != 0);
  m_owner.store.ClearConsoleAcquiring();
  platform::dialogEnd(dialog, platform::kDialogOk);
}

void DlgCfgLumora::onInit(platform::Dialog* dialog) {
  {
    platform::LockGuard guard(m_windowLock);
    m_window = dialog;
  }
  // The reset changes the member itself, so it stays even when Cancel follows.
  m_alwaysStatus = ShownValue(m_alwaysStatus);
  m_alwaysToolBar = ShownValue(m_alwaysToolBar);
  const std::int32_t typeScanning = ShownValue(m_owner.settings.TypeScanning());
  m_owner.settings.SetTypeScanning(typeScanning);
  // Two-state boxes show 2 as checked, as the platform's own check boxes do.
  platform::dialogSetChecked(dialog, kAlwaysStatusBox, m_alwaysStatus != 0);
  platform::dialogSetChecked(dialog, kAlwaysToolBarBox, m_alwaysToolBar != 0);
  platform::dialogSetChecked(dialog, kTypeScanningBox, typeScanning != 0);
}

void DlgCfgLumora::onCommand(platform::Dialog* dialog, int id) {
  if (id == platform::kDialogOk) {
    OkAction(dialog);
  } else if (id == platform::kDialogCancel) {
    CancelAction();
  } else {
    PressButton(id);
  }
}

void DlgCfgLumora::onClose(platform::Dialog* /*dialog*/) { m_isOpen = false; }

void DlgCfgLumora::onDestroy(platform::Dialog* /*dialog*/) {
  platform::LockGuard guard(m_windowLock);
  m_window = nullptr;
}

std::int32_t DlgCfgLumora::Config() {
  if (m_isOpen.exchange(true)) {
    Raise();
    return 0;
  }
  // A window that could not be made is no window the user closed: the host hears of it.
  return DoModal() < 0 ? 2 : 0;
}
