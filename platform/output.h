// The plug-in's messages on the process's standard output and standard error, which belong to
// the host: written whole or not at all, never waiting for a reader.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

enum class StandardStream { kOutput, kError };

// Writes text to the stream whole, or leaves it out when the stream's target cannot take it at
// once (a pipe that nobody reads has filled up): it never waits for a reader, never raises
// SIGPIPE and holds no lock of the C runtime's, so it may be called under any lock of the library
// and by a thread the unload collects. Text the host's C runtime still buffers for the same
// stream may come after it. False when it was left out; the count of messages left out then
// grows. Any thread.
bool standardWrite(StandardStream stream, const char* text, std::size_t length);

// standardWrite of a formatted message of at most 1 KB.
__attribute__((format(printf, 2, 3))) bool standardPrint(StandardStream stream, const char* format,
                                                         ...);

// The messages left out so far by this load of the library, for the debug log. Any thread.
[[nodiscard]] std::uint64_t standardWritesLeftOut();

}  // namespace platform
