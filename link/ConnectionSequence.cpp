// The connection sequence: bringing the link to the console up (starting the console when it is
// not running) and down again.
#include <cstdio>
#include <cstring>
#include <string>

#include "datachannel/DataChannel.h"
#include "link/CommandChannel.h"
#include "link/KvtScan3DLumora.h"
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

constexpr std::uint32_t CONNECT_TIMEOUT_MS = 60000;
constexpr std::int32_t START_MODE = 7;
constexpr unsigned kRetryWaitMs = 100;
constexpr std::uint32_t kAppDirSize = 400;

constexpr const char* kConfigKey = "SOFTWARE\\Lumora\\Linestudio\\config\\";
constexpr const char* kSettingsKey = "Software\\Lumora\\LinestudioConsole\\Settings\\";
constexpr const char* kConsoleProgram = "LineStudioConsole.exe";
constexpr const char* kScannerProgram = "linestudio.exe";
constexpr const char* kDebugLogName = "Debug_Lumora.txt";

// Reads a string value as ATL's CRegKey::QueryStringValue does: the type must be REG_SZ or
// REG_EXPAND_SZ, the value must fit, and a value that is not empty must end in a zero byte.
long QueryStringValue(platform::RegistryKey* key, const char* name, char* out, std::uint32_t size) {
  std::uint32_t type = 0;
  std::uint32_t bytes = size;
  long result = platform::registryQuery(key, name, &type, out, &bytes);
  if (result != platform::kErrorSuccess) return result;
  if (type != platform::kRegSz && type != platform::kRegExpandSz) {
    return platform::kErrorInvalidData;
  }
  if (bytes == 0) {
    out[0] = '\0';
    return platform::kErrorSuccess;
  }
  if (bytes > size || out[bytes - 1] != '\0') return platform::kErrorInvalidData;
  return platform::kErrorSuccess;
}

// "HideSW" counts as 1 unless a 4-byte value can be read.
std::int32_t ReadHideSw() {
  platform::RegistryKey* key = nullptr;
  if (platform::registryOpen(platform::RegistryRoot::CurrentUser, kSettingsKey,
                             platform::kKeyAllAccess, &key) != platform::kErrorSuccess) {
    return 1;
  }
  unsigned char value[4];
  std::uint32_t size = sizeof value;
  long result = platform::registryQuery(key, "HideSW", nullptr, value, &size);
  platform::registryClose(key);
  if (result != platform::kErrorSuccess || size != sizeof value) return 1;
  return GetInt32(value);
}

// Where "AppDir" stands: read, unreadable (the message box has been shown), or its key missing.
enum class AppDirLookup { kRead, kUnreadable, kNoKey };

AppDirLookup ReadAppDir(char (&appDir)[kAppDirSize]) {
  platform::RegistryKey* key = nullptr;
  if (platform::registryOpen(platform::RegistryRoot::LocalMachine, kConfigKey,
                             platform::kKeyRead | platform::kKeyWrite,
                             &key) != platform::kErrorSuccess) {
    return AppDirLookup::kNoKey;
  }
  bool read = QueryStringValue(key, "AppDir", appDir, sizeof appDir) == platform::kErrorSuccess;
  if (!read) {
    platform::showMessageBox("Pb in QueryStringValue function\n",
                             platform::kMbOk | platform::kMbIconExclamation);
  }
  platform::registryClose(key);
  return read ? AppDirLookup::kRead : AppDirLookup::kUnreadable;
}

}  // namespace

void KvtScan3DLumora::Log(const char* line) {
  if (m_debugLog == nullptr) return;
  std::fputs(line, m_debugLog);
  // Flushed at once so the lines survive a host that ends abruptly.
  std::fflush(m_debugLog);
}

