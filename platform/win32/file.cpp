// Windows output files behind the file contract: overlapped writes, so that a write to a named
// pipe or a share that stalls can be waited for with a bound and cancelled.
#include "platform/file.h"

#include <windows.h>

#include <cstring>
#include <string>

namespace platform {

namespace {
// The most one write takes: the bytes are copied into the file's own buffer, which must stay
// valid for as long as the system writes from it.
constexpr DWORD kPieceBytes = 1 << 20;
constexpr DWORD kCancelWaitMs = 1000;
}  // namespace

// From the process heap, so that a record whose write could not be cancelled outlives the
// library.
struct OutputFile {
  HANDLE handle;
  HANDLE event;  // manual reset, set when the write in flight ends
  OVERLAPPED overlapped;
  std::uint64_t offset;  // where the next write goes; pipes and devices ignore it
  bool inFlight;
  unsigned char piece[kPieceBytes];
};

PathKind pathKind(const char* path) {
  // \\.\ names pipes and devices; asking for their attributes would open them.
  auto separator = [](char c) { return c == '\\' || c == '/'; };
  if (separator(path[0]) && separator(path[1]) && path[2] == '.' && separator(path[3])) {
    return PathKind::kOther;
  }
  DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return PathKind::kMissing;
  if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0)
    return PathKind::kOther;
  return PathKind::kFile;
}

OutputFile* fileOpenWrite(const char* path, FileCreate how, FileOpenResult* result, int* error) {
  HANDLE handle = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              how == FileCreate::kNew ? CREATE_NEW : OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    *error = static_cast<int>(GetLastError());
    *result = *error == ERROR_FILE_EXISTS ? FileOpenResult::kExists : FileOpenResult::kFailed;
    return nullptr;
  }
  auto* file = static_cast<OutputFile*>(HeapAlloc(GetProcessHeap(), 0, sizeof(OutputFile)));
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (file == nullptr || event == nullptr) {
    *error = static_cast<int>(file == nullptr ? ERROR_NOT_ENOUGH_MEMORY : GetLastError());
    if (file != nullptr) HeapFree(GetProcessHeap(), 0, file);
    if (event != nullptr) CloseHandle(event);
    CloseHandle(handle);
    *result = FileOpenResult::kFailed;
    return nullptr;
  }
  file->handle = handle;
  file->event = event;
  file->offset = 0;
  file->inFlight = false;
  *result = FileOpenResult::kOpened;
  return file;
}

int fileWriteSome(OutputFile* file, const void* data, int length, unsigned waitMs, int* error) {
  if (length <= 0) return 0;
  if (!file->inFlight) {
    const DWORD piece =
        static_cast<DWORD>(length) < kPieceBytes ? static_cast<DWORD>(length) : kPieceBytes;
    std::memcpy(file->piece, data, piece);
    std::memset(&file->overlapped, 0, sizeof file->overlapped);
    file->overlapped.Offset = static_cast<DWORD>(file->offset);
    file->overlapped.OffsetHigh = static_cast<DWORD>(file->offset >> 32);
    file->overlapped.hEvent = file->event;
    ResetEvent(file->event);
    if (!WriteFile(file->handle, file->piece, piece, nullptr, &file->overlapped) &&
        GetLastError() != ERROR_IO_PENDING) {
      *error = static_cast<int>(GetLastError());
      return -1;
    }
    // Also a write that completed at once has set the event.
    file->inFlight = true;
  }
  if (WaitForSingleObject(file->event, waitMs) != WAIT_OBJECT_0) return 0;
  file->inFlight = false;
  DWORD written = 0;
  if (!GetOverlappedResult(file->handle, &file->overlapped, &written, FALSE)) {
    *error = static_cast<int>(GetLastError());
    return -1;
  }
  file->offset += written;
  return static_cast<int>(written);
}

void fileClose(OutputFile* file) {
  if (file == nullptr) return;
  if (file->inFlight) {
    CancelIoEx(file->handle, &file->overlapped);
    if (WaitForSingleObject(file->event, kCancelWaitMs) != WAIT_OBJECT_0) {
      // The system may still write from the piece and into the OVERLAPPED and the event: they
      // are kept for the process's life.
      CloseHandle(file->handle);
      return;
    }
  }
  CloseHandle(file->handle);
  CloseHandle(file->event);
  HeapFree(GetProcessHeap(), 0, file);
}

bool folderListFiles(const char* folder, std::vector<FolderFile>* files) {
  std::string pattern = folder;
  if (!pattern.empty() && pattern.back() != '\\' && pattern.back() != '/') pattern += '\\';
  pattern += '*';
  WIN32_FIND_DATAA found;
  HANDLE search =
      FindFirstFileExA(pattern.c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0);
  if (search == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND;
  do {
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) continue;
    files->push_back({found.cFileName,
                      static_cast<std::uint64_t>(found.nFileSizeHigh) << 32 | found.nFileSizeLow});
  } while (FindNextFileA(search, &found));
  FindClose(search);
  return true;
}

bool fileRemove(const char* path) { return DeleteFileA(path) != 0; }

}  // namespace platform
