// What the child-process helpers share on both platforms.
#include <cstring>
#include <string>

#include "ChildProcess.h"
#include "platform/module.h"
#include "platform/process.h"
#include "platform/time.h"

std::string ProgramFolder() {
  char program[1024];
  if (!platform::executablePath(program, sizeof program)) return std::string();
  std::string path(program);
  return path.substr(0, path.find_last_of("/\\") + 1);
}

bool ProcessRuns(const char* exeName) {
  struct Search {
    const char* name;
    bool found;
  } search{exeName, false};
  platform::processForEach(
      [](const char* name, void* context) {
        auto* s = static_cast<Search*>(context);
        s->found = std::strcmp(name, s->name) == 0;
        return s->found;
      },
      &search);
  return search.found;
}

bool WaitForProcess(const char* exeName, bool running, int timeoutMs) {
  std::uint32_t start = platform::tickCount();
  while (ProcessRuns(exeName) != running) {
    if (static_cast<int>(platform::tickCount() - start) > timeoutMs) return false;
    platform::sleepMs(20);
  }
  return true;
}
