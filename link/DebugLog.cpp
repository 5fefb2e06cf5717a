// The debug log's file.
#include "link/DebugLog.h"

#include <cstdio>
#include <cstring>

#include "platform/module.h"

namespace {
constexpr const char* kDebugLogName = "Debug_Lumora.txt";

// Outside the log's lock: a host whose standard error is a full pipe must not hold up the threads
// that log.
void SayOnStandardError(const char* failure) {
  if (failure[0] == '\0') return;
  std::fprintf(stderr, "KvtScanner: %s\n", failure);
  std::fflush(stderr);
}
}  // namespace

void DebugLog::SetDirectory(const char* directory) {
  platform::LockGuard guard(m_lock);
  m_directory = directory;
}

// Neither opening nor writing allocates: both run in recoveries and in the unload, where memory
// that runs out must cost the log, not the operation.
void DebugLog::Open() {
  char failure[kFailureTextSize] = "";
  {
    platform::LockGuard guard(m_lock);
    if (m_debugLog != nullptr) return;
    char path[kPathSize];
    std::snprintf(path, sizeof path, "%s%c%s", m_directory.c_str(), platform::kPathSeparator,
                  kDebugLogName);
    int error = 0;
    m_debugLog = platform::fileOpen(path, platform::FileOpenMode::kOverwriteText, &error);
    if (m_debugLog != nullptr) {
      m_writeFailureSaid = false;
    } else if (!m_openFailureSaid) {
      m_openFailureSaid = true;
      std::snprintf(failure, sizeof failure, "cannot open the debug log %s (%s)", path,
                    std::strerror(error));
    }
  }
  SayOnStandardError(failure);
}

void DebugLog::Write(const char* line) {
  char failure[kFailureTextSize] = "";
  {
    platform::LockGuard guard(m_lock);
    if (m_debugLog == nullptr) return;
    int error = 0;
    if (!platform::fileWrite(m_debugLog, line, std::strlen(line), &error) && !m_writeFailureSaid) {
      m_writeFailureSaid = true;
      std::snprintf(failure, sizeof failure,
                    "the debug log cannot be written (%s); its lines are lost",
                    std::strerror(error));
    }
  }
  SayOnStandardError(failure);
}

void DebugLog::Close() {
  platform::LockGuard guard(m_lock);
  if (m_debugLog == nullptr) return;
  platform::fileClose(m_debugLog);
  m_debugLog = nullptr;
}

void DebugLog::Stop(StopMode mode) {
  if (!Lifecycle::LockForStop(m_lock, mode)) return;
  if (m_debugLog != nullptr) platform::fileClose(m_debugLog);
  m_debugLog = nullptr;
  m_lock.unlock();
}

bool DebugLog::IsOpen() {
  platform::LockGuard guard(m_lock);
  return m_debugLog != nullptr;
}
