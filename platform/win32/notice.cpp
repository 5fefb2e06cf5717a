// The plug-in's message box.
#include "platform/notice.h"

#include <windows.h>

namespace platform {

void showMessageBox(const char* text, unsigned style) {
  MessageBoxA(nullptr, text, "KvtScannerLumora", style);
}

}  // namespace platform