std::int32_t KvtScan3DLumora::Connect(std::int32_t mode) {
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

std::int32_t KvtScan3DLumora::Reset() {
  if (m_connected != 0) Connect(2);
  return 0;
}

KvtScan3DLumora::InitResult KvtScan3DLumora::Init() {
  OpenDebugLog();
  Log("Debut fonction Init.\n");
  char appDir[kAppDirSize] = {};
  AppDirLookup appDirLookup = ReadAppDir(appDir);
  if (appDirLookup == AppDirLookup::kNoKey) {
    Log("Pb : Registry open.\n");
    return kNoRegistryKey;
  }
  Log("Registry open.\n");
  bool programStarted = StartMissingProgram(appDir, appDirLookup == AppDirLookup::kRead);
  PrepareLink();
  InitResult result = programStarted ? HandshakeUntilTheProgramAnswers() : HandshakeOnce();
  return result == kLinkUp ? FinishLink() : result;
}

void KvtScan3DLumora::OpenDebugLog() {
  if (m_debugLog != nullptr) return;
  std::string path = std::string(m_logDirectory) + platform::kPathSeparator + kDebugLogName;
  // "r+" keeps an existing log and writes over it from the start.
  m_debugLog = std::fopen(path.c_str(), "r+");
  if (m_debugLog == nullptr) m_debugLog = std::fopen(path.c_str(), "w+");
}

bool KvtScan3DLumora::StartMissingProgram(const char* appDir, bool appDirRead) {
  const bool console = !IsProcessRunning(kConsoleProgram);
  if (!console && IsProcessRunning(kScannerProgram)) return false;
  // Without "AppDir" a start would run whatever program of that name the search finds: nothing
  // is started, the log says why, and the handshake goes on as when both programs run.
  if (!appDirRead) {
    Log("Pb : AppDir unknown, program not started.\n");
    return false;
  }
  const char* parameters = "/hide";
  if (console) {
    Log("LinestudioConsole is not running: start it\n");
  } else {
    Log("Linestudio is not running : start it\n");
    if (ReadHideSw() == 0) parameters = "";
  }
  const char* program = console ? kConsoleProgram : kScannerProgram;
  platform::programStart((std::string(appDir) + program).c_str(), parameters);
  return true;
}

void KvtScan3DLumora::PrepareLink() {
  if (g_serverThread == nullptr && !StartDataChannelThread(this)) {
    Log("Probleme with pThread!!!\n");
  }
  m_startMode = START_MODE;
  m_acquiring = false;
  m_scanRunning = false;
}

KvtScan3DLumora::InitResult KvtScan3DLumora::HandshakeUntilTheProgramAnswers() {
  platform::Deadline deadline(CONNECT_TIMEOUT_MS);
  // Between two attempts the wait is for a message, at most kRetryWaitMs, instead of a spin that
  // would try thousands of connections a second.
  platform::pumpDispatchOne();
  bool handshaken = false;
  platform::WaitUntil(deadline, platform::WaitPause::kPump, kRetryWaitMs, [this, &handshaken] {
    handshaken = Handshake() == kHandshakeDone;
    return handshaken || m_commands.RecoveryEnded();
  });
  if (!handshaken && m_commands.RecoveryEnded()) {
    Log("OnConnect Failed\n");
    return kNoConnection;
  }
  // Checked after the attempt that succeeded too: a handshake past the limit is a time-out.
  if (deadline.Passed()) {
    Log("OnConnect Failed. TimeOut\n");
    return kNoConnection;
  }
  return kLinkUp;
}

KvtScan3DLumora::InitResult KvtScan3DLumora::HandshakeOnce() {
  if (Handshake() == kHandshakeDone) return kLinkUp;
  Log("OnConnect Failed\n");
  return kNoConnection;
}

KvtScan3DLumora::InitResult KvtScan3DLumora::FinishLink() {
  if (m_showStatus) m_settingsDialog.PressButton(DlgCfgLumora::kShowStatus);
  if (m_showToolBar) m_settingsDialog.PressButton(DlgCfgLumora::kShowToolBar);
  Log("Before Onmodelstart\n");
  SendModelStart();
  // Connected only with a command connection: a reply that came short on the way dropped it.
  m_connected = m_commands.IsOpen() ? 1 : 0;
  return m_connected != 0 ? kLinkUp : kNoConnection;
}

KvtScan3DLumora::HandshakeResult KvtScan3DLumora::Handshake() {
  {
    // The connection and its four questions are one step for the other threads.
    platform::LockGuard guard(CommandChannel::Lock());
    if (!m_commands.Open()) return kTcpConnectFailed;
    unsigned char reply[4] = {};
    auto ask = [&](std::int32_t code) {
      return m_commands.Exchange(code, nullptr, reply, sizeof reply) == CommandOutcome::kAnswered;
    };
    if (!ask(CMD_HANDSHAKE_A) || !ask(CMD_HANDSHAKE_B)) return kCommandFailed;
    // A reply that does not come whole leaves the setting as it was.
    if (!ask(CMD_SOUND_QUERY)) return kCommandFailed;
    m_sound = GetInt32(reply);
    if (!ask(CMD_HANDSHAKE_C)) return kCommandFailed;
  }
  SendModelStart();
  m_connected = m_commands.IsOpen() ? 1 : 0;
  return m_connected != 0 ? kHandshakeDone : kCommandFailed;
}

void KvtScan3DLumora::Disconnect() {
  if (m_acquiring) SendIgnoringFailure(CMD_ACQUIRE_STOP);
  SendStopSequence();
  {
    platform::LockGuard guard(CommandChannel::Lock());
    if (m_commands.Close()) {
      m_startMode = 0;
      m_scanRunning = false;
      m_acquiring = false;
    }
  }
  m_connected = 0;
}

std::int32_t KvtScan3DLumora::ReconnectAfterFailure() {
  if (!m_commands.MayRecover()) return 2;
  m_connected = 0;
  Disconnect();
  return Connect(1);
}

bool KvtScan3DLumora::IsProcessRunning(const char* name) {
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
  return listed && search.found;
}
