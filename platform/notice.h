// The one message the plug-in shows to the user.
#pragma once

namespace platform {

constexpr unsigned kMbOk = 0x0;
constexpr unsigned kMbIconExclamation = 0x30;

// Shows text in a message box with the given MB_ style and returns when the user closes it.
// POSIX: writes the text to standard error and returns at once.
void showMessageBox(const char* text, unsigned style);

}  // namespace platform
