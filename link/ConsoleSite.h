// The console's installation as the connection sequence finds it: its registry values, its two
// programs and the time a program it started has to answer. The site check of kvt-host reads
// them through the same functions.
#pragma once

#include <cstdint>
#include <string>

#include "platform/registry.h"

constexpr const char* CONSOLE_CONFIG_KEY = "SOFTWARE\\Lumora\\Linestudio\\config\\";
constexpr const char* CONSOLE_SETTINGS_KEY = "Software\\Lumora\\LinestudioConsole\\Settings\\";
constexpr const char* CONSOLE_PROGRAM = "LineStudioConsole.exe";
constexpr const char* SCANNER_PROGRAM = "linestudio.exe";
// The most "AppDir" may take, terminator included.
constexpr std::uint32_t APP_DIR_SIZE = 400;
// How long the sequence retries the handshake after it started a program.
constexpr std::uint32_t CONNECT_TIMEOUT_MS = 60000;

// What one read of "AppDir" found.
struct AppDirReading {
  long openResult = platform::kErrorFileNotFound;   // opening the key: kErrorSuccess or the error
  long queryResult = platform::kErrorFileNotFound;  // reading the value (QueryStringValue)
  std::uint32_t type = platform::kRegNone;          // the value's registry type
  std::string value;                                // the text as the registry holds it
  std::string folder;  // the programs' folder: expanded, with a separator at the end

  [[nodiscard]] bool KeyOpened() const { return openResult == platform::kErrorSuccess; }
  [[nodiscard]] bool Read() const { return KeyOpened() && queryResult == platform::kErrorSuccess; }
};

// Reads "AppDir" as the connection sequence does: the key opened for reading only (a standard
// user may not write the machine's keys), the value taken as ATL's QueryStringValue takes it.
// Without a view, where the plug-in looks (registryOpen); with one, in that view alone. Any
// thread; shows nothing.
[[nodiscard]] AppDirReading ReadAppDir();
[[nodiscard]] AppDirReading ReadAppDir(platform::RegistryView view);

// "HideSW": 1 unless a 4-byte value can be read. Any thread.
[[nodiscard]] std::int32_t ReadHideSw();
