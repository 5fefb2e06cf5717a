// Which process holds a local TCP port, from the system's TCP table with owners.
#include <windows.h>
#include <winsock2.h>
// iphlpapi.h and tlhelp32.h use the types that windows.h declares.
#include <iphlpapi.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/testing.h"

namespace platform {

namespace {

// The table of the given class, grown until it fits (connections may come between the calls).
bool TcpTable(TCP_TABLE_CLASS tableClass, std::vector<unsigned char>* table) {
  DWORD size = 0;
  for (int attempt = 0; attempt < 4; ++attempt) {
    DWORD result = GetExtendedTcpTable(table->empty() ? nullptr : table->data(), &size, FALSE,
                                       AF_INET, tableClass, 0);
    if (result == NO_ERROR) return true;
    if (result != ERROR_INSUFFICIENT_BUFFER) return false;
    table->resize(size + 1024);
    size = static_cast<DWORD>(table->size());
  }
  return false;
}

// The owner of the first row of the table whose local port is port; 0 when none.
DWORD OwnerOf(TCP_TABLE_CLASS tableClass, std::uint16_t port) {
  std::vector<unsigned char> buffer;
  if (!TcpTable(tableClass, &buffer) || buffer.empty()) return 0;
  const auto* table = reinterpret_cast<const MIB_TCPTABLE_OWNER_PID*>(buffer.data());
  for (DWORD i = 0; i < table->dwNumEntries; ++i) {
    const MIB_TCPROW_OWNER_PID& row = table->table[i];
    if (ntohs(static_cast<u_short>(row.dwLocalPort)) == port && row.dwOwningPid != 0) {
      return row.dwOwningPid;
    }
  }
  return 0;
}

void NameOf(DWORD processId, char* exeName, unsigned size) {
  exeName[0] = '\0';
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return;
  PROCESSENTRY32 entry;
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
    if (entry.th32ProcessID == processId) {
      std::snprintf(exeName, size, "%s", entry.szExeFile);
      break;
    }
  }
  CloseHandle(snapshot);
}

}  // namespace

bool socketPortHolder(std::uint16_t port, long long* processId, char* exeName, unsigned size) {
  DWORD owner = OwnerOf(TCP_TABLE_OWNER_PID_LISTENER, port);
  if (owner == 0) owner = OwnerOf(TCP_TABLE_OWNER_PID_ALL, port);
  if (owner == 0) return false;
  *processId = owner;
  if (size > 0) NameOf(owner, exeName, size);
  return true;
}

}  // namespace platform
