// The dialog driver for the real window under Windows: window messages from a second thread.
#pragma once

#include <windows.h>

#include "DialogDriver.h"

class WindowDialogDriver : public DialogDriver {
 public:
  static constexpr const char* kCaption = "Lumora Settings";
  // The class name of every dialog window.
  static constexpr const char* kDialogClass = "#32770";

  WindowDialogDriver() : dialogThreadId_(GetCurrentThreadId()) {}
  ~WindowDialogDriver() override;

  bool WaitOpen() override;
  bool WaitClosed() override;
  std::vector<ShownControl> Controls() override;
  int Checked(int id) override;
  bool Click(int id) override;
  bool Ok() override;
  bool Cancel() override;
  bool CloseBox() override;
  bool Cover() override;
  bool WaitRaised() override;
  void ForceClose() override;

  // The dialog's window once WaitOpen has found it.
  HWND window() const { return window_; }

 private:
  bool SendCommand(int id);
  // The dialog among the dialog thread's windows: another test program may show one too.
  HWND FindDialog() const;
  // Whether first comes before second in the order of the top-level windows.
  static bool Above(HWND first, HWND second);

  DWORD dialogThreadId_;
  HWND window_ = nullptr;
  HWND cover_ = nullptr;
};
