// What the child-process helpers share on both platforms.
#include <cstring>
#include <string>

#include "ChildProcess.h"
#include "platform/module.h"
#include "platform/process.h"
#include "platform/socket.h"
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
  static_cast<void>(platform::processForEach(
      [](const char* name, void* context) {
        auto* s = static_cast<Search*>(context);
        s->found = std::strcmp(name, s->name) == 0;
        return s->found;
      },
      &search));
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

std::uint32_t LoopbackAddress() {
  int started = 0;
  static_cast<void>(platform::socketsStart(&started));
  std::uint32_t loopback = 0;
  static_cast<void>(platform::socketParseDotted("127.0.0.1", &loopback));
  return loopback;
}

bool WaitForListener(std::uint16_t port, int timeoutMs) {
  const std::uint32_t loopback = LoopbackAddress();
  std::uint32_t start = platform::tickCount();
  for (;;) {
    platform::SocketHandle probe = platform::socketOpenTcp();
    bool listening = platform::socketConnect(probe, loopback, port);
    platform::socketClose(probe);
    if (listening) return true;
    if (static_cast<int>(platform::tickCount() - start) > timeoutMs) return false;
    platform::sleepMs(20);
  }
}
