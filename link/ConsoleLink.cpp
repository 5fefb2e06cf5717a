// The connection sequence: bringing the link to the console up (starting the console when it is
// not running) and down again.
#include "link/ConsoleLink.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "datachannel/DataChannel.h"
#include "datachannel/MeasurementStore.h"
#include "link/CommandChannel.h"
#include "link/ConsoleSite.h"
#include "link/ScannerSettings.h"
#include "platform/module.h"
#include "platform/notice.h"
#include "platform/process.h"
#include "platform/pump.h"
#include "platform/registry.h"
#include "platform/time.h"
#include "platform/wait.h"
#include "wire/CommandCodes.h"
#include "wire/WireValues.h"

namespace {

constexpr std::int32_t START_MODE = 7;
constexpr unsigned kRetryWaitMs = 100;
// A console that died while scanning never reports the end: the unload waits this long for it.
constexpr std::uint32_t kScanEndWaitMs = 2000;
constexpr unsigned kScanEndPollMs = 30;

// Where "AppDir" stands: read, unreadable (the message box has been shown), or its key missing.
// clang-format off
enum class [[nodiscard]] AppDirLookup { kRead, kUnreadable, kNoKey };
// clang-format on

// The message box asks the lifecycle's leave: it is not shown once the unload has begun.
AppDirLookup LookUpAppDir(std::string* folder, Lifecycle& lifecycle) {
  const AppDirReading reading = ReadAppDir();
  if (!reading.KeyOpened()) return AppDirLookup::kNoKey;
  if (!reading.Read()) {
    Lifecycle::LoaderCall call(lifecycle);
    if (call.Permitted()) {
      platform::showMessageBox("Pb in QueryStringValue function\n",
                               platform::kMbOk | platform::kMbIconExclamation);
    }
    return AppDirLookup::kUnreadable;
  }
  *folder = reading.folder;
  return AppDirLookup::kRead;
}

}  // namespace

ConsoleLink::ConsoleLink(Lifecycle& lifecycle, ScannerSettings& settings, MeasurementStore& store,
                         DataChannel& dataChannel)
    : m_lifecycle(lifecycle),
      m_settings(settings),
      m_store(store),
      m_dataChannel(dataChannel),
      m_commands(m_connected, lifecycle) {}

std::int32_t ConsoleLink::Connect(std::int32_t mode) {
  try {
    switch (mode) {
      case 0: {
        // A sequence running meanwhile gives up: the host asked for the link to be down.
        platform::LockGuard guard(m_commands.Lock());
        m_commands.CancelSequenceLocked();
      }
        Disconnect();
        return 0;
      case 1: {
        if (m_connected != 0) return 0;
        // One sequence at a time: a second one, from another thread or from a failure inside
        // this one, fails instead of starting over under it.
        CommandChannel::Sequence sequence(m_commands);
        if (!sequence.Owned() || Init() != kLinkUp) return 2;
        return 0;
      }
      case 2: {
        CommandChannel::Sequence sequence(m_commands);
        if (!sequence.Owned()) return 2;
        Disconnect();
        // A failed handshake leaves nothing to wait for: m_connected would never be set.
        return Handshake() == kHandshakeDone ? 0 : 2;
      }
      default:
        return 0;
    }
  } catch (...) {
    return 2;
  }
}

std::int32_t ConsoleLink::Reset() {
  // Whether the reconnect worked shows in IsConnected; Reset itself always answers 0.
  if (m_connected != 0) static_cast<void>(Connect(2));
  return 0;
}

ConsoleLink::InitResult ConsoleLink::Init() {
  m_debugLog.Open();
  m_debugLog.Write("Debut fonction Init.\n");
  std::string appDir;
  AppDirLookup appDirLookup = LookUpAppDir(&appDir, m_lifecycle);
  if (appDirLookup == AppDirLookup::kNoKey) {
    m_debugLog.Write("Pb : Registry open.\n");
    return kNoRegistryKey;
  }
  m_debugLog.Write("Registry open.\n");
  ProgramStart started = StartMissingProgram(appDir, appDirLookup == AppDirLookup::kRead);
  // A program that cannot be started will never answer: the connection fails now.
  if (started == ProgramStart::kFailed) {
    m_debugLog.Write("OnConnect Failed\n");
    return kNoConnection;
  }
  // From the unload on, or once the host has disconnected, no thread and no wait begins.
  if (m_commands.SequenceEnds()) return kNoConnection;
  PrepareLink();
  InitResult result =
      started == ProgramStart::kStarted ? HandshakeUntilTheProgramAnswers() : HandshakeOnce();
  return result == kLinkUp ? FinishLink() : result;
}

