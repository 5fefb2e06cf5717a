// The POSIX writes without SIGPIPE.
#include "platform/posix/SignalFree.h"

#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

namespace platform {

ssize_t writeWithoutSignal(int descriptor, const void* data, std::size_t length) {
  sigset_t pipeOnly, previous, pending;
  sigemptyset(&pipeOnly);
  sigaddset(&pipeOnly, SIGPIPE);
  sigpending(&pending);
  const bool alreadyPending = sigismember(&pending, SIGPIPE) == 1;
  pthread_sigmask(SIG_BLOCK, &pipeOnly, &previous);
  ssize_t written = ::write(descriptor, data, length);
  const int writeError = errno;
  if (written < 0 && writeError == EPIPE && !alreadyPending) {
    const timespec none{0, 0};
    while (sigtimedwait(&pipeOnly, nullptr, &none) < 0 && errno == EINTR) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  errno = writeError;
  return written;
}

}  // namespace platform
