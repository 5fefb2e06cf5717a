// The link to the console: the command channel, the connection sequence that starts the console
// and connects (and again after a failed command), and the command senders with their failure
// actions.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "lifecycle/Lifecycle.h"
#include "link/CommandChannel.h"
#include "link/DebugLog.h"

class DataChannel;
class MeasurementStore;
class ScannerSettings;

// Threads: any. The host's thread runs Connect and Reset and most commands; an acquisition thread
// sends the acquisition commands of button mode 2 and may run a recovery; the settings window's
// buttons send from the thread that runs it. The command channel serializes the commands (its
// lock is held for one command, a whole handshake, or an open or close); CommandChannel::Sequence
// lets one connection sequence run at a time, and a failure inside it never starts another.
//
// Locks: the command channel's (taken before its wake lock and the capture's); the debug log's
// alone. None is held while the sequence dispatches the calling thread's messages, starts a
// program or shows the message box, and the link never calls into the host.
class ConsoleLink {
 public:
  ConsoleLink(Lifecycle& lifecycle, ScannerSettings& settings, MeasurementStore& store,
              DataChannel& dataChannel);
  ConsoleLink(const ConsoleLink&) = delete;
  ConsoleLink& operator=(const ConsoleLink&) = delete;

  // Init's results; Connect gives the host 2 for either failure. (clang-format 14 lays an enum
  // with an attribute out as a list.)
  // clang-format off
  enum [[nodiscard]] InitResult : std::int32_t {
    kLinkUp = 0,
    kNoConnection = 2,
    kNoRegistryKey = 3,
  };
  enum [[nodiscard]] HandshakeResult : std::int32_t {
    kHandshakeDone = 0,
    kTcpConnectFailed = 1,
    kCommandFailed = 2,
  };
  // clang-format on

  // Mode 0 disconnects, 1 connects unless connected, 2 reconnects; 0, or 2 on failure. Mode 0
  // wins over a sequence running meanwhile on another thread (or under it): that sequence gives
  // up with 2, and the link stays down.
  [[nodiscard]] std::int32_t Connect(std::int32_t mode);
  // Reconnects a connected link; always 0.
  std::int32_t Reset();
  [[nodiscard]] InitResult Init();
  [[nodiscard]] HandshakeResult Handshake();
  void Disconnect();
  // Drops the link and runs the connection sequence again; Connect(1)'s result, or 2 when no
  // recovery may run now (another sequence runs, or the unload has begun: it asks leave).
  [[nodiscard]] std::int32_t ReconnectAfterFailure();

  // The link is up: the handshake has run and the command connection is open.
  [[nodiscard]] bool Connected() const { return m_connected != 0; }
  [[nodiscard]] std::int32_t IsConnected() const { return m_connected; }

  // Command senders, each with its failure action; the bytes go through the command channel.
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

  // The code alone, without a failure action: what became of it.
  [[nodiscard]] CommandOutcome Send(std::int32_t code);
  // One command with a reply, for the queries: what became of it (the channel's outcome).
  [[nodiscard]] CommandOutcome Ask(std::int32_t code, void* reply, int replySize);
  // Reads a reply without sending anything first; the byte count received.
  [[nodiscard]] int ReceiveReply(void* reply, int replySize);

  // A measurement's stop, or the unload, owes the console the scan stop: it reports scanning, or
  // it did when the link was restarted and the link is up again (it may still be scanning).
  [[nodiscard]] bool ScanStopDue() const;

  // The stop, after the lifecycle's unload has begun: a command of another thread that waits for
  // the console is cut short; the console's acquisition and scanning are stopped; then, once the
  // data channel has cleared the scanning flag after its pause behind the console's end notice
  // (at most 2 s), the status window and tool bar are hidden and the connection closed, as a
  // disconnect does. At the end of the process nothing is waited for: the connection is closed
  // right after the stops, unless a thread that the system ended holds the channel. The unloading
  // thread, once, before the acquisition's and the data channel's stops.
  void Stop(StopMode mode);
  // The command connection is open.
  [[nodiscard]] bool CommandChannelOpen() { return m_commands.IsOpen(); }

  // Whether a process of exactly this executable name runs; kUnknown when the system's process
  // list cannot be taken.
  // clang-format off
  enum class [[nodiscard]] Running { kYes, kNo, kUnknown };
  // clang-format on
  static Running IsProcessRunning(const char* name);

  DebugLog& Log() { return m_debugLog; }

 private:
  // Init's steps, in order.
  // Starts the console when it does not run, else the scanner program when that one does not:
  // whether a program was started, none was needed (or "AppDir" is unknown), or the start failed
  // (logged with the program's path and the system's error).
  // clang-format off
  enum class [[nodiscard]] ProgramStart { kNone, kStarted, kFailed };
  // clang-format on
  ProgramStart StartMissingProgram(const std::string& appDir, bool appDirRead);
  // The data-channel thread (once per process) and the link's start state.
  void PrepareLink();
  // After a start the program takes its time to listen: handshakes until one succeeds or the
  // connect limit has passed.
  InitResult HandshakeUntilTheProgramAnswers();
  InitResult HandshakeOnce();
  // The windows the options ask for, and the model start that begins the work.
  InitResult FinishLink();

  // Connected only while the command connection is open, decided under the channel's lock so
  // that a disconnect on another thread always leaves the link down.
  void MarkConnectedIfOpen();

  Lifecycle& m_lifecycle;
  ScannerSettings& m_settings;
  MeasurementStore& m_store;
  DataChannel& m_dataChannel;
  // 1 while the link is up. Written by the sequence (Handshake, Init, Disconnect, the recovery)
  // and cleared by the channel when a reply comes short; read by anyone.
  std::atomic<std::int32_t> m_connected{0};
  // The value sent after the model start: 7 from Init on, 0 after a Disconnect of an open
  // channel. Written by the sequence only.
  std::atomic<std::int32_t> m_startMode{0};
  // The command connection, its lock, and when a failed command may connect again.
  CommandChannel m_commands;
  DebugLog m_debugLog;
};