ConsoleLink::ProgramStart ConsoleLink::StartMissingProgram(const std::string& appDir,
                                                           bool appDirRead) {
  const Running consoleRuns = IsProcessRunning(CONSOLE_PROGRAM);
  const Running scannerRuns =
      consoleRuns == Running::kYes ? IsProcessRunning(SCANNER_PROGRAM) : Running::kNo;
  // Without the process list nothing says that a program is missing: a start could run a second
  // console beside the one that answers. The handshake shows whether one does.
  if (consoleRuns == Running::kUnknown || scannerRuns == Running::kUnknown) {
    m_debugLog.Write("Pb : process list unavailable, program not started.\n");
    return ProgramStart::kNone;
  }
  const bool console = consoleRuns == Running::kNo;
  if (!console && scannerRuns == Running::kYes) return ProgramStart::kNone;
  // Without "AppDir" a start would run whatever program of that name the search finds: nothing
  // is started, the log says why, and the handshake goes on as when both programs run.
  if (!appDirRead) {
    m_debugLog.Write("Pb : AppDir unknown, program not started.\n");
    return ProgramStart::kNone;
  }
  if (m_commands.SequenceEnds()) return ProgramStart::kFailed;
  const char* parameters = "/hide";
  if (console) {
    m_debugLog.Write("LinestudioConsole is not running: start it\n");
  } else {
    m_debugLog.Write("Linestudio is not running : start it\n");
    if (ReadHideSw() == 0) parameters = "";
  }
  const std::string path = appDir + (console ? CONSOLE_PROGRAM : SCANNER_PROGRAM);
  int error = 0;
  bool started = false;
  {
    Lifecycle::LoaderCall call(m_lifecycle);
    if (!call.Permitted()) return ProgramStart::kFailed;
    started = platform::programStart(path.c_str(), parameters, &error);
  }
  if (started) return ProgramStart::kStarted;
  char line[APP_DIR_SIZE * 4 + 64];
  std::snprintf(line, sizeof line, "Pb : cannot start %s [error %d].\n", path.c_str(), error);
  m_debugLog.Write(line);
  return ProgramStart::kFailed;
}

void ConsoleLink::PrepareLink() {
  if (!m_dataChannel.Started() && !m_dataChannel.Start()) {
    m_debugLog.Write("Probleme with pThread!!!\n");
  }
  m_startMode = START_MODE;
  m_store.LinkRestarted();
}

ConsoleLink::InitResult ConsoleLink::HandshakeUntilTheProgramAnswers() {
  platform::Deadline deadline(CONNECT_TIMEOUT_MS);
  // Between two attempts the wait is for a message, at most kRetryWaitMs, instead of a spin that
  // would try thousands of connections a second.
  static_cast<void>(platform::pumpDispatchOne());
  bool handshaken = false;
  // How the wait ended is in handshaken and the deadline. The unload, or the host's disconnect,
  // ends it at its next look.
  static_cast<void>(
      m_lifecycle.Wait(deadline, platform::WaitPause::kPump, kRetryWaitMs, [this, &handshaken] {
        handshaken = Handshake() == kHandshakeDone;
        return handshaken || m_commands.SequenceEnds();
      }));
  if (!handshaken && m_commands.SequenceEnds()) {
    m_debugLog.Write("OnConnect Failed\n");
    return kNoConnection;
  }
  // Checked after the attempt that succeeded too: a handshake past the limit is a time-out.
  if (deadline.Passed()) {
    m_debugLog.Write("OnConnect Failed. TimeOut\n");
    return kNoConnection;
  }
  return kLinkUp;
}

ConsoleLink::InitResult ConsoleLink::HandshakeOnce() {
  if (Handshake() == kHandshakeDone) return kLinkUp;
  m_debugLog.Write("OnConnect Failed\n");
  return kNoConnection;
}

ConsoleLink::InitResult ConsoleLink::FinishLink() {
  // As the settings window's "Show Status" and "Show Tool Bar" buttons do, recovery included.
  if (m_settings.ShowStatus()) SendWithRecovery(CMD_STATUS_SHOW);
  if (m_settings.ShowToolBar()) SendWithRecovery(CMD_TOOLBAR_SHOW);
  m_debugLog.Write("Before Onmodelstart\n");
  SendModelStart();
  // Connected only with a command connection: a reply that came short on the way dropped it.
  MarkConnectedIfOpen();
  return m_connected != 0 ? kLinkUp : kNoConnection;
}

void ConsoleLink::MarkConnectedIfOpen() {
  platform::LockGuard guard(m_commands.Lock());
  m_connected = m_commands.IsOpenLocked() ? 1 : 0;
}

