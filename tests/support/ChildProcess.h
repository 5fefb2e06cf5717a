// Starts a program as a child of the test and ends it when the test is done.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess() { Kill(); }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts program with the arguments; false when it cannot be started.
  bool Start(const std::string& program, const std::vector<std::string>& arguments);
  // Ends the program by force and waits for it; nothing when it is not running.
  void Kill();
  // Waits at most timeoutMs for the program to end on its own: true, with its exit code, when it
  // has.
  bool WaitForExit(int timeoutMs, int* exitCode);

 private:
  long long id_ = 0;
  void* handle_ = nullptr;
};

// The folder of the running test program, with a separator at the end.
std::string ProgramFolder();

// Whether a process of exactly this executable file name runs.
bool ProcessRuns(const char* exeName);

// Ends by force every process of exactly this executable file name but the calling one, whoever
// started it (the programs the plug-in starts); does not wait for them to end.
void KillProcesses(const char* exeName);

// Waits until ProcessRuns(exeName) equals running; false after timeoutMs.
bool WaitForProcess(const char* exeName, bool running, int timeoutMs);

// 127.0.0.1 in network order, with the socket layer started.
std::uint32_t LoopbackAddress();

// Waits until a program listens on 127.0.0.1:port (each look is a connection it sees opened
// and closed at once); false after timeoutMs.
bool WaitForListener(std::uint16_t port, int timeoutMs);

// Sets or, with null, removes an environment variable of the test process (inherited by the
// programs it and the plug-in start).
void SetTestEnvironment(const char* name, const char* value);
