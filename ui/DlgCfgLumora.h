// The settings dialog: three start-up options and thirteen console command buttons.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/dialog.h"
#include "platform/thread.h"

class ConsoleLink;
class MeasurementStore;
class ScannerSettings;

// What the dialog changes: the settings its OK stores, the link its buttons send on (and
// reconnect after a failed send), and the store whose console acquisition OK and Cancel clear.
struct DialogOwner {
  ScannerSettings& settings;
  ConsoleLink& link;
  MeasurementStore& store;
};

// Threads: Config runs the window modally on the calling thread (the host's), and its actions
// run there; CancelAction may also come from the unloading thread. m_windowLock guards the
// running window and is held only to look it up or to end it, never while an action sends.
class DlgCfgLumora : private platform::DialogHandler {
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

  // Control IDs of the three check boxes.
  static constexpr int kAlwaysToolBarBox = 1027;
  static constexpr int kAlwaysStatusBox = 1028;
  static constexpr int kTypeScanningBox = 1029;

  explicit DlgCfgLumora(const DialogOwner& owner);
  // A run on another thread uses this object until it returns: waits a bounded time for it.
  ~DlgCfgLumora();

  DlgCfgLumora(const DlgCfgLumora&) = delete;
  DlgCfgLumora& operator=(const DlgCfgLumora&) = delete;

  // The command code a button sends, or 0 for an ID that is not a command button.
  static std::int32_t ButtonCommand(int controlId);

  // Opens the window and runs it modally on this thread until an action ends it; when it is open
  // already, brings it to the top and returns at once. 0, or 2 when the window cannot be made.
  [[nodiscard]] std::int32_t Config();

  // Runs the window modally on this thread until an action ends it. Returns the run's result,
  // or -1 when the window could not be made.
  [[nodiscard]] int DoModal();

  // Brings the running window to the top; nothing when there is no window.
  void Raise();

  // The Cancel action: the dialog is closed and the console's acquisition flag cleared; the
  // members keep their values. Ends a running window, also from another thread.
  void CancelAction();
  // The unload's stop: an open window is cancelled as its Cancel button does. The run on the
  // host's thread leaves at its next message; the destructor waits for it a bounded time.
  void Stop() {
    if (IsOpen()) CancelAction();
  }

  // A command button's action: sends its code and nothing else; a failed send runs the
  // connection sequence again, on this thread, before it returns.
  void PressButton(int controlId);

  // The window runs (set by Config, cleared by OK, Cancel and close).
  [[nodiscard]] bool IsOpen() const { return m_isOpen; }
  // The states of check boxes 1028 and 1027, kept between openings; check box 1029 is the
  // settings' scanning type.
  [[nodiscard]] std::int32_t AlwaysStatus() const { return m_alwaysStatus; }
  [[nodiscard]] std::int32_t AlwaysToolBar() const { return m_alwaysToolBar; }
  void SetAlwaysBoxes(std::int32_t status, std::int32_t toolBar) {
    m_alwaysStatus = status;
    m_alwaysToolBar = toolBar;
  }

 private:
  void onInit(platform::Dialog* dialog) override;
  void onCommand(platform::Dialog* dialog, int id) override;
  void onClose(platform::Dialog* dialog) override;
  void onDestroy(platform::Dialog* dialog) override;
  void OkAction(platform::Dialog* dialog);

  // Raised by Config in one step (a second Config only raises the window); lowered by the run (its
  // actions, or a window that could not be made) and by the teardown's Cancel on the unloading
  // thread.
  std::atomic<bool> m_isOpen;
  const DialogOwner m_owner;
  // The host's thread only (the window's own actions).
  std::int32_t m_alwaysStatus;   // check box 1028
  std::int32_t m_alwaysToolBar;  // check box 1027

  // The running window, for other threads too (the teardown's Cancel): set and cleared by the
  // run's thread under the lock, used under it.
  platform::Lock m_windowLock;
  platform::Dialog* m_window KVT_GUARDED_BY(m_windowLock);
  // Written only by the run's thread (DoModal), raised before the window is made and lowered
  // last; the destructor on another thread waits for it to fall.
  std::atomic<bool> m_running;
  // platform::threadCurrentId() of the thread that runs it; written before m_running is raised.
  std::atomic<std::uint64_t> m_runThread;
};
