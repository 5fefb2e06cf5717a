// Files the library writes itself: the debug log.
#pragma once

#include <cstddef>

namespace platform {

struct File;

// How fileOpen opens a file for writing.
enum class FileOpenMode {
  // Text, kept and written over from its start when it exists, created when it does not (the C
  // runtime's "r+", then "w+"): line ends as the platform writes text.
  kOverwriteText,
};

// Opens path for writing; null on failure, with the C runtime's errno value in *error. Any
// thread; blocks only as long as the file system does.
[[nodiscard]] File* fileOpen(const char* path, FileOpenMode mode, int* error);

// Writes size bytes and flushes them to the system, so that they survive a host that ends
// abruptly. False when not all of them reached it (a full disk, a file system gone), with errno's
// value in *error. Any thread, one at a time per file.
[[nodiscard]] bool fileWrite(File* file, const void* data, std::size_t size, int* error);

// Closes the file. A null file is ignored.
void fileClose(File* file);

}  // namespace platform
