// Windows modules, the current directory, and loading DLLs by path.
#include "platform/module.h"

#include <windows.h>

#include <cstdio>

#include "platform/testing.h"

namespace platform {

const char* const kLibraryExtension = ".dll";
const char kPathSeparator = '\\';

bool moduleIsLoaded(const char* fileName) { return GetModuleHandleA(fileName) != nullptr; }

namespace {
// Set by the DLL's own entry point (platform/win32/library/ProcessDetach.cpp) before the
// library's static objects are destroyed.
volatile LONG g_processEnding = 0;
}  // namespace

void noteProcessDetach(bool processEnds) {
  InterlockedExchange(&g_processEnding, processEnds ? 1 : 0);
}

bool processEnding() { return InterlockedCompareExchange(&g_processEnding, 0, 0) != 0; }

bool currentDirectory(char* out, unsigned size) {
  DWORD length = GetCurrentDirectoryA(size, out);
  if (length == 0 || length >= size) {
    if (size > 0) out[0] = '\0';
    return false;
  }
  return true;
}

void* libraryLoad(const char* path) { return LoadLibraryA(path); }

void* librarySymbol(void* library, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

bool libraryUnload(void* library) { return FreeLibrary(static_cast<HMODULE>(library)) != 0; }

const char* libraryError() {
  static char text[512];
  DWORD error = GetLastError();
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                error, 0, text, sizeof text, nullptr);
  // System messages end with a line break.
  while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r')) --length;
  if (length == 0) {
    std::snprintf(text, sizeof text, "system error %lu", static_cast<unsigned long>(error));
  } else {
    text[length] = '\0';
  }
  return text;
}

bool executablePath(char* out, unsigned size) {
  if (size == 0) return false;
  DWORD length = GetModuleFileNameA(nullptr, out, size);
  if (length == 0 || length >= size) {
    out[0] = '\0';
    return false;
  }
  return true;
}

}  // namespace platform
