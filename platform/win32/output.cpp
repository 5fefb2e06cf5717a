// Windows standard streams that never hold the writer: a pipe is written only when it has room
// for the whole message.
#include "platform/output.h"

#include <windows.h>
#include <winternl.h>

namespace platform {

namespace {

// Whether a write of length bytes to the pipe would complete at once: the pipe's buffer has room
// for it (FilePipeLocalInformation's WriteQuotaAvailable). A pipe whose room cannot be asked (a
// handle without the right to) is written to. ntdll's function is bound when the library loads:
// looking it up here would take the loader lock, which the unloading thread holds while it waits
// for the thread that prints.
bool PipeHasRoom(HANDLE pipe, std::size_t length) {
  IO_STATUS_BLOCK status{};
  FILE_PIPE_LOCAL_INFORMATION information{};
  if (!NT_SUCCESS(NtQueryInformationFile(pipe, &status, &information, sizeof information,
                                         FilePipeLocalInformation))) {
    return true;
  }
  return information.WriteQuotaAvailable >= length;
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
