// Modal dialogs from a template: the window layer under the plug-in's settings dialog.
#pragma once

namespace platform {

// Commands the platform issues itself, with the Windows values IDOK and IDCANCEL.
constexpr int kDialogOk = 1;      // the default button, or the Enter key
constexpr int kDialogCancel = 2;  // the Escape key, and the default answer to a close request

enum class DialogControlKind { DefaultButton, Button, CheckBox, GroupBox };

struct DialogControl {
  int id;
  DialogControlKind kind;
  const char* text;
};

// A dialog template. Windows takes the whole dialog from the resource resourceId of the module
// that holds this code; the POSIX text layer shows the caption and the controls listed here.
struct DialogTemplate {
  int resourceId;
  const char* caption;
  const DialogControl* controls;  // in template order
  int controlCount;
};

// A running dialog's window; valid from onInit until onDestroy returns.
struct Dialog;

// What a running dialog reports; every call comes on the thread that runs the dialog.
class DialogHandler {
 public:
  // The controls exist and the window is not shown yet: set their states here.
  virtual void onInit(Dialog* dialog) = 0;
  // A control was clicked (a check box after its state changed), or kDialogOk or kDialogCancel.
  virtual void onCommand(Dialog* dialog, int id) = 0;
  // The close box or the system menu's Close. Afterwards the platform issues kDialogCancel.
  virtual void onClose(Dialog* dialog) = 0;
  // The window goes away; the handle is invalid once this returns.
  virtual void onDestroy(Dialog* dialog) = 0;

 protected:
  ~DialogHandler() = default;
};

// Runs the dialog modally on the calling thread with no parent window, so no other window is
// disabled. Between the dialog's own messages it keeps dispatching the thread's other messages
// and tasks (pumpDispatchOne), so other code may run, and call dialogRaise, during the run.
// Blocks until dialogEnd; returns its result, or -1 when the window cannot be made.
// POSIX: a text dialog that reads commands from the file descriptor named by KVT_DIALOG_INPUT
// (default 0) and writes one line per control and per event to KVT_DIALOG_OUTPUT (default 2);
// the end of the input acts as the close box. See platform/posix/dialog.cpp for the commands.
[[nodiscard]] int dialogRun(const DialogTemplate& dialogTemplate, DialogHandler* handler);

// A check box's state. Only from the handler's calls.
[[nodiscard]] bool dialogIsChecked(Dialog* dialog, int id);
void dialogSetChecked(Dialog* dialog, int id, bool checked);

// Ends the run with result once the handler call in progress returns. Any thread, until
// onDestroy; never blocks.
void dialogEnd(Dialog* dialog, int result);

// Brings the window to the top (BringWindowToTop); POSIX: writes a line that says so. Any
// thread, until onDestroy; never blocks.
void dialogRaise(Dialog* dialog);

}  // namespace platform
