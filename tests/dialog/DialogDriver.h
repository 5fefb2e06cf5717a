// Drives the settings dialog from a second thread as a user would: through its window on
// Windows, through its text commands elsewhere. Every call waits a bounded time.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/pump.h"
#include "platform/testing.h"

// A control as the running dialog shows it.
struct ShownControl {
  std::string kind;  // "defbutton", "button", "check" or "group"
  int id;
  std::string text;
  int checked;  // check boxes: 0 or 1; others -1
};

class DialogDriver {
 public:
  // Made on the thread that will run the dialog, before it runs. POSIX: points the text
  // dialog's input and output at this driver until it is destroyed.
  static std::unique_ptr<DialogDriver> Create();
  virtual ~DialogDriver() = default;

  // Waits for the window to show.
  virtual bool WaitOpen() = 0;
  // Waits for the window to be gone.
  virtual bool WaitClosed() = 0;
  // The controls in template order, with the check boxes' states; empty when unreadable.
  virtual std::vector<ShownControl> Controls() = 0;
  // A check box's state: 1, 0, or -1 when it cannot be read.
  virtual int Checked(int id);
  // Clicks a control (a check box toggles) and returns once its action has run.
  virtual bool Click(int id) = 0;
  // The Enter key (IDOK), the Escape key (IDCANCEL), the close box; each returns true once
  // the window is gone.
  virtual bool Ok() = 0;
  virtual bool Cancel() = 0;
  virtual bool CloseBox() = 0;
  // Puts another window over the dialog (POSIX: nothing to do); true once it is there.
  virtual bool Cover() = 0;
  // Waits for the dialog to be raised: above the cover, or reported raised.
  virtual bool WaitRaised() = 0;
  // Ends a dialog that is still open, so that a failing test does not hang.
  virtual void ForceClose() = 0;

  // Runs task on the thread that made the driver, between the running dialog's messages.
  bool PostToDialogThread(std::function<void()> task);

 protected:
  DialogDriver() : dialogThread_(platform::pumpCurrentThread()) {}

 private:
  platform::PumpTarget* dialogThread_;
};

// Runs config on this thread, as the host's thread runs Config, while script drives the dialog
// from another thread; returns config's result. A dialog still open a few seconds after script
// is done is closed by force; one that does not close even then stops the test program.
int RunDialog(DialogDriver& driver, const std::function<int()>& config,
              const std::function<void(DialogDriver&)>& script);

// Sets a variable of this process's environment (POSIX: the text dialog's and the registry
// file's variables are read from there).
void SetTestEnvironment(const std::string& name, const std::string& value);

// Presses OK on every message box the plug-in shows, as its user would, from a thread of its own
// while it lives, so that a box that a failure brings up does not hold the thread that showed it.
// POSIX: the box is a line on standard error, and there is nothing to close.
class MessageBoxCloser {
 public:
  MessageBoxCloser();
  ~MessageBoxCloser();
  MessageBoxCloser(const MessageBoxCloser&) = delete;
  MessageBoxCloser& operator=(const MessageBoxCloser&) = delete;

  // The boxes closed so far.
  int closed() const { return closed_; }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<int> closed_{0};
  std::thread thread_;
};
