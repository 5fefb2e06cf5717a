// Files the library writes for the site's diagnosis: the debug log, an output that never holds
// its writer without a bound, however slowly its target takes bytes, and the folder listing that
// keeps a site's capture files within their limit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// What a path names now.
enum class PathKind {
  kMissing,  // nothing, or nothing that can be looked at
  kFile,     // a regular file
  kOther,    // a folder, a pipe or a device (Windows: every \\.\ name)
};

// Looks at path without opening it. Any thread; blocks only as long as the file system takes
// to answer.
[[nodiscard]] PathKind pathKind(const char* path);

// A file open for writing (fileOpenWrite).
struct OutputFile;

enum class FileCreate {
  kNew,       // makes a new file; fails with kExists when the name is taken
  kExisting,  // opens what is there (a pipe, a device) as it is, never truncating or making it
};

enum class FileOpenResult { kOpened, kExists, kFailed };

// Opens path for writing without waiting for a reader: a FIFO that nobody has open fails at
// once. Null on failure, with the result and the system's code (errno, GetLastError) in *error.
// Any thread; blocks only as long as the file system takes to open.
[[nodiscard]] OutputFile* fileOpenWrite(const char* path, FileCreate how, FileOpenResult* result,
                                        int* error);

// Writes the first bytes of data, at most length, waiting at most waitMs for a target that
// takes nothing (a pipe that its reader does not read, a share that stalls). Returns how many
// it wrote, 0 when the wait ended first, -1 on failure with the system's code in *error. After
// a 0 the caller passes the same bytes again: on Windows the write goes on in the background
// and a later call collects it. A reader that has gone is a failure, never a signal. Any one
// thread at a time.
[[nodiscard]] int fileWriteSome(OutputFile* file, const void* data, int length, unsigned waitMs,
                                int* error);

// Closes the file without waiting for the target: a write still under way is cancelled, and
// one that the system cannot cancel within a second keeps its buffer for ever instead of
// letting go of memory the system still writes from. Null does nothing.
void fileClose(OutputFile* file);

// A text file written line by line (the debug log), on the C runtime's streams.
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

// A file in a folder: its name without the folder, and its size.
struct FolderFile {
  std::string name;
  std::uint64_t size;
};

// The regular files of folder ("" is the current folder), in no particular order; false when
// the folder cannot be read. Any thread.
[[nodiscard]] bool folderListFiles(const char* folder, std::vector<FolderFile>* files);

// Deletes a file; false when it cannot be (on Windows also while another program has it open).
[[nodiscard]] bool fileRemove(const char* path);

}  // namespace platform
