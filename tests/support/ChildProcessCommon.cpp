// What the child-process helpers share on both platforms.
#include <cstring>
#include <string>

#include "ChildProcess.h"
#include "Wait.h"
#include "platform/module.h"
#include "platform/process.h"
#include "platform/socket.h"

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
  return WaitUntil([&] { return ProcessRuns(exeName) == running; }, timeoutMs, 20);
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
  return WaitUntil(
      [loopback, port] {
        platform::SocketHandle probe = platform::socketOpenTcp();
        const bool listening = platform::socketConnect(probe, loopback, port);
        platform::socketClose(probe);
        return listening;
      },
      timeoutMs, 20);
}
