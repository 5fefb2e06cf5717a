// Child processes of a test on Windows: CreateProcess and TerminateProcess.
#include "ChildProcess.h"

#include <windows.h>
// tlhelp32.h needs windows.h first.
#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

bool ChildProcess::Start(const std::string& program, const std::vector<std::string>& arguments) {
  std::string line = "\"" + program + "\"";
  for (const std::string& argument : arguments) line += " \"" + argument + "\"";
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  // Under Wine a start has been seen to fail once in several hundred while other programs of the
  // suite start and end; a start that fails three times, a moment apart, is a failure.
  bool started = false;
  for (int attempt = 0; attempt < 3 && !started; ++attempt) {
    if (attempt > 0) Sleep(200);
    started = CreateProcessA(program.c_str(), &line[0], nullptr, nullptr, FALSE, 0, nullptr,
                             nullptr, &startup, &process) != 0;
    if (!started) {
      std::fprintf(stderr, "starting %s failed: error %lu\n", program.c_str(), GetLastError());
    }
  }
  if (!started) return false;
  CloseHandle(process.hThread);
  handle_ = process.hProcess;
  id_ = process.dwProcessId;
  return true;
}

void ChildProcess::Kill() {
  if (handle_ == nullptr) return;
  TerminateProcess(static_cast<HANDLE>(handle_), 1);
  WaitForSingleObject(static_cast<HANDLE>(handle_), 5000);
  CloseHandle(static_cast<HANDLE>(handle_));
  handle_ = nullptr;
  id_ = 0;
}

bool ChildProcess::WaitForExit(int timeoutMs, int* exitCode) {
  if (handle_ == nullptr) return false;
  HANDLE process = static_cast<HANDLE>(handle_);
  if (WaitForSingleObject(process, static_cast<DWORD>(timeoutMs)) != WAIT_OBJECT_0) return false;
  DWORD code = 0;
  GetExitCodeProcess(process, &code);
  *exitCode = static_cast<int>(code);
  CloseHandle(process);
  handle_ = nullptr;
  id_ = 0;
  return true;
}

void SetTestEnvironment(const char* name, const char* value) {
  // Both the C runtime's copy (getenv) and the process's (inherited by CreateProcess and
  // ShellExecute) change.
  _putenv_s(name, value != nullptr ? value : "");
  SetEnvironmentVariableA(name, value);
}

void KillProcesses(const char* exeName) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return;
  PROCESSENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
    if (entry.th32ProcessID == GetCurrentProcessId() ||
        std::strcmp(entry.szExeFile, exeName) != 0) {
      continue;
    }
    if (HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, entry.th32ProcessID)) {
      TerminateProcess(process, 1);
      CloseHandle(process);
    }
  }
  CloseHandle(snapshot);
}
