// A write that never raises SIGPIPE in the host's process, for the POSIX layer's own writers.
#pragma once

#include <sys/types.h>

#include <cstddef>

namespace platform {

// write(2) of at most length bytes, with SIGPIPE held back on the calling thread for the write
// and taken back when the write raised it: a reader that has gone makes it fail with EPIPE, and
// nothing else changes. The result and errno are write's.
ssize_t writeWithoutSignal(int descriptor, const void* data, std::size_t length);

}  // namespace platform
