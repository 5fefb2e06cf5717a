// POSIX output files behind the file contract: non-blocking descriptors and poll.
#include "platform/file.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <new>

#include "platform/posix/SignalFree.h"

namespace platform {

struct OutputFile {
  int descriptor;
};

PathKind pathKind(const char* path) {
  struct stat status {};
  if (::stat(path, &status) != 0) return PathKind::kMissing;
  return S_ISREG(status.st_mode) ? PathKind::kFile : PathKind::kOther;
}

OutputFile* fileOpenWrite(const char* path, FileCreate how, FileOpenResult* result, int* error) {
  // Non-blocking: a FIFO without a reader fails (ENXIO) instead of waiting for one, and a full
  // pipe makes a write return instead of waiting. Regular files ignore the flag.
  int flags = O_WRONLY | O_NONBLOCK | O_CLOEXEC;
  if (how == FileCreate::kNew) flags |= O_CREAT | O_EXCL;
  int descriptor = ::open(path, flags, 0666);
  if (descriptor < 0) {
    *error = errno;
    *result = errno == EEXIST ? FileOpenResult::kExists : FileOpenResult::kFailed;
    return nullptr;
  }
  auto* file = new (std::nothrow) OutputFile{descriptor};
  if (file == nullptr) {
    ::close(descriptor);
    *error = ENOMEM;
    *result = FileOpenResult::kFailed;
    return nullptr;
  }
  *result = FileOpenResult::kOpened;
  return file;
}

int fileWriteSome(OutputFile* file, const void* data, int length, unsigned waitMs, int* error) {
  if (length <= 0) return 0;
  timespec start{};
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (;;) {
    ssize_t written = writeWithoutSignal(file->descriptor, data, static_cast<std::size_t>(length));
    if (written >= 0) return static_cast<int>(written);
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      *error = errno;
      return -1;
    }
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const long long passedMs =
        (now.tv_sec - start.tv_sec) * 1000LL + (now.tv_nsec - start.tv_nsec) / 1000000LL;
    if (passedMs >= static_cast<long long>(waitMs)) return 0;
    pollfd target{file->descriptor, POLLOUT, 0};
    // An error or a hang-up wakes the poll too; the next write then reports it.
    if (::poll(&target, 1, static_cast<int>(waitMs - passedMs)) == 0) return 0;
  }
}

void fileClose(OutputFile* file) {
  if (file == nullptr) return;
  ::close(file->descriptor);
  delete file;
}

bool folderListFiles(const char* folder, std::vector<FolderFile>* files) {
  const int folderDescriptor =
      ::open(*folder != '\0' ? folder : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folderDescriptor < 0) return false;
  DIR* listing = ::fdopendir(folderDescriptor);
  if (listing == nullptr) {
    ::close(folderDescriptor);
    return false;
  }
  bool listed = true;
  try {
    while (const dirent* entry = ::readdir(listing)) {
      struct stat status {};
      if (::fstatat(folderDescriptor, entry->d_name, &status, 0) != 0) continue;
      if (!S_ISREG(status.st_mode)) continue;
      files->push_back({entry->d_name, static_cast<std::uint64_t>(status.st_size)});
    }
  } catch (const std::bad_alloc&) {
    listed = false;
  }
  ::closedir(listing);  // closes folderDescriptor too
  return listed;
}

bool fileRemove(const char* path) { return ::unlink(path) == 0; }

}  // namespace platform
