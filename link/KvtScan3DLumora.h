// The scanner object: the whole state of the link to the console, shared by the host's thread,
// the data-channel thread and the acquisition thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "platform/thread.h"
#include "shell/MeasureRecord.h"
#include "shell/MeasureSink.h"
#include "shell/SensorEntry.h"
#include "ui/DlgCfgLumora.h"

// Room for the last block of points inside the object, so no block ever allocates.
constexpr int POINT_CAPACITY = 15011;

// Flags and modes that several threads share are atomics: each is written whole by one side
// and polled by the others.
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
  std::int32_t Connect(std::int32_t mode);
  std::int32_t Reset();
  std::int32_t Init();
  std::int32_t Handshake();
  void Disconnect();
  std::int32_t ReconnectAfterFailure();
  static bool IsProcessRunning(const char* name);

  // Command senders. Each command (code, argument, reply) is one step on the command channel.
  // Sends code and, when the code went out, the argument; then reads the reply when one is
  // asked for. Returns whether the code went out; received gets the reply's byte count. A reply
  // that comes short drops the connection.
  bool ExchangeCommand(std::int32_t code, const std::int32_t* argument, void* reply, int replySize,
                       int* received);
  // Reads a reply without sending anything first.
  void ReceiveReply(void* reply, int replySize, int* received);
  // Closes a command connection whose reply came short (timed out or cut) and marks the link
  // down.
  void DropOutOfStepConnection();
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
  // Whether a command connection exists.
  bool CommandChannelOpen();

  // Measurement control.
  std::int32_t MeasureStart(MeasureSink* sink);
  std::int32_t MeasureStop();
  // Waits about 2500 ms at most for the acquisition thread to end, releasing it when it has.
  void WaitThreadEnd();
  // The end of MeasureStop: wait, force the end where the platform can, release the handle.
  void StopAcquisitionThread();
  // Once per acquisition cycle: 0 nothing to report, 2 or 3 button event code 2 or 4 taken.
  std::int32_t PollButtonEvent();

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
  // Read on the acquisition thread too, when the host's sink calls MeasureStop.
  std::atomic<platform::Thread*> m_acquisitionThread;
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
  // during each record call, so the host never sees the pose of one message with the points of
  // another.
  platform::RecursiveLock m_measureLock;
  MeasureRecord m_measure;
  double m_position[3];
  double m_direction[3];
  // Acquisition threads that outlived MeasureStop's wait where they could not be ended by force;
  // the teardown waits for them before the library goes away.
  std::vector<platform::Thread*> m_abandonedThreads;
  // MeasureStop ran on the acquisition thread itself, which then ends on its own.
  std::atomic<bool> m_stoppedOnItsThread{false};
  double m_points[POINT_CAPACITY][3];
};
