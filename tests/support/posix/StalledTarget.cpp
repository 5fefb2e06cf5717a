// StalledTarget on a FIFO, opened for reading without blocking so that a writer's open succeeds.
#include "StalledTarget.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

StalledTarget::StalledTarget(const std::string& folder) : path_(folder + "/stalled.fifo") {
  if (::mkfifo(path_.c_str(), 0600) != 0) {
    error_ = std::string("mkfifo: ") + std::strerror(errno);
    return;
  }
  handle_ = ::open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (handle_ < 0) {
    error_ = std::string("open: ") + std::strerror(errno);
    return;
  }
  ready_ = true;
}

StalledTarget::~StalledTarget() {
  stop_ = true;
  if (reader_.joinable()) reader_.join();
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
  ::unlink(path_.c_str());
}

void StalledTarget::Read() {
  const int descriptor = static_cast<int>(handle_);
  unsigned char piece[65536];
  while (!stop_) {
    pollfd wait{descriptor, POLLIN, 0};
    if (::poll(&wait, 1, 20) <= 0) continue;
    ssize_t got = ::read(descriptor, piece, sizeof piece);
    if (got > 0) {
      Keep(piece, static_cast<std::size_t>(got));
    } else if (got == 0) {
      ended_ = true;  // no writer has it open any more
      return;
    }
  }
}
