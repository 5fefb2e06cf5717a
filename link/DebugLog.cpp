// The debug log's file.
#include "link/DebugLog.h"

#include "platform/module.h"

namespace {
constexpr const char* kDebugLogName = "Debug_Lumora.txt";
}  // namespace

void DebugLog::SetDirectory(const char* directory) {
  platform::LockGuard guard(m_lock);
  m_directory = directory;
}

void DebugLog::Open() {
  platform::LockGuard guard(m_lock);
  if (m_debugLog != nullptr) return;
  std::string path = m_directory + platform::kPathSeparator + kDebugLogName;
  // "r+" keeps an existing log and writes over it from the start.
  m_debugLog = std::fopen(path.c_str(), "r+");
  if (m_debugLog == nullptr) m_debugLog = std::fopen(path.c_str(), "w+");
}

void DebugLog::Write(const char* line) {
  platform::LockGuard guard(m_lock);
  if (m_debugLog == nullptr) return;
  std::fputs(line, m_debugLog);
  std::fflush(m_debugLog);
}

void DebugLog::Close() {
  platform::LockGuard guard(m_lock);
  if (m_debugLog == nullptr) return;
  std::fclose(m_debugLog);
  m_debugLog = nullptr;
}

bool DebugLog::IsOpen() {
  platform::LockGuard guard(m_lock);
  return m_debugLog != nullptr;
}
