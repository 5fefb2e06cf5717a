// The scanner object: the whole state of the link to the console, shared by the host's thread,
// the data-channel thread and the acquisition thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "link/CommandChannel.h"
#include "platform/thread.h"
#include "shell/MeasureRecord.h"
#include "shell/MeasureSink.h"
#include "shell/SensorEntry.h"
#include "ui/DlgCfgLumora.h"

// Room for the last block of points inside the object, so no block ever allocates.
constexpr int POINT_CAPACITY = 15011;

struct AcquisitionRun;

// Who owns what. Three kinds of thread use this object: the host's thread (the exports, the
// settings window, the teardown); a measurement's acquisition thread (its sink calls, in button
// mode 2 the acquisition commands, and whatever the host's sink calls from it, MeasureStop and
// MeasureStart included); and the data-channel thread (what the console sends).
//
// - The last message's pose and points (m_measure, m_position, m_direction, m_points): written
//   by the data thread and read by the acquisition thread, only under m_measureLock, which is
//   held for a copy at most. The host is handed the acquisition thread's own copy
//   (AcquisitionRun), so no lock of the library is held while the host's code runs.
// - The command socket (m_commands, link/CommandChannel.h): any thread, only through the channel,
//   whose lock is held for one command (code, argument, reply), a handshake or a close.
// - The data channel's sockets and the object it serves (datachannel/DataChannel.h): under the
//   data channel's lock; the data thread holds it while it stores into this object.
// - The running measurement (m_acquisition): set by MeasureStart, taken by whichever stop comes
//   first with one exchange. The stopped threads not yet collected (m_stoppedRuns): under
//   m_runsLock, held for the list's bookkeeping alone.
// - Flags and modes (the atomics): each written whole by one side and polled by the others.
// - The debug log (m_debugLog): opened and closed on the host's thread, written from any.
//
// Lock order: the command channel's lock, then the data channel's lock, then m_measureLock.
// m_runsLock is taken with none of them held. No lock is held during a call into the host's
// code; the command channel's is held across one reply from the console, bounded by the
// receive limit.
class KvtScan3DLumora {
 public:
  // Sets status to 0: construction cannot fail.
  explicit KvtScan3DLumora(std::int32_t* status);
  virtual ~KvtScan3DLumora();

  KvtScan3DLumora(const KvtScan3DLumora&) = delete;
  KvtScan3DLumora& operator=(const KvtScan3DLumora&) = delete;

  // Teardown at destruction: cancels the settings window, stops the console's acquisition and
  // scanning, disconnects, and stops the data-channel thread.
  void Teardown();
  void WaitScanEndAndDisconnect();

  // Link: connection sequence.
  // Init's results; Connect gives the host 2 for either failure.
  enum InitResult : std::int32_t { kLinkUp = 0, kNoConnection = 2, kNoRegistryKey = 3 };
  enum HandshakeResult : std::int32_t {
    kHandshakeDone = 0,
    kTcpConnectFailed = 1,
    kCommandFailed = 2,
  };
  std::int32_t Connect(std::int32_t mode);
  std::int32_t Reset();
  InitResult Init();
  HandshakeResult Handshake();
  void Disconnect();
  std::int32_t ReconnectAfterFailure();
  // Init's steps, in order.
  void OpenDebugLog();
  // Starts the console when it does not run, else the scanner program when that one does not;
  // true when a program was started.
  bool StartMissingProgram(const char* appDir, bool appDirRead);
  // The data-channel thread (once per process) and the link's start state.
  void PrepareLink();
  // After a start the program takes its time to listen: handshakes until one succeeds or the
  // connect limit has passed.
  InitResult HandshakeUntilTheProgramAnswers();
  InitResult HandshakeOnce();
  // The windows the options ask for, and the model start that begins the work.
  InitResult FinishLink();
  static bool IsProcessRunning(const char* name);

  // Command senders, each with its failure action; the bytes go through m_commands.
  // The code alone; a failed send runs ReconnectAfterFailure.
  void SendWithRecovery(std::int32_t code);
  // The code alone; a failed send is ignored.
  void SendIgnoringFailure(std::int32_t code);
  // The code and its argument; a failed send of the code runs ReconnectAfterFailure.
  void SendWithArgument(std::int32_t code, std::int32_t argument);
  // CMD_MODEL_START followed by m_startMode.
  void SendModelStart();
  // CMD_STATUS_HIDE then CMD_TOOLBAR_HIDE, failures ignored.
  void SendStopSequence();

