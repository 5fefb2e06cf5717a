// The one message the plug-in shows to the user.
#pragma once

namespace platform {

constexpr unsigned kMbOk = 0x0;
constexpr unsigned kMbIconExclamation = 0x30;

// Shows text in a message box with the given MB_ style and returns when the user closes it, or
// when closeMessageBoxes closes it. POSIX: writes the text to standard error and returns at once.
// Any thread.
void showMessageBox(const char* text, unsigned style);

// Closes every message box of showMessageBox that is open now, on whichever thread, as its OK
// button would, and keeps later ones from showing (the library is being unloaded). Returns at
// once. Any thread.
void closeMessageBoxes();

}  // namespace platform
