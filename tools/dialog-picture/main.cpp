// Opens the plug-in's settings dialog for a picture of it: prints the window's rectangle once it
// has been drawn, and cancels the dialog when the file named on the command line appears.
#include <windows.h>

#include <cstdio>
#include <string>

#include "shell/KvtScannerApi.h"

namespace {

constexpr int kWaitSteps = 1000;  // of 10 ms
constexpr DWORD kPaintMs = 500;
const char* g_doneFile = nullptr;

DWORD WINAPI Watch(void*) {
  HWND window = nullptr;
  for (int i = 0; i < kWaitSteps && window == nullptr; ++i) {
    window = FindWindowA("#32770", "Lumora Settings");
    if (window == nullptr) Sleep(10);
  }
  if (window == nullptr) {
    std::puts("no window");
    std::fflush(stdout);
    return 1;
  }
  Sleep(kPaintMs);
  RECT area;
  GetWindowRect(window, &area);
  std::printf("window %ld %ld %ld %ld\n", area.left, area.top, area.right - area.left,
              area.bottom - area.top);
  std::fflush(stdout);
  for (int i = 0; i < 6 * kWaitSteps; ++i) {
    if (GetFileAttributesA(g_doneFile) != INVALID_FILE_ATTRIBUTES) break;
    Sleep(10);
  }
  PostMessageA(window, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: dialog-picture DONE-FILE\n", stderr);
    return 2;
  }
  g_doneFile = argv[1];
  char program[MAX_PATH];
  DWORD length = GetModuleFileNameA(nullptr, program, sizeof program);
  std::string library(program, length);
  library = library.substr(0, library.find_last_of("\\/") + 1) + "KvtScannerLumora.dll";
  HMODULE plugin = LoadLibraryA(library.c_str());
  auto config = plugin != nullptr ? reinterpret_cast<kvt::ConfigFn>(
                                        reinterpret_cast<void*>(GetProcAddress(plugin, "Config")))
                                  : nullptr;
  if (config == nullptr) {
    std::fprintf(stderr, "cannot load %s\n", library.c_str());
    return 1;
  }
  HANDLE watcher = CreateThread(nullptr, 0, Watch, nullptr, 0, nullptr);
  config();
  WaitForSingleObject(watcher, INFINITE);
  CloseHandle(watcher);
  FreeLibrary(plugin);
  return 0;
}
