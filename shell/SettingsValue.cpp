// Conversion of the settings file's texts to the integers the plug-in holds.
#include "shell/SettingsValue.h"

#include <cctype>
#include <cstdint>

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
