// StalledTarget on a named pipe of one instance that waits for its client with an overlapped
// connect; reads are overlapped too, so that a stop is noticed within a few milliseconds.
#include "StalledTarget.h"

#include <windows.h>

namespace {
// The pipe's buffer: what a writer gets rid of before it stalls.
constexpr DWORD kPipeBufferBytes = 65536;

// An overlapped operation with its own event, kept on the heap for as long as it may be pending.
struct Pending {
  OVERLAPPED overlapped{};
  Pending() { overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr); }
  ~Pending() { CloseHandle(overlapped.hEvent); }
};
}  // namespace

StalledTarget::StalledTarget(const std::string& /*folder*/) {
  static std::atomic<int> counter{0};
  path_ = "\\\\.\\pipe\\kvt-stalled-" + std::to_string(GetCurrentProcessId()) + "-" +
          std::to_string(counter++);
  HANDLE pipe = CreateNamedPipeA(path_.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED,
                                 PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 0,
                                 kPipeBufferBytes, 0, nullptr);
  if (pipe == INVALID_HANDLE_VALUE) {
    error_ = "CreateNamedPipe: " + std::to_string(GetLastError());
    return;
  }
  handle_ = reinterpret_cast<std::intptr_t>(pipe);
  event_ = reinterpret_cast<std::intptr_t>(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  auto* connect = new Pending;
  connect_ = connect;
  // Pending until a writer opens the pipe.
  if (!ConnectNamedPipe(pipe, &connect->overlapped) && GetLastError() != ERROR_IO_PENDING &&
      GetLastError() != ERROR_PIPE_CONNECTED) {
    error_ = "ConnectNamedPipe: " + std::to_string(GetLastError());
    return;
  }
  ready_ = true;
}

StalledTarget::~StalledTarget() {
  stop_ = true;
  if (reader_.joinable()) reader_.join();
  auto* connect = static_cast<Pending*>(connect_);
  if (handle_ != -1) {
    HANDLE pipe = reinterpret_cast<HANDLE>(handle_);
    if (connect != nullptr && !HasOverlappedIoCompleted(&connect->overlapped)) {
      DWORD ignored = 0;
      CancelIoEx(pipe, &connect->overlapped);
      GetOverlappedResult(pipe, &connect->overlapped, &ignored, TRUE);
    }
    CloseHandle(pipe);
  }
  delete connect;
  if (event_ != -1) CloseHandle(reinterpret_cast<HANDLE>(event_));
}

void StalledTarget::Read() {
  HANDLE pipe = reinterpret_cast<HANDLE>(handle_);
  HANDLE event = reinterpret_cast<HANDLE>(event_);
  unsigned char piece[65536];
  while (!stop_) {
    OVERLAPPED read{};
    read.hEvent = event;
    ResetEvent(event);
    DWORD got = 0;
    if (!ReadFile(pipe, piece, sizeof piece, nullptr, &read)) {
      const DWORD error = GetLastError();
      if (error == ERROR_BROKEN_PIPE) break;
      if (error != ERROR_IO_PENDING) {
        Sleep(10);  // no writer yet
        continue;
      }
      while (!stop_ && WaitForSingleObject(event, 20) == WAIT_TIMEOUT) {
      }
      if (stop_) {
        CancelIoEx(pipe, &read);
        GetOverlappedResult(pipe, &read, &got, TRUE);
        return;
      }
    }
    if (!GetOverlappedResult(pipe, &read, &got, FALSE)) {
      if (GetLastError() == ERROR_BROKEN_PIPE) break;
      continue;
    }
    Keep(piece, got);
  }
  ended_ = true;
}
