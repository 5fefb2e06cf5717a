// Counts of the test process's threads on Windows (process snapshot); handles are not counted.
#include "ProcessResources.h"

#include <winsock2.h>
// winsock2.h must come before windows.h.
#include <windows.h>
// tlhelp32.h uses the types that windows.h declares.
#include <tlhelp32.h>

namespace {

using QueryThread = LONG(WINAPI*)(HANDLE, int, PVOID, ULONG, PULONG);
constexpr int kThreadStartAddress = 9;  // ThreadQuerySetWin32StartAddress

FARPROC NtFunction(const char* name) { return GetProcAddress(GetModuleHandleA("ntdll.dll"), name); }

// Whether the thread started in the test program itself: the simulator's threads and the test
// framework's own helpers, which come and go on their own schedule. The plug-in's threads start
// in the plug-in (or, once it is gone, nowhere).
bool StartsInTheTestProgram(DWORD threadId) {
  static const auto query = reinterpret_cast<QueryThread>(NtFunction("NtQueryInformationThread"));
  auto* image = reinterpret_cast<const unsigned char*>(GetModuleHandleA(nullptr));
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(image + dos->e_lfanew);
  HANDLE thread = OpenThread(THREAD_QUERY_INFORMATION, FALSE, threadId);
  if (thread == nullptr || query == nullptr) return false;
  void* start = nullptr;
  bool known = query(thread, kThreadStartAddress, &start, sizeof start, nullptr) == 0;
  CloseHandle(thread);
  auto address = reinterpret_cast<const unsigned char*>(start);
  return known && address >= image && address < image + nt->OptionalHeader.SizeOfImage;
}

}  // namespace

ProcessResources CountProcessResources() {
  ProcessResources counts;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot != INVALID_HANDLE_VALUE) {
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    const DWORD self = GetCurrentProcessId();
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
      if (entry.th32OwnerProcessID == self && !StartsInTheTestProgram(entry.th32ThreadID)) {
        ++counts.threads;
      }
    }
    CloseHandle(snapshot);
  } else {
    counts.threads = -1;
  }
  // Not counted: the C++ runtime's threads library keeps two handles of the loading thread at
  // each load, and the system libraries open some once, on first use, in whichever case comes
  // first; neither can be told from a leak of the plug-in here.
  counts.handles = -1;
  return counts;
}

void WarmUpProcessResources() {
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) == 0) {
    SOCKET probe = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (probe != INVALID_SOCKET) closesocket(probe);
    WSACleanup();
  }
  MSG message;
  PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE);
  CountProcessResources();
}
