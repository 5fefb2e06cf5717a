// The debug log "Debug_Lumora.txt": the connection sequence's progress lines, in the folder that
// was current when the library was loaded.
#pragma once

#include <cstdint>
#include <string>

#include "lifecycle/Lifecycle.h"
#include "platform/file.h"
#include "platform/thread.h"

constexpr const char* DEBUG_LOG_NAME = "Debug_Lumora.txt";

// Threads: any (the connection sequence runs on the host's thread, and in a recovery on an
// acquisition thread). Each call takes the log's own lock for one open, line or close; nothing
// else is called under it, and it is held with no other lock of the library.
class DebugLog {
 public:
  DebugLog() = default;
  ~DebugLog() { Close(); }
  DebugLog(const DebugLog&) = delete;
  DebugLog& operator=(const DebugLog&) = delete;

  // The folder of the log; set once, at load, before anything writes.
  void SetDirectory(const char* directory) KVT_EXCLUDES(m_lock);

  // Opens the log once: an existing file is kept and written over from its start, a missing one
  // is created. Nothing when it is open already. A log that cannot be opened is said once on
  // standard error (the host's operator would otherwise find no log and no reason).
  void Open() KVT_EXCLUDES(m_lock);
  // Writes one line, flushed at once so that the lines survive a host that ends abruptly;
  // nothing while the log is not open. The first line lost to a failed write is said on standard
  // error, once per opening. Messages that the host's standard output or error could not take
  // since the last line (platform/output.h) are counted in a line of their own before it.
  void Write(const char* line) KVT_EXCLUDES(m_lock);
  // Closes the log; a later Open opens it again.
  void Close() KVT_EXCLUDES(m_lock);
  // The stop, after every thread that may log has ended: closes the log, which would otherwise
  // keep the file locked on Windows for as long as the host runs. At the end of the process only
  // when no thread that the system ended was writing (its lock is free).
  void Stop(StopMode mode) KVT_EXCLUDES(m_lock);

  [[nodiscard]] bool IsOpen() KVT_EXCLUDES(m_lock);

 private:
  static constexpr std::size_t kPathSize = 600;
  static constexpr std::size_t kFailureTextSize = 700;

  platform::Lock m_lock;
  std::string m_directory KVT_GUARDED_BY(m_lock);
  platform::File* m_debugLog KVT_GUARDED_BY(m_lock) = nullptr;
  bool m_openFailureSaid KVT_GUARDED_BY(m_lock) = false;
  bool m_writeFailureSaid KVT_GUARDED_BY(m_lock) = false;
  // How many messages left out of the standard streams the log has told of.
  std::uint64_t m_leftOutSaid KVT_GUARDED_BY(m_lock) = 0;

  // Writes text; the first failure is kept for standard error.
  void WriteLocked(const char* text, char* failure, std::size_t failureSize) KVT_REQUIRES(m_lock);
  // The line on messages left out of the standard streams, when there are new ones.
  void TellLeftOutLocked(char* failure, std::size_t failureSize) KVT_REQUIRES(m_lock);
};
