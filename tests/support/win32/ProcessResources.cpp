// Counts of the test process's threads (process snapshot) and handles.
#include "ProcessResources.h"

#include <winsock2.h>
// winsock2.h must come before windows.h.
#include <windows.h>
// tlhelp32.h uses the types that windows.h declares.
#include <tlhelp32.h>

ProcessResources CountProcessResources() {
  ProcessResources counts;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot != INVALID_HANDLE_VALUE) {
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    DWORD self = GetCurrentProcessId();
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
      if (entry.th32OwnerProcessID == self) ++counts.threads;
    }
    CloseHandle(snapshot);
  } else {
    counts.threads = -1;
  }
  DWORD handles = 0;
  counts.handles =
      GetProcessHandleCount(GetCurrentProcess(), &handles) ? static_cast<int>(handles) : -1;
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
