// A stalled standard output on POSIX: a pipe, filled through a non-blocking description of its
// own, on descriptor 1.
#include "StalledOutput.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>

StalledOutput::StalledOutput() {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) return;
  // Full: what nobody reads fills the pipe's buffer, then a blocking write waits.
  ::fcntl(ends[1], F_SETFL, O_NONBLOCK);
  char block[4096] = {};
  while (::write(ends[1], block, sizeof block) > 0) {
  }
  ::fcntl(ends[1], F_SETFL, 0);
  std::fflush(stdout);
  savedOutput_ = ::dup(STDOUT_FILENO);
  if (savedOutput_ < 0 || ::dup2(ends[1], STDOUT_FILENO) < 0) {
    ::close(ends[0]);
    ::close(ends[1]);
    return;
  }
  ::close(ends[1]);
  reader_ = ends[0];
  ready_ = true;
}

void StalledOutput::Restore() {
  if (!ready_) return;
  ready_ = false;
  ::dup2(static_cast<int>(savedOutput_), STDOUT_FILENO);
  ::close(static_cast<int>(savedOutput_));
  // A writer that waited for room writes into its own reference to the pipe: it is read until
  // nothing has come for a moment.
  const int reader = static_cast<int>(reader_);
  char block[4096];
  pollfd wait{reader, POLLIN, 0};
  while (::poll(&wait, 1, 500) == 1 && ::read(reader, block, sizeof block) > 0) {
  }
  ::close(reader);
}

std::FILE* RedirectStandardStreams(const std::string& outputPath, const std::string& errorPath) {
  const int output = ::open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const int error = ::open(errorPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const int saved = ::dup(STDOUT_FILENO);
  std::FILE* original = saved >= 0 ? ::fdopen(saved, "w") : nullptr;
  if (output < 0 || error < 0 || original == nullptr) {
    for (int descriptor : {output, error}) {
      if (descriptor >= 0) ::close(descriptor);
    }
    if (original != nullptr) {
      std::fclose(original);
    } else if (saved >= 0) {
      ::close(saved);
    }
    return nullptr;
  }
  std::fflush(stdout);
  std::fflush(stderr);
  ::dup2(output, STDOUT_FILENO);
  ::dup2(error, STDERR_FILENO);
  ::close(output);
  ::close(error);
  return original;
}

void CloseWithReset(platform::SocketHandle socket) {
  const linger now{1, 0};
  ::setsockopt(static_cast<int>(socket), SOL_SOCKET, SO_LINGER, &now, sizeof now);
  ::close(static_cast<int>(socket));
}
