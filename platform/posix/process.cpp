// POSIX process list (from /proc) and detached program starts.
#include "platform/process.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace platform {
namespace {

std::string baseName(const std::string& path) {
  std::string::size_type slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The executable's file name: the target of /proc/PID/exe, else argument 0 of the command line
// (a process of another user, or a kernel thread, has no readable exe link).
bool executableName(const char* pid, std::string* name) {
  std::string folder = std::string("/proc/") + pid;
  char target[4096];
  ssize_t length = ::readlink((folder + "/exe").c_str(), target, sizeof target - 1);
  if (length > 0) {
    target[length] = '\0';
    std::string path(target);
    const std::string deleted = " (deleted)";
    if (path.size() > deleted.size() &&
        path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0) {
      path.resize(path.size() - deleted.size());
    }
    *name = baseName(path);
    return !name->empty();
  }
  int file = ::open((folder + "/cmdline").c_str(), O_RDONLY | O_CLOEXEC);
  if (file < 0) return false;
  char argument0[4096];
  ssize_t read = ::read(file, argument0, sizeof argument0 - 1);
  ::close(file);
  if (read <= 0) return false;
  argument0[read] = '\0';
  *name = baseName(argument0);
  return !name->empty();
}

}  // namespace

bool processForEach(bool (*visit)(const char* exeName, void* context), void* context) {
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return false;
  bool listed = true;
  try {
    while (dirent* entry = ::readdir(proc)) {
      if (!std::isdigit(static_cast<unsigned char>(entry->d_name[0]))) continue;
      std::string name;
      if (executableName(entry->d_name, &name) && visit(name.c_str(), context)) break;
    }
  } catch (const std::bad_alloc&) {
    listed = false;
  }
  ::closedir(proc);
  return listed;
}

namespace {

// errno as the Windows code that the same failure gives there.
int windowsError(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
      return 2;  // ERROR_FILE_NOT_FOUND
    case EACCES:
    case EPERM:
      return 5;  // ERROR_ACCESS_DENIED
    case ENOMEM:
    case EAGAIN:
      return 8;  // ERROR_NOT_ENOUGH_MEMORY
    case ENOEXEC:
      return 193;  // ERROR_BAD_EXE_FORMAT
    default:
      return error;
  }
}

bool startFailed(int* error, int code) {
  *error = windowsError(code);
  return false;
}

}  // namespace

bool programStart(const char* file, const char* parameters, int* error) try {
  *error = 0;
  if (file == nullptr || *file == '\0') return startFailed(error, ENOENT);
  // Everything the child needs is prepared before fork: after it, only async-signal-safe
  // calls are allowed in a process that has other threads.
  std::vector<std::string> words{file};
  std::string text = parameters != nullptr ? parameters : "";
  std::string::size_type at = 0;
  while (at < text.size()) {
    std::string::size_type start = text.find_first_not_of(' ', at);
    if (start == std::string::npos) break;
    std::string::size_type end = text.find(' ', start);
    if (end == std::string::npos) end = text.size();
    words.push_back(text.substr(start, end - start));
    at = end;
  }
  std::vector<char*> argv;
  argv.reserve(words.size() + 1);
  for (std::string& word : words) argv.push_back(&word[0]);
  argv.push_back(nullptr);
  if (::access(file, X_OK) != 0) return startFailed(error, errno);

  // Fork twice so that the program is adopted by init and never left as our zombie; the
  // middle child reports through a pipe whether exec succeeded.
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) return startFailed(error, errno);
  pid_t child = ::fork();
  if (child < 0) {
    int forkError = errno;
    ::close(report[0]);
    ::close(report[1]);
    return startFailed(error, forkError);
  }
  if (child == 0) {
    ::setsid();
    pid_t grandchild = ::fork();
    if (grandchild != 0) ::_exit(grandchild < 0 ? 1 : 0);
    int nothing = ::open("/dev/null", O_RDONLY);
    if (nothing >= 0) {
      ::dup2(nothing, 0);
      if (nothing != 0) ::close(nothing);
    }
    ::execv(file, argv.data());
    int error = errno;
    ssize_t ignored = ::write(report[1], &error, sizeof error);
    (void)ignored;
    ::_exit(127);
  }
  ::close(report[1]);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  int execError = 0;
  ssize_t got;
  do {
    got = ::read(report[0], &execError, sizeof execError);
  } while (got < 0 && errno == EINTR);
  ::close(report[0]);
  if (got > 0) return startFailed(error, execError);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return startFailed(error, EAGAIN);
  return true;
} catch (const std::bad_alloc&) {
  return startFailed(error, ENOMEM);
}

}  // namespace platform
