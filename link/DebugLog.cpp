// The debug log's file.
#include "link/DebugLog.h"

#include <cstdio>
#include <cstring>

#include "platform/module.h"
#include "platform/output.h"

namespace {
// Outside the log's lock, as every message of the library is written: it never waits for a full
// standard error (platform/output.h).
void SayOnStandardError(const char* failure) {
  if (failure[0] == '\0') return;
  platform::standardPrint(platform::StandardStream::kError, "KvtScanner: %s\n", failure);
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
                  DEBUG_LOG_NAME);
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

void DebugLog::WriteLocked(const char* text, char* failure, std::size_t failureSize) {
  int error = 0;
  if (!platform::fileWrite(m_debugLog, text, std::strlen(text), &error) && !m_writeFailureSaid) {
    m_writeFailureSaid = true;
    std::snprintf(failure, failureSize, "the debug log cannot be written (%s); its lines are lost",
                  std::strerror(error));
  }
}

void DebugLog::TellLeftOutLocked(char* failure, std::size_t failureSize) {
  const std::uint64_t leftOut = platform::standardWritesLeftOut();
  if (leftOut <= m_leftOutSaid) return;
  char line[160];
  std::snprintf(line, sizeof line,
                "Pb : %llu messages left out of standard output and error (nobody reads them).\n",
                static_cast<unsigned long long>(leftOut - m_leftOutSaid));
  m_leftOutSaid = leftOut;
  WriteLocked(line, failure, failureSize);
}

void DebugLog::Write(const char* line) {
  char failure[kFailureTextSize] = "";
  {
    platform::LockGuard guard(m_lock);
    if (m_debugLog == nullptr) return;
    TellLeftOutLocked(failure, sizeof failure);
    WriteLocked(line, failure, sizeof failure);
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
  if (m_debugLog != nullptr) {
    char failure[kFailureTextSize] = "";
    TellLeftOutLocked(failure, sizeof failure);
    platform::fileClose(m_debugLog);
  }
  m_debugLog = nullptr;
  m_lock.unlock();
}

bool DebugLog::IsOpen() {
  platform::LockGuard guard(m_lock);
  return m_debugLog != nullptr;
}
