// The settings file "KvtScanner.ini" in the folder that is current when the library loads: its
// three options and the conversion of their texts to the integers the plug-in holds.
#pragma once

#include <cstdint>
#include <string>

constexpr const char* SETTINGS_FILE_NAME = "KvtScanner.ini";
constexpr const char* SETTINGS_SECTION = "Lumora";
// The most the folder and the file's path may take, terminator included.
constexpr unsigned SETTINGS_PATH_SIZE = 260;

// One option of section "Lumora": its key and the value a missing or empty text gives.
struct SettingsOption {
  const char* key;
  std::int32_t defaultValue;
};
// The three options, in the order they are read at load and written at unload.
constexpr SettingsOption SETTINGS_TOOL_BAR{"DisplayToolBar", 1};
constexpr SettingsOption SETTINGS_STATUS_BAR{"DisplayStatusBar", 0};
constexpr SettingsOption SETTINGS_TYPE_SCANNING{"TypeScanning", 1};

// The settings file's path in folder, into out (SETTINGS_PATH_SIZE characters). False, and out
// empty, when it does not fit: the library then stays inert rather than use a cut path.
[[nodiscard]] bool SettingsFilePath(const char* folder, char* out);

// The option's value in the settings file at path, as the plug-in reads it at load (before the
// two display options are folded to 0 or 1); the text it was read from in *text when not null.
std::int32_t ReadSettingsOption(const SettingsOption& option, const char* path,
                                std::string* text = nullptr);

// The text's leading decimal integer as the C library's atoi reads it: leading blanks, an
// optional sign, digits; no digits give 0. Values beyond the 32-bit range saturate.
std::int32_t SettingsLeadingInteger(const char* text);

// The value of a settings-file text: the default when the text is empty, else its leading
// integer.
std::int32_t SettingsValue(const char* text, std::int32_t defaultValue);
