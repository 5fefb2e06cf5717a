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

// The message box is not shown once the unload has begun.
AppDirLookup LookUpAppDir(std::string* folder, bool mayShowWindow) {
  const AppDirReading reading = ReadAppDir();
  if (!reading.KeyOpened()) return AppDirLookup::kNoKey;
  if (!reading.Read()) {
    if (mayShowWindow) {
      platform::showMessageBox("Pb in QueryStringValue function\n",
                               platform::kMbOk | platform::kMbIconExclamation);
    }
    return AppDirLookup::kUnreadable;
  }
  *folder = reading.folder;
  return AppDirLookup::kRead;
}

}  // namespace

ConsoleLink::ConsoleLink(ScannerSettings& settings, MeasurementStore& store)
    : m_settings(settings), m_store(store), m_commands(m_connected) {}

std::int32_t ConsoleLink::Connect(std::int32_t mode) {
  try {
    switch (mode) {
      case 0:
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
  AppDirLookup appDirLookup = LookUpAppDir(&appDir, !m_commands.RecoveryEnded());
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
  // From the unload on, no program is started, no thread and no wait begins.
  if (m_commands.RecoveryEnded()) return kNoConnection;
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
  if (m_commands.RecoveryEnded()) return ProgramStart::kFailed;
  const char* parameters = "/hide";
  if (console) {
    m_debugLog.Write("LinestudioConsole is not running: start it\n");
  } else {
    m_debugLog.Write("Linestudio is not running : start it\n");
    if (ReadHideSw() == 0) parameters = "";
  }
  const std::string path = appDir + (console ? CONSOLE_PROGRAM : SCANNER_PROGRAM);
  int error = 0;
  if (platform::programStart(path.c_str(), parameters, &error)) return ProgramStart::kStarted;
  char line[APP_DIR_SIZE * 4 + 64];
  std::snprintf(line, sizeof line, "Pb : cannot start %s [error %d].\n", path.c_str(), error);
  m_debugLog.Write(line);
  return ProgramStart::kFailed;
}

void ConsoleLink::PrepareLink() {
  if (!DataChannelThreadStarted() && !StartDataChannelThread(&m_store)) {
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
  // How the wait ended is in handshaken and the deadline.
  static_cast<void>(
      platform::WaitUntil(deadline, platform::WaitPause::kPump, kRetryWaitMs, [this, &handshaken] {
        handshaken = Handshake() == kHandshakeDone;
        return handshaken || m_commands.RecoveryEnded();
      }));
  if (!handshaken && m_commands.RecoveryEnded()) {
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
  m_connected = m_commands.IsOpen() ? 1 : 0;
  return m_connected != 0 ? kLinkUp : kNoConnection;
}

ConsoleLink::HandshakeResult ConsoleLink::Handshake() {
  {
    // The connection and its four questions are one step for the other threads; what the
    // socket routines print meanwhile waits for the lock's release.
    DeferredPrints prints;
    platform::LockGuard guard(CommandChannel::Lock());
    if (!m_commands.Open()) return kTcpConnectFailed;
    unsigned char reply[4] = {};
    auto ask = [&](std::int32_t code) {
      return m_commands.Exchange(code, nullptr, reply, sizeof reply) == CommandOutcome::kAnswered;
    };
    if (!ask(CMD_HANDSHAKE_A) || !ask(CMD_HANDSHAKE_B)) return kCommandFailed;
    // A reply that does not come whole leaves the setting as it was.
    if (!ask(CMD_SOUND_QUERY)) return kCommandFailed;
    m_settings.SetSound(GetInt32(reply));
    if (!ask(CMD_HANDSHAKE_C)) return kCommandFailed;
  }
  SendModelStart();
  m_connected = m_commands.IsOpen() ? 1 : 0;
  return m_connected != 0 ? kHandshakeDone : kCommandFailed;
}

void ConsoleLink::Disconnect() {
  if (m_store.Acquiring()) SendIgnoringFailure(CMD_ACQUIRE_STOP);
  SendStopSequence();
  {
    DeferredPrints prints;
    platform::LockGuard guard(CommandChannel::Lock());
    if (m_commands.Close()) {
      m_startMode = 0;
      m_store.LinkRestarted();
    }
  }
  m_connected = 0;
}

bool ConsoleLink::ScanStopDue() const {
  return m_store.ScanRunning() || (m_store.ScanStopOwed() && Connected());
}

void ConsoleLink::WaitScanEndAndDisconnect() {
  // The unload's wait runs none of the host's code. The console's end notice ends it as soon as
  // it arrives, before the data channel's pause after it. Past the bound the link goes down all the
  // same.
  static_cast<void>(platform::WaitUntil(
      platform::Deadline(kScanEndWaitMs), platform::WaitPause::kSleep, kScanEndPollMs,
      [this] { return !m_store.ScanRunning() || m_store.ScanEndArrived(); }));
  Disconnect();
}

void ConsoleLink::StopAtProcessEnd() {
  if (!CommandChannel::Lock().tryLock()) return;
  if (m_store.Acquiring()) SendIgnoringFailure(CMD_ACQUIRE_STOP);
  if (ScanStopDue()) SendIgnoringFailure(CMD_SCAN_STOP);
  SendStopSequence();
  static_cast<void>(m_commands.Close());
  m_connected = 0;
  CommandChannel::Lock().unlock();
}

void ConsoleLink::BeginUnload() {
  m_commands.EndRecovery();
  // A message box of a recovery on another thread would hold that thread in the library.
  platform::closeMessageBoxes();
  m_commands.CutWaitsForUnload();
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
