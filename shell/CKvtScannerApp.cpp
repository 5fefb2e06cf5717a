// The application object: module check, current directory and the settings file at load and
// unload.
#include "shell/CKvtScannerApp.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "platform/module.h"
#include "platform/output.h"
#include "platform/profile.h"
#include "shell/CaptureSettings.h"
#include "shell/SettingsValue.h"

namespace {

constexpr const char* kKeyToolBar = SETTINGS_TOOL_BAR.key;
constexpr const char* kKeyStatus = SETTINGS_STATUS_BAR.key;
constexpr const char* kKeyTypeScanning = SETTINGS_TYPE_SCANNING.key;

bool WriteSetting(const char* key, std::int32_t value, const char* path) {
  char text[16];
  std::snprintf(text, sizeof text, "%d", static_cast<int>(value));
  return platform::profileWriteString(SETTINGS_SECTION, key, text, path);
}

// Starts the capture the settings file or the environment asks for, its first comment naming
// this build and the settings in force, so that a capture sent back from a site says what
// produced it.
void StartCapture(KvtScan3DLumora& scanner, const char* settingsPath) {
  CaptureSettings settings = ReadCaptureSettings(settingsPath);
  if (settings.path.empty()) return;
  const ScannerSettings& options = scanner.Settings();
  char comment[1024];
  std::snprintf(comment, sizeof comment,
                "KvtScanner Lumora plug-in %s. Settings: %s=%d %s=%d %s=%d (%s). Capture: %s, "
                "limit %llu MB.",
                KVT_VERSION, kKeyToolBar, options.ShowToolBar() ? 1 : 0, kKeyStatus,
                options.ShowStatus() ? 1 : 0, kKeyTypeScanning,
                static_cast<int>(options.TypeScanning()), settingsPath, settings.path.c_str(),
                static_cast<unsigned long long>(settings.limitBytes >> 20));
  settings.comment = comment;
  static_cast<void>(scanner.StartCapture(settings));
}

}  // namespace

CKvtScannerApp theApp;

CKvtScannerApp::CKvtScannerApp() : m_currentDirectory{}, m_settingsPath{}, m_scanner(nullptr) {
  // Memory that runs out while the library is loaded leaves it inert, as under another name: an
  // exception here would end the host's process inside its load of the library.
  try {
    Load();
  } catch (const std::bad_alloc&) {
    delete m_scanner.exchange(nullptr);
  }
}

void CKvtScannerApp::Load() {
  const std::string libraryName = std::string("KvtScannerLumora") + platform::kLibraryExtension;
  if (!platform::moduleIsLoaded(libraryName.c_str())) return;

  // A directory that leaves no room for the file name would give a truncated path: the
  // library then stays inert rather than read or write some other file.
  if (!platform::currentDirectory(m_currentDirectory, sizeof m_currentDirectory)) return;
  if (!SettingsFilePath(m_currentDirectory, m_settingsPath)) {
    m_currentDirectory[0] = '\0';
    return;
  }

  std::int32_t status = 0;
  std::unique_ptr<KvtScan3DLumora> scanner(new (std::nothrow) KvtScan3DLumora(&status));
  if (scanner == nullptr) return;
  scanner->Link().Log().SetDirectory(m_currentDirectory);
  ScannerSettings& settings = scanner->Settings();
  settings.SetShowToolBar(ReadSettingsOption(SETTINGS_TOOL_BAR, m_settingsPath) != 0);
  settings.SetShowStatus(ReadSettingsOption(SETTINGS_STATUS_BAR, m_settingsPath) != 0);
  settings.SetTypeScanning(ReadSettingsOption(SETTINGS_TYPE_SCANNING, m_settingsPath));
  if (status != 0) return;
  m_scanner = scanner.release();
  // Measuring goes on without a capture that cannot be started.
  try {
    StartCapture(*m_scanner.load(), m_settingsPath);
  } catch (const std::bad_alloc&) {
    platform::standardPrint(platform::StandardStream::kError,
                            "KvtScanner: the capture cannot be started: out of memory\n");
  }
}

CKvtScannerApp::~CKvtScannerApp() {
  // The exports answer without a scanner object from here on.
  KvtScan3DLumora* scanner = m_scanner.exchange(nullptr);
  if (scanner == nullptr) return;
  const ScannerSettings& settings = scanner->Settings();
  bool written = WriteSetting(kKeyToolBar, settings.ShowToolBar() ? 1 : 0, m_settingsPath);
  written = WriteSetting(kKeyStatus, settings.ShowStatus() ? 1 : 0, m_settingsPath) && written;
  written = WriteSetting(kKeyTypeScanning, settings.TypeScanning(), m_settingsPath) && written;
  // Nothing else is to be done at the unload, but the next load would start from the old values
  // without a word: the host's operator is told which file it was.
  if (!written) {
    platform::standardPrint(
        platform::StandardStream::kError,
        "KvtScanner: cannot write the settings file %s; it keeps its old values\n", m_settingsPath);
  }
  // Its teardown stops every part of the library, the capture included.
  delete scanner;
}
