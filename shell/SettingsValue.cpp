// The settings file's path, its options and the conversion of their texts.
#include "shell/SettingsValue.h"

#include <cctype>
#include <cstdint>
#include <cstdio>

#include "platform/module.h"
#include "platform/profile.h"

bool SettingsFilePath(const char* folder, char* out) {
  int length = std::snprintf(out, SETTINGS_PATH_SIZE, "%s%c%s", folder, platform::kPathSeparator,
                             SETTINGS_FILE_NAME);
  if (length < 0 || static_cast<unsigned>(length) >= SETTINGS_PATH_SIZE) {
    out[0] = '\0';
    return false;
  }
  return true;
}

std::int32_t ReadSettingsOption(const SettingsOption& option, const char* path, std::string* text) {
  char value[SETTINGS_PATH_SIZE];
  platform::profileReadString(SETTINGS_SECTION, option.key, "", value, sizeof value, path);
  if (text != nullptr) *text = value;
  return SettingsValue(value, option.defaultValue);
}

std::int32_t SettingsLeadingInteger(const char* text) {
  const unsigned char* at = reinterpret_cast<const unsigned char*>(text);
  while (std::isspace(*at)) ++at;
  bool negative = false;
  if (*at == '+' || *at == '-') {
    negative = *at == '-';
    ++at;
  }
  std::int64_t value = 0;
  constexpr std::int64_t kLimit = static_cast<std::int64_t>(INT32_MAX) + 1;
  while (std::isdigit(*at)) {
    if (value < kLimit) value = value * 10 + (*at - '0');
    ++at;
  }
  if (negative) value = -value;
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<std::int32_t>(value);
}

std::int32_t SettingsValue(const char* text, std::int32_t defaultValue) {
  return text[0] == '\0' ? defaultValue : SettingsLeadingInteger(text);
}