  // Measurement control.
  std::int32_t MeasureStart(MeasureSink* sink);
  std::int32_t MeasureStop();
  // Stops the running measurement's thread, if any, and collects it (CollectRun); one that
  // cannot be collected yet joins m_stoppedRuns. Any thread, the acquisition thread included.
  void StopCurrentRun(unsigned waitMs) KVT_EXCLUDES(m_runsLock);
  // Collects the stopped threads that have ended or end within waitMs each.
  void CollectStoppedRuns(unsigned waitMs) KVT_EXCLUDES(m_runsLock);
  // Waits at most waitMs for a stopped thread to end; ends it by force where the platform can if
  // it is inside a sink call then; frees its handle and record once it has ended. False (and
  // nothing freed) while it runs on: in the library's own code, which it leaves within a cycle
  // or a command, inside a sink call on POSIX, or when it is the calling thread.
  bool CollectRun(AcquisitionRun* run, unsigned waitMs);
  // The teardown's part: stops and collects every acquisition thread, with longer waits.
  void StopAcquisitionForUnload() KVT_EXCLUDES(m_runsLock);

  // Sensor and probe queries.
  std::int32_t SensorGetList(SensorEntry* entries, std::int32_t unused, std::int32_t* count);
  std::int32_t SensorGet(std::int32_t* type, double* radius, std::int32_t* kind);
  std::int32_t SensorSet(std::int32_t type);
  std::int32_t SetDiameter(float diameter);
  std::int32_t MouseSet(std::int32_t value);
  std::int32_t SoundSet(std::int32_t value);

  // Asks the console for the probe diameter; false when no diameter came (a failed send, which
  // also reconnects, or a short reply).
  bool QueryProbeDiameter(float* diameter);

  // Settings dialog.
  std::int32_t Config();

  // Writes one line to the debug log, if it is open.
  void Log(const char* line);

  std::FILE* m_debugLog;
  std::atomic<bool> m_showToolBar;
  std::atomic<bool> m_showStatus;
  std::atomic<std::int32_t> m_sensorType;
  std::atomic<bool> m_scanRunning;
  std::atomic<bool> m_acquiring;
  std::atomic<std::int32_t> m_connected;
  std::atomic<std::int32_t> m_startMode;
  std::atomic<bool> m_dataReady;
  // The command connection, its lock, and when a failed command may connect again.
  CommandChannel m_commands;
  // The running measurement's thread and its own state; null when none runs. Taken with one
  // exchange by whichever stop comes first, on the host's thread or from inside a sink call.
  std::atomic<AcquisitionRun*> m_acquisition;
  // The running measurement's sink as the host gave it; its thread calls its own copy.
  std::atomic<MeasureSink*> m_sink;
  DlgCfgLumora m_settingsDialog;
  std::atomic<std::int32_t> m_triggerToggle;
  std::atomic<std::int32_t> m_buttonEvent;
  std::atomic<std::int32_t> m_buttonMode;
  std::atomic<std::int32_t> m_mouseMode;
  std::atomic<std::int32_t> m_detectMode;
  std::atomic<std::int32_t> m_laserActive;
  std::atomic<std::int32_t> m_autoDetect;
  std::atomic<std::int32_t> m_sound;
  std::atomic<float> m_probeDiameter;
  // Folder of the debug log: the directory that was current when the library was loaded.
  const char* m_logDirectory;
  // Held by the data thread while it stores a converted message and by the acquisition thread
  // while it copies one for the host, so the host never sees the pose of one message with the
  // points of another.
  platform::RecursiveLock m_measureLock;
  MeasureRecord m_measure KVT_GUARDED_BY(m_measureLock);
  double m_position[3] KVT_GUARDED_BY(m_measureLock);
  double m_direction[3] KVT_GUARDED_BY(m_measureLock);
  // Threads that were stopped but had not ended when their stop returned: one stopped from its
  // own sink call, one in the library's own code past the wait, one inside a sink call on POSIX.
  // None calls a sink again; each start, and the teardown, collects those that have ended.
  platform::RecursiveLock m_runsLock;
  std::vector<AcquisitionRun*> m_stoppedRuns KVT_GUARDED_BY(m_runsLock);
  double m_points[POINT_CAPACITY][3] KVT_GUARDED_BY(m_measureLock);
};