ConsoleLink::HandshakeResult ConsoleLink::Handshake() {
  {
    // The connection and its four questions are one step for the other threads.
    platform::LockGuard guard(m_commands.Lock());
    if (!m_commands.OpenLocked()) return kTcpConnectFailed;
    unsigned char reply[4] = {};
    auto ask = [&](std::int32_t code) KVT_REQUIRES(m_commands.Lock()) {
      return m_commands.ExchangeLocked(code, nullptr, reply, sizeof reply) ==
             CommandOutcome::kAnswered;
    };
    if (!ask(CMD_HANDSHAKE_A) || !ask(CMD_HANDSHAKE_B)) return kCommandFailed;
    // A reply that does not come whole leaves the setting as it was.
    if (!ask(CMD_SOUND_QUERY)) return kCommandFailed;
    m_settings.SetSound(GetInt32(reply));
    if (!ask(CMD_HANDSHAKE_C)) return kCommandFailed;
  }
  SendModelStart();
  MarkConnectedIfOpen();
  return m_connected != 0 ? kHandshakeDone : kCommandFailed;
}

void ConsoleLink::Disconnect() {
  if (m_store.Acquiring()) SendIgnoringFailure(CMD_ACQUIRE_STOP);
  SendStopSequence();
  {
    platform::LockGuard guard(m_commands.Lock());
    if (m_commands.CloseLocked()) {
      m_startMode = 0;
      m_store.LinkRestarted();
    }
    m_connected = 0;
  }
}

bool ConsoleLink::ScanStopDue() const {
  return m_store.ScanRunning() || (m_store.ScanStopOwed() && Connected());
}

void ConsoleLink::Stop(StopMode mode) {
  m_commands.CutWaitsForUnload();
  // At the end of the process a thread that the system ended may hold the channel: nothing can
  // be sent then.
  if (!Lifecycle::LockForStop(m_commands.Lock(), mode)) return;
  if (m_store.Acquiring()) static_cast<void>(m_commands.ExchangeLocked(CMD_ACQUIRE_STOP));
  if (ScanStopDue()) {
    static_cast<void>(m_commands.ExchangeLocked(CMD_SCAN_STOP));
    m_store.ScanStopSent();
  }
  if (mode == StopMode::kProcessEnd) {
    // The acquisition threads are gone with the process: the stops just sent were the last, and
    // the link comes down without waiting for the console.
    static_cast<void>(m_commands.ExchangeLocked(CMD_STATUS_HIDE));
    static_cast<void>(m_commands.ExchangeLocked(CMD_TOOLBAR_HIDE));
    static_cast<void>(m_commands.CloseLocked());
    m_connected = 0;
    m_commands.Lock().unlock();
    return;
  }
  const bool open = m_commands.IsOpenLocked();
  m_commands.Lock().unlock();
  if (!open) return;
  // The data channel clears the scanning flag after its pause behind the console's end notice;
  // the console then takes the hides and the close. A console that died while scanning never
  // sends the notice: past the bound the link comes down all the same.
  static_cast<void>(Lifecycle::StopWait(mode, kScanEndWaitMs, kScanEndPollMs,
                                        [this] { return !m_store.ScanRunning(); }));
  Disconnect();
}

std::int32_t ConsoleLink::ReconnectAfterFailure() {
  if (!m_commands.MayRecover()) return 2;
  m_connected = 0;
  Disconnect();
  return Connect(1);
}

ConsoleLink::Running ConsoleLink::IsProcessRunning(const char* name) {
  struct Search {
    const char* name;
    bool found;
  } search{name, false};
  bool listed = platform::processForEach(
      [](const char* exeName, void* context) {
        auto* s = static_cast<Search*>(context);
        s->found = std::strcmp(exeName, s->name) == 0;
        return s->found;
      },
      &search);
  if (!listed) return Running::kUnknown;
  return search.found ? Running::kYes : Running::kNo;
}

// A failed send is not the sender's failure: the recovery's result shows in IsConnected.
void ConsoleLink::SendWithRecovery(std::int32_t code) {
  if (m_commands.Exchange(code) == CommandOutcome::kNotSent) {
    static_cast<void>(ReconnectAfterFailure());
  }
}

void ConsoleLink::SendIgnoringFailure(std::int32_t code) {
  static_cast<void>(m_commands.Exchange(code));
}

void ConsoleLink::SendWithArgument(std::int32_t code, std::int32_t argument) {
  if (m_commands.Exchange(code, &argument) == CommandOutcome::kNotSent) {
    static_cast<void>(ReconnectAfterFailure());
  }
}

void ConsoleLink::SendModelStart() { SendWithArgument(CMD_MODEL_START, m_startMode); }

void ConsoleLink::SendStopSequence() {
  SendIgnoringFailure(CMD_STATUS_HIDE);
  SendIgnoringFailure(CMD_TOOLBAR_HIDE);
}

CommandOutcome ConsoleLink::Send(std::int32_t code) { return m_commands.Exchange(code); }

CommandOutcome ConsoleLink::Ask(std::int32_t code, void* reply, int replySize) {
  return m_commands.Exchange(code, nullptr, reply, replySize);
}

int ConsoleLink::ReceiveReply(void* reply, int replySize) {
  return m_commands.Receive(reply, replySize);
}
