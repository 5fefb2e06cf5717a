// Conversion of the settings file's texts to the integers the plug-in holds.
#pragma once

#include <cstdint>

// The text's leading decimal integer as the C library's atoi reads it: leading blanks, an
// optional sign, digits; no digits give 0. Values beyond the 32-bit range saturate.
std::int32_t SettingsLeadingInteger(const char* text);

// The value of a settings-file text: the default when the text is empty, else its leading
// integer.
std::int32_t SettingsValue(const char* text, std::int32_t defaultValue);
