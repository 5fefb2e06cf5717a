// The Windows process list and starting programs through the shell.
#include "platform/process.h"

#include <windows.h>
// shellapi.h and tlhelp32.h use the types that windows.h declares.
#include <shellapi.h>
#include <tlhelp32.h>

#include <cstdint>

namespace platform {

bool processForEach(bool (*visit)(const char* exeName, void* context), void* context) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPALL, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return false;
  PROCESSENTRY32 entry;
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
    if (visit(entry.szExeFile, context)) break;
  }
  CloseHandle(snapshot);
  return true;
}

bool programStart(const char* file, const char* parameters, int* error) {
  HINSTANCE result = ShellExecuteA(nullptr, "open", file, parameters, nullptr, SW_HIDE);
  const std::intptr_t code = reinterpret_cast<std::intptr_t>(result);
  // ShellExecute's own codes up to 32 are the system's for the same failures (2 file not found,
  // 3 path not found, 5 access denied); 0 is out of memory.
  *error = code > 32 ? 0 : (code == 0 ? ERROR_NOT_ENOUGH_MEMORY : static_cast<int>(code));
  return code > 32;
}

}  // namespace platform
