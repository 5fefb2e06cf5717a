// A stalled standard output on Windows: an anonymous pipe, filled while its writing end does not
// wait, as the process's standard output handle and the C runtime's descriptor 1.
#include "StalledOutput.h"

#include <winsock2.h>
// winsock2.h must come before windows.h.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>

StalledOutput::StalledOutput() {
  HANDLE reader = nullptr;
  HANDLE writer = nullptr;
  if (!CreatePipe(&reader, &writer, nullptr, 4096)) return;
  DWORD noWait = PIPE_NOWAIT;
  DWORD wait = PIPE_WAIT;
  SetNamedPipeHandleState(writer, &noWait, nullptr, nullptr);
  char block[4096] = {};
  DWORD written = 0;
  for (int i = 0;
       i < 64 && WriteFile(writer, block, sizeof block, &written, nullptr) && written > 0; ++i) {
  }
  SetNamedPipeHandleState(writer, &wait, nullptr, nullptr);
  std::fflush(stdout);
  const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(writer), _O_BINARY);
  savedOutput_ = _dup(1);
  if (descriptor < 0 || savedOutput_ < 0 || _dup2(descriptor, 1) != 0) {
    CloseHandle(reader);
    CloseHandle(writer);
    return;
  }
  savedHandle_ = reinterpret_cast<intptr_t>(GetStdHandle(STD_OUTPUT_HANDLE));
  SetStdHandle(STD_OUTPUT_HANDLE, reinterpret_cast<HANDLE>(_get_osfhandle(1)));
  _close(descriptor);
  reader_ = reinterpret_cast<intptr_t>(reader);
  ready_ = true;
}

void StalledOutput::Restore() {
  if (!ready_) return;
  ready_ = false;
  SetStdHandle(STD_OUTPUT_HANDLE, reinterpret_cast<HANDLE>(savedHandle_));
  _dup2(static_cast<int>(savedOutput_), 1);
  _close(static_cast<int>(savedOutput_));
  // A writer that waited for room writes into its own reference to the pipe: it is read until
  // nothing has come for a moment.
  HANDLE reader = reinterpret_cast<HANDLE>(reader_);
  char block[4096];
  for (int quiet = 0; quiet < 50;) {
    DWORD available = 0;
    if (!PeekNamedPipe(reader, nullptr, 0, nullptr, &available, nullptr)) break;
    if (available == 0) {
      ++quiet;
      Sleep(10);
      continue;
    }
    quiet = 0;
    DWORD read = 0;
    if (!ReadFile(reader, block, sizeof block, &read, nullptr)) break;
  }
  CloseHandle(reader);
}

namespace {

// A file that the process writes as its standard stream while others read it.
int OpenStreamFile(const std::string& path) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return -1;
  const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_BINARY);
  if (descriptor < 0) CloseHandle(file);
  return descriptor;
}

}  // namespace

std::FILE* RedirectStandardStreams(const std::string& outputPath, const std::string& errorPath) {
  const int output = OpenStreamFile(outputPath);
  const int error = OpenStreamFile(errorPath);
  const int saved = _dup(1);
  std::FILE* original = saved >= 0 ? _fdopen(saved, "wb") : nullptr;
  if (output < 0 || error < 0 || original == nullptr) {
    for (int descriptor : {output, error}) {
      if (descriptor >= 0) _close(descriptor);
    }
    if (original != nullptr) {
      std::fclose(original);
    } else if (saved >= 0) {
      _close(saved);
    }
    return nullptr;
  }
  std::fflush(stdout);
  std::fflush(stderr);
  _dup2(output, 1);
  _dup2(error, 2);
  _close(output);
  _close(error);
  SetStdHandle(STD_OUTPUT_HANDLE, reinterpret_cast<HANDLE>(_get_osfhandle(1)));
  SetStdHandle(STD_ERROR_HANDLE, reinterpret_cast<HANDLE>(_get_osfhandle(2)));
  return original;
}

void CloseWithReset(platform::SocketHandle socket) {
  const linger now{1, 0};
  setsockopt(static_cast<SOCKET>(socket), SOL_SOCKET, SO_LINGER,
             reinterpret_cast<const char*>(&now), sizeof now);
  closesocket(static_cast<SOCKET>(socket));
}
