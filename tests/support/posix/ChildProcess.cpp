// Child processes of a test on POSIX: fork and exec, SIGKILL and wait.
#include "ChildProcess.h"

#include <dirent.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include "TempDir.h"
#include "Wait.h"

bool ChildProcess::Start(const std::string& program, const std::vector<std::string>& arguments) {
  std::vector<std::string> words{program};
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  argv.reserve(words.size() + 1);
  for (std::string& word : words) argv.push_back(&word[0]);
  argv.push_back(nullptr);
  pid_t child = ::fork();
  if (child < 0) return false;
  if (child == 0) {
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  id_ = child;
  return true;
}

void ChildProcess::Kill() {
  if (id_ <= 0) return;
  ::kill(static_cast<pid_t>(id_), SIGKILL);
  ::waitpid(static_cast<pid_t>(id_), nullptr, 0);
  id_ = 0;
}

bool ChildProcess::WaitForExit(int timeoutMs, int* exitCode) {
  if (id_ <= 0) return false;
  int status = 0;
  if (!WaitUntil([&] { return ::waitpid(static_cast<pid_t>(id_), &status, WNOHANG) == id_; },
                 timeoutMs, 2)) {
    return false;
  }
  id_ = 0;
  *exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return true;
}

void SetTestEnvironment(const char* name, const char* value) {
  if (value != nullptr) {
    ::setenv(name, value, 1);
  } else {
    ::unsetenv(name);
  }
}

void KillProcesses(const char* exeName) {
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return;
  // The kernel keeps the first 15 characters of the name.
  const std::string wanted = std::string(exeName).substr(0, 15);
  while (dirent* entry = ::readdir(proc)) {
    const int pid = std::atoi(entry->d_name);
    if (pid <= 1 || pid == ::getpid()) continue;
    std::string name = ReadWholeFile("/proc/" + std::string(entry->d_name) + "/comm");
    while (!name.empty() && (name.back() == '\n' || name.back() == '\r')) name.pop_back();
    if (name == wanted) ::kill(pid, SIGKILL);
  }
  ::closedir(proc);
}
