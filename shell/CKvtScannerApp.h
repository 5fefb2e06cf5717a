// The library's one application object: owns the scanner object and the settings file.
#pragma once

#include <atomic>

#include "shell/KvtScan3DLumora.h"
#include "shell/SettingsValue.h"

constexpr unsigned PATH_BUFFER_SIZE = SETTINGS_PATH_SIZE;

class CKvtScannerApp {
 public:
  CKvtScannerApp();
  ~CKvtScannerApp();

  CKvtScannerApp(const CKvtScannerApp&) = delete;
  CKvtScannerApp& operator=(const CKvtScannerApp&) = delete;

  char m_currentDirectory[PATH_BUFFER_SIZE];
  char m_settingsPath[PATH_BUFFER_SIZE];
  // Read by every export, on any thread (a sink may call them from an acquisition thread);
  // cleared when the unload begins, before the teardown.
  std::atomic<KvtScan3DLumora*> m_scanner;

 private:
  // The load's work: the module check, the current directory, the settings and the scanner.
  void Load();
};

extern CKvtScannerApp theApp;
