// Windows standard streams that never hold the writer: a pipe is written only when it has room
// for the whole message.
#include "platform/output.h"

#include <windows.h>

namespace platform {

namespace {

// NtQueryInformationFile's answer for a pipe (FilePipeLocalInformation): the room left for
// writes in the pipe's buffer is its WriteQuotaAvailable.
struct PipeLocalInformation {
  ULONG namedPipeType;
  ULONG namedPipeConfiguration;
  ULONG maximumInstances;
  ULONG currentInstances;
  ULONG inboundQuota;
  ULONG readDataAvailable;
  ULONG outboundQuota;
  ULONG writeQuotaAvailable;
  ULONG namedPipeState;
  ULONG namedPipeEnd;
};
struct StatusBlock {
  union {
    LONG status;
    void* pointer;
  };
  ULONG_PTR information;
};
constexpr int kFilePipeLocalInformation = 24;
using QueryInformationFile = LONG(NTAPI*)(HANDLE file, StatusBlock* status, void* information,
                                          ULONG length, int informationClass);

// Whether a write of length bytes to the pipe would complete at once: the pipe's buffer has room
// for it. A pipe whose room cannot be asked (a handle without the right to) is written to.
bool PipeHasRoom(HANDLE pipe, std::size_t length) {
  static const auto query = reinterpret_cast<QueryInformationFile>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryInformationFile")));
  if (query == nullptr) return true;
  StatusBlock status{};
  PipeLocalInformation information{};
  if (query(pipe, &status, &information, sizeof information, kFilePipeLocalInformation) < 0) {
    return true;
  }
  return information.writeQuotaAvailable >= length;
}

}  // namespace

bool writeWhole(StandardStream stream, const char* text, std::size_t length) {
  HANDLE target =
      GetStdHandle(stream == StandardStream::kOutput ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
  // No stream at all (a program without a console): nothing to write to, nothing left out.
  if (target == nullptr || target == INVALID_HANDLE_VALUE) return true;
  if (GetFileType(target) == FILE_TYPE_PIPE && !PipeHasRoom(target, length)) return false;
  DWORD written = 0;
  return WriteFile(target, text, static_cast<DWORD>(length), &written, nullptr) != 0 &&
         written == length;
}

}  // namespace platform
