// POSIX message box: the text goes to standard error, since no window system is assumed.
#include "platform/notice.h"

#include <cstdio>

namespace platform {

void showMessageBox(const char* text, unsigned /*style*/) {
  std::fputs(text, stderr);
  std::fflush(stderr);
}

// The text was written and nothing waits.
void closeMessageBoxes() {}

}  // namespace platform
