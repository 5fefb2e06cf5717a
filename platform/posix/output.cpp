// POSIX standard streams that never hold the writer: a pipe is written through a non-blocking
// description of its own, a socket with a send that does not wait.
#include "platform/output.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/posix/SignalFree.h"

namespace platform {

namespace {

// A write that a signal interrupts is made again; SIGPIPE is never raised.
ssize_t WriteWithoutSignal(int descriptor, const char* text, std::size_t length) {
  ssize_t written = 0;
  do {
    written = writeWithoutSignal(descriptor, text, length);
  } while (written < 0 && errno == EINTR);
  return written;
}

// A pipe or FIFO: opened again, non-blocking, so that the host's own description keeps its mode.
// A write of at most PIPE_BUF bytes is then whole or fails at once.
bool WritePipe(int descriptor, const char* text, std::size_t length) {
  if (length > PIPE_BUF) return false;
  char path[64];
  std::snprintf(path, sizeof path, "/proc/self/fd/%d", descriptor);
  const int own = ::open(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (own >= 0) {
    const ssize_t written = WriteWithoutSignal(own, text, length);
    ::close(own);
    return written == static_cast<ssize_t>(length);
  }
  // Without /proc: written only when the pipe has room now. A writer of the host's that fills it
  // in between would make this write wait; nothing better is to be had here.
  pollfd target{descriptor, POLLOUT, 0};
  if (::poll(&target, 1, 0) != 1 || (target.revents & POLLOUT) == 0) return false;
  return WriteWithoutSignal(descriptor, text, length) == static_cast<ssize_t>(length);
}

}  // namespace

bool writeWhole(StandardStream stream, const char* text, std::size_t length) {
  const int descriptor = stream == StandardStream::kOutput ? STDOUT_FILENO : STDERR_FILENO;
  struct stat status {};
  if (::fstat(descriptor, &status) != 0) return false;
  if (S_ISFIFO(status.st_mode)) return WritePipe(descriptor, text, length);
  if (S_ISSOCK(status.st_mode)) {
    const ssize_t sent = ::send(descriptor, text, length, MSG_DONTWAIT | MSG_NOSIGNAL);
    return sent == static_cast<ssize_t>(length);
  }
  // A file, a terminal or a device takes what it is given.
  std::size_t done = 0;
  while (done < length) {
    const ssize_t written = WriteWithoutSignal(descriptor, text + done, length - done);
    if (written <= 0) return false;
    done += static_cast<std::size_t>(written);
  }
  return true;
}

}  // namespace platform
