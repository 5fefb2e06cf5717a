// POSIX dialogs: no window system is assumed, so a dialog is a text dialog on two descriptors.
//
// Commands, one a line:
//   show            lists the controls again, with the check boxes' states
//   press ID        clicks a control: a button's command, or a check box toggled, then its command
//   check ID 0|1    sets a check box, as the program could; no command follows
//   ok              the Enter key: kDialogOk
//   cancel          the Escape key: kDialogCancel
//   close           the close box
// The end of the input acts as the close box. Lines written:
//   dialog ID "CAPTION" open | raised | closed RESULT
//   defbutton|button|check|group ID "TEXT" [0|1]     one per control, in template order
//   commands: ...                                   after the list of controls
//   pressed ID                                      once the command of a press has run
//   ? LINE: REASON                                  a command that was not understood
#include "platform/dialog.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <new>
#include <sstream>
#include <string>
#include <vector>

#include "platform/pump.h"

namespace platform {

struct Dialog {
  const DialogTemplate* dialogTemplate;
  DialogHandler* handler;
  int output;
  std::vector<char> checked;  // one per control
  std::atomic<bool> ended{false};
  std::atomic<int> result{0};
};

namespace {

// How long one wait for input lasts before the thread's tasks are looked at again.
constexpr int kPollMs = 20;
constexpr int kWriteWaitMs = 1000;
constexpr const char* kPrompt = "commands: press ID | check ID 0|1 | ok | cancel | close | show";

// A descriptor number from the environment, or the default; -1 when it names no open descriptor.
int descriptorFromEnvironment(const char* name, int defaultDescriptor) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return defaultDescriptor;
  char* end = nullptr;
  errno = 0;
  long value = std::strtol(text, &end, 10);
  if (errno != 0 || *end != '\0' || value < 0 || value > INT_MAX) return -1;
  int descriptor = static_cast<int>(value);
  return ::fcntl(descriptor, F_GETFD) == -1 ? -1 : descriptor;
}

// Writes one whole line. A reader that went away must not end the host with SIGPIPE: the signal
// is blocked on this thread for the write, and one that the write raised is taken off again.
void writeLine(int descriptor, const std::string& text) {
  std::string line = text + "\n";
  sigset_t pipeSignal;
  sigset_t previous;
  sigemptyset(&pipeSignal);
  sigaddset(&pipeSignal, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipeSignal, &previous);
  sigset_t pending;
  sigpending(&pending);
  bool wasPending = sigismember(&pending, SIGPIPE) == 1;

  const char* data = line.data();
  std::size_t left = line.size();
  bool broken = false;
  while (left > 0) {
    ssize_t written = ::write(descriptor, data, left);
    if (written >= 0) {
      data += written;
      left -= static_cast<std::size_t>(written);
      continue;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      pollfd ready{descriptor, POLLOUT, 0};
      if (::poll(&ready, 1, kWriteWaitMs) > 0) continue;
    }
    broken = errno == EPIPE;
    break;
  }
  if (broken && !wasPending) {
    timespec none{0, 0};
    sigtimedwait(&pipeSignal, nullptr, &none);
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

std::string header(const Dialog& dialog) {
  return "dialog " + std::to_string(dialog.dialogTemplate->resourceId) + " \"" +
         dialog.dialogTemplate->caption + "\"";
}

const char* kindName(DialogControlKind kind) {
  switch (kind) {
    case DialogControlKind::DefaultButton:
      return "defbutton";
    case DialogControlKind::Button:
      return "button";
    case DialogControlKind::CheckBox:
      return "check";
    case DialogControlKind::GroupBox:
      return "group";
  }
  return "control";
}

std::string controlLine(const Dialog& dialog, int index) {
  const DialogControl& control = dialog.dialogTemplate->controls[index];
  std::string line = std::string(kindName(control.kind)) + " " + std::to_string(control.id) +
                     " \"" + control.text + "\"";
  if (control.kind == DialogControlKind::CheckBox) line += dialog.checked[index] ? " 1" : " 0";
  return line;
}

void showControls(const Dialog& dialog) {
  for (int i = 0; i < dialog.dialogTemplate->controlCount; ++i) {
    writeLine(dialog.output, controlLine(dialog, i));
  }
  writeLine(dialog.output, kPrompt);
}

int controlIndex(const Dialog& dialog, int id) {
  for (int i = 0; i < dialog.dialogTemplate->controlCount; ++i) {
    if (dialog.dialogTemplate->controls[i].id == id) return i;
  }
  return -1;
}

// The close box: the handler hears of it, then the default answer, Cancel, follows.
void closeRequest(Dialog& dialog) {
  dialog.handler->onClose(&dialog);
  if (!dialog.ended) dialog.handler->onCommand(&dialog, kDialogCancel);
}

void refuse(const Dialog& dialog, const std::string& line, const char* reason) {
  writeLine(dialog.output, "? " + line + ": " + reason);
}

void runCommand(Dialog& dialog, const std::string& line) {
  std::istringstream words(line);
  std::string verb;
  if (!(words >> verb)) return;
  int id = 0;
  int state = 0;
  std::string extra;
  if (verb == "show" || verb == "ok" || verb == "cancel" || verb == "close") {
    if (words >> extra) return refuse(dialog, line, "takes no argument");
    if (verb == "show") showControls(dialog);
    if (verb == "ok") dialog.handler->onCommand(&dialog, kDialogOk);
    if (verb == "cancel") dialog.handler->onCommand(&dialog, kDialogCancel);
    if (verb == "close") closeRequest(dialog);
    return;
  }
  if (verb != "press" && verb != "check") {
    refuse(dialog, line, "unknown command");
    return writeLine(dialog.output, kPrompt);
  }
  if (!(words >> id)) return refuse(dialog, line, "which control?");
  int index = controlIndex(dialog, id);
  if (index < 0) return refuse(dialog, line, "no such control");
  DialogControlKind kind = dialog.dialogTemplate->controls[index].kind;
  if (verb == "press") {
    if (words >> extra) return refuse(dialog, line, "one control at a time");
    if (kind == DialogControlKind::GroupBox) return refuse(dialog, line, "not a button");
    if (kind == DialogControlKind::CheckBox) dialog.checked[index] = !dialog.checked[index];
    dialog.handler->onCommand(&dialog, id);
    return writeLine(dialog.output, "pressed " + std::to_string(id));
  }
  if (!(words >> state) || (state != 0 && state != 1) || (words >> extra)) {
    return refuse(dialog, line, "check ID 0|1");
  }
  if (kind != DialogControlKind::CheckBox) return refuse(dialog, line, "not a check box");
  dialog.checked[index] = static_cast<char>(state);
  writeLine(dialog.output, controlLine(dialog, index));
}

}  // namespace

int dialogRun(const DialogTemplate& dialogTemplate, DialogHandler* handler) try {
  int input = descriptorFromEnvironment("KVT_DIALOG_INPUT", STDIN_FILENO);
  int output = descriptorFromEnvironment("KVT_DIALOG_OUTPUT", STDERR_FILENO);
  if (input < 0 || output < 0 || handler == nullptr) return -1;

  Dialog dialog;
  dialog.dialogTemplate = &dialogTemplate;
  dialog.handler = handler;
  dialog.output = output;
  dialog.checked.assign(static_cast<std::size_t>(dialogTemplate.controlCount), 0);
  handler->onInit(&dialog);
  writeLine(output, header(dialog) + " open");
  showControls(dialog);

  // The window goes, and its handler hears of it, however the run ends.
  struct Destroy {
    Dialog& dialog;
    bool done = false;
    void now() {
      done = true;
      dialog.handler->onDestroy(&dialog);
    }
    ~Destroy() {
      if (!done) dialog.handler->onDestroy(&dialog);
    }
  } destroy{dialog};
  std::string line;
  bool inputOpen = true;
  while (!dialog.ended) {
    bool dispatched = pumpDispatchOne();
    if (dialog.ended) break;
    if (!inputOpen) {
      if (!dispatched) pumpWait(kPollMs);
      continue;
    }
    pollfd ready{input, POLLIN, 0};
    if (::poll(&ready, 1, dispatched ? 0 : kPollMs) <= 0) continue;
    // One byte at a time: what follows the command that ends the dialog stays unread for the
    // next reader of the descriptor (the host's own command loop, or the next dialog).
    char byte = 0;
    ssize_t got = ::read(input, &byte, 1);
    if (got < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (got <= 0) {
      inputOpen = false;
      if (!line.empty()) runCommand(dialog, line);
      if (!dialog.ended) closeRequest(dialog);
      continue;
    }
    if (byte != '\n') {
      line += byte;
      continue;
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    runCommand(dialog, line);
    line.clear();
  }
  destroy.now();
  writeLine(output, header(dialog) + " closed " + std::to_string(dialog.result));
  return dialog.result;
} catch (const std::bad_alloc&) {
  // A window that cannot be kept for want of memory is one that could not be made.
  return -1;
}

bool dialogIsChecked(Dialog* dialog, int id) {
  int index = controlIndex(*dialog, id);
  return index >= 0 && dialog->checked[index] != 0;
}

void dialogSetChecked(Dialog* dialog, int id, bool checked) {
  int index = controlIndex(*dialog, id);
  if (index >= 0) dialog->checked[index] = checked ? 1 : 0;
}

void dialogEnd(Dialog* dialog, int result) {
  dialog->result = result;
  dialog->ended = true;
}

void dialogRaise(Dialog* dialog) { writeLine(dialog->output, header(*dialog) + " raised"); }

}  // namespace platform
