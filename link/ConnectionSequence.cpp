// The connection sequence: bringing the link to the console up (starting the console when it is
// not running) and down again.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

#include "datachannel/DataChannel.h"
#include "link/CommandChannel.h"
#include "link/CommandCodes.h"
#include "link/KvtScan3DLumora.h"
#include "link/WireValues.h"
#include "platform/module.h"
#include "platform/notice.h"
#include "platform/process.h"
#include "platform/pump.h"
#include "platform/registry.h"
#include "platform/time.h"

namespace {

constexpr std::uint32_t CONNECT_TIMEOUT_MS = 60000;
constexpr std::int32_t START_MODE = 7;
// Between two handshake attempts the wait is for a message, at most this long, instead of a
// spin that would try thousands of connections a second.
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

// Holds the one connection sequence for its scope, when no other runs on any thread.
class SequenceClaim {
 public:
  explicit SequenceClaim(std::atomic<bool>& running)
      : running_(running), owned_(!running.exchange(true)) {}
  ~SequenceClaim() {
    if (owned_) running_ = false;
  }
  SequenceClaim(const SequenceClaim&) = delete;
  SequenceClaim& operator=(const SequenceClaim&) = delete;
  bool owned() const { return owned_; }

 private:
  std::atomic<bool>& running_;
  bool owned_;
};

// One pass of a wait on the calling thread: dispatch a waiting message, or wait briefly for one.
void PumpOrWait(unsigned waitMs) {
  if (!platform::pumpDispatchOne()) platform::pumpWait(waitMs);
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
        SequenceClaim claim(m_sequenceRunning);
        if (!claim.owned() || Init() != 0) return 2;
        return 0;
      }
      case 2: {
        SequenceClaim claim(m_sequenceRunning);
        if (!claim.owned()) return 2;
        Disconnect();
        // A failed handshake leaves nothing to wait for: m_connected would never be set.
        return Handshake() == 0 ? 0 : 2;
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

std::int32_t KvtScan3DLumora::Init() {
  bool programStarted = false;
  if (m_debugLog == nullptr) {
    std::string path = std::string(m_logDirectory) + platform::kPathSeparator + kDebugLogName;
    // "r+" keeps an existing log and writes over it from the start.
    m_debugLog = std::fopen(path.c_str(), "r+");
    if (m_debugLog == nullptr) m_debugLog = std::fopen(path.c_str(), "w+");
  }
  Log("Debut fonction Init.\n");

  platform::RegistryKey* key = nullptr;
  if (platform::registryOpen(platform::RegistryRoot::LocalMachine, kConfigKey,
                             platform::kKeyRead | platform::kKeyWrite,
                             &key) != platform::kErrorSuccess) {
    Log("Pb : Registry open.\n");
    return 3;
  }
  char appDir[kAppDirSize] = {};
  bool appDirRead =
      QueryStringValue(key, "AppDir", appDir, sizeof appDir) == platform::kErrorSuccess;
  if (!appDirRead) {
    platform::showMessageBox("Pb in QueryStringValue function\n",
                             platform::kMbOk | platform::kMbIconExclamation);
  }
  platform::registryClose(key);
  Log("Registry open.\n");

  // Without "AppDir" a start would run whatever program of that name the search finds: nothing
  // is started, and the handshake goes on as when both programs run.
  // The log says a start only where one happens.
  if (!IsProcessRunning(kConsoleProgram)) {
    if (appDirRead) {
      Log("LinestudioConsole is not running: start it\n");
      platform::programStart((std::string(appDir) + kConsoleProgram).c_str(), "/hide");
      programStarted = true;
    } else {
      Log("Pb : AppDir unknown, program not started.\n");
    }
  } else if (!IsProcessRunning(kScannerProgram)) {
    if (appDirRead) {
      Log("Linestudio is not running : start it\n");
      const char* parameters = ReadHideSw() != 0 ? "/hide" : "";
      platform::programStart((std::string(appDir) + kScannerProgram).c_str(), parameters);
      programStarted = true;
    } else {
      Log("Pb : AppDir unknown, program not started.\n");
    }
  }

  if (g_serverThread == nullptr && !StartDataChannelThread(this)) {
    Log("Probleme with pThread!!!\n");
  }

  m_startMode = START_MODE;
  m_acquiring = false;
  m_scanRunning = false;

  if (programStarted) {
    std::uint32_t start = platform::tickCount();
    for (bool first = true;; first = false) {
      if (first) {
        platform::pumpDispatchOne();
      } else {
        PumpOrWait(kRetryWaitMs);
      }
      std::int32_t result = Handshake();
      if (static_cast<std::uint32_t>(platform::tickCount() - start) > CONNECT_TIMEOUT_MS) {
        Log("OnConnect Failed. TimeOut\n");
        return 2;
      }
      if (result == 0) break;
    }
  } else if (Handshake() != 0) {
    Log("OnConnect Failed\n");
    return 2;
  }

  if (m_showStatus) m_settingsDialog.PressButton(DlgCfgLumora::kShowStatus);
  if (m_showToolBar) m_settingsDialog.PressButton(DlgCfgLumora::kShowToolBar);
  Log("Before Onmodelstart\n");
  SendModelStart();
  // Connected only with a command connection: a reply that came short on the way dropped it.
  m_connected = CommandChannelOpen() ? 1 : 0;
  return m_connected != 0 ? 0 : 2;
}

std::int32_t KvtScan3DLumora::Handshake() {
  {
    // The connection and its four questions are one step for the other threads.
    platform::LockGuard guard(CommandChannelLock());
    if (g_commandSocket != platform::kInvalidSocket) {
      TcpClose(g_commandSocket);
      g_commandSocket = platform::kInvalidSocket;
    }
    if (!TcpConnect(g_commandSocket, COMMAND_HOST, COMMAND_PORT)) return 1;
    unsigned char reply[4] = {};
    if (!ExchangeCommand(CMD_HANDSHAKE_A, nullptr, reply, sizeof reply, nullptr)) return 2;
    if (!ExchangeCommand(CMD_HANDSHAKE_B, nullptr, reply, sizeof reply, nullptr)) return 2;
    // A reply that does not come leaves the setting as it was.
    PutInt32(reply, m_sound);
    if (!ExchangeCommand(CMD_SOUND_QUERY, nullptr, reply, sizeof reply, nullptr)) return 2;
    m_sound = GetInt32(reply);
    if (!ExchangeCommand(CMD_HANDSHAKE_C, nullptr, reply, sizeof reply, nullptr)) return 2;
  }
  SendModelStart();
  m_connected = CommandChannelOpen() ? 1 : 0;
  return m_connected != 0 ? 0 : 2;
}

void KvtScan3DLumora::Disconnect() {
  if (m_acquiring) SendIgnoringFailure(CMD_ACQUIRE_STOP);
  SendStopSequence();
  {
    platform::LockGuard guard(CommandChannelLock());
    if (g_commandSocket != platform::kInvalidSocket) {
      m_startMode = 0;
      TcpClose(g_commandSocket);
      g_commandSocket = platform::kInvalidSocket;
      m_scanRunning = false;
      m_acquiring = false;
    }
  }
  m_connected = 0;
}

std::int32_t KvtScan3DLumora::ReconnectAfterFailure() {
  // A failure inside a connection sequence is that sequence's failure; one during the unload
  // is only a failure: starting programs and connecting is no work for the loader's unload.
  if (m_sequenceRunning || m_tearingDown) return 2;
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
