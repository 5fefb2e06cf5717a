// POSIX message box: the text goes to standard error, since no window system is assumed.
#include "platform/notice.h"

#include <cstring>

#include "platform/output.h"

namespace platform {

void showMessageBox(const char* text, unsigned /*style*/) {
  static_cast<void>(standardWrite(StandardStream::kError, text, std::strlen(text)));
}

// The text was written and nothing waits.
void closeMessageBoxes() {}

}  // namespace platform
