// Counts of the test process's threads on Windows (process snapshot), and of its handles by type
// (the system's handle list, which GetProcessHandleCount does not give under Wine).
#include "ProcessResources.h"

#include <winsock2.h>
// winsock2.h must come before windows.h.
#include <windows.h>
// tlhelp32.h uses the types that windows.h declares.
#include <tlhelp32.h>

#include <vector>

namespace {

using QueryThread = LONG(WINAPI*)(HANDLE, int, PVOID, ULONG, PULONG);
using QuerySystem = LONG(WINAPI*)(int, PVOID, ULONG, PULONG);
using QueryObject = LONG(WINAPI*)(HANDLE, int, PVOID, ULONG, PULONG);
constexpr int kSystemExtendedHandleInformation = 64;
constexpr int kObjectTypeInformation = 2;
constexpr LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004);

struct HandleEntry {
  void* object;
  ULONG_PTR processId;
  ULONG_PTR handle;
  ULONG grantedAccess;
  USHORT creatorBackTraceIndex;
  USHORT objectTypeIndex;
  ULONG attributes;
  ULONG reserved;
};

struct HandleList {
  ULONG_PTR count;
  ULONG_PTR reserved;
  HandleEntry entries[1];
};

// The start of OBJECT_TYPE_INFORMATION: the type's name.
struct TypeName {
  USHORT length;
  USHORT maximumLength;
  PWSTR buffer;
};
constexpr int kThreadStartAddress = 9;  // ThreadQuerySetWin32StartAddress

void* NtFunction(const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), name));
}

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

std::map<std::string, int> CountHandlesByType() {
  static const auto querySystem =
      reinterpret_cast<QuerySystem>(NtFunction("NtQuerySystemInformation"));
  static const auto queryObject = reinterpret_cast<QueryObject>(NtFunction("NtQueryObject"));
  std::map<std::string, int> counts;
  if (querySystem == nullptr || queryObject == nullptr) return counts;
  std::string list(1 << 16, '\0');
  LONG status;
  while ((status = querySystem(kSystemExtendedHandleInformation, &list[0],
                               static_cast<ULONG>(list.size()), nullptr)) == kInfoLengthMismatch) {
    list.resize(list.size() * 2);
  }
  if (status != 0) return counts;
  const auto* handles = reinterpret_cast<const HandleList*>(list.data());
  const ULONG_PTR self = GetCurrentProcessId();
  for (ULONG_PTR i = 0; i < handles->count; ++i) {
    const HandleEntry& entry = handles->entries[i];
    if (entry.processId != self) continue;
    alignas(8) char type[1024];
    std::string name = "type " + std::to_string(entry.objectTypeIndex);
    if (queryObject(reinterpret_cast<HANDLE>(entry.handle), kObjectTypeInformation, type,
                    sizeof type, nullptr) == 0) {
      const auto* typeName = reinterpret_cast<const TypeName*>(type);
      name.clear();
      for (USHORT c = 0; c < typeName->length / sizeof(wchar_t); ++c) {
        name += static_cast<char>(typeName->buffer[c]);
      }
    }
    ++counts[name];
  }
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

int FreeThreadSlots() {
  std::vector<DWORD> slots;
  for (DWORD slot = TlsAlloc(); slot != TLS_OUT_OF_INDEXES; slot = TlsAlloc()) {
    slots.push_back(slot);
  }
  for (DWORD taken : slots) TlsFree(taken);
  return static_cast<int>(slots.size());
}
