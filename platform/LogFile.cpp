// Files on the C runtime's streams, the same on every platform: its text mode gives each
// platform's own line ends.
#include <cerrno>
#include <cstdio>
#include <new>

#include "platform/file.h"

namespace platform {

struct File {
  std::FILE* stream;
};

File* fileOpen(const char* path, FileOpenMode /*mode*/, int* error) {
  std::FILE* stream = std::fopen(path, "r+");
  if (stream == nullptr) stream = std::fopen(path, "w+");
  if (stream == nullptr) {
    *error = errno;
    return nullptr;
  }
  File* file = new (std::nothrow) File{stream};
  if (file == nullptr) {
    std::fclose(stream);
    *error = ENOMEM;
  }
  return file;
}

bool fileWrite(File* file, const void* data, std::size_t size, int* error) {
  if (std::fwrite(data, 1, size, file->stream) == size && std::fflush(file->stream) == 0)
    return true;
  *error = errno;
  return false;
}

void fileClose(File* file) {
  if (file == nullptr) return;
  std::fclose(file->stream);
  delete file;
}

}  // namespace platform
