// Small text helpers shared by the POSIX settings-file and registry-file readers.
#pragma once

#include <string>
#include <string_view>

namespace platform {

inline bool isBlank(char c) { return c == ' ' || c == '\t'; }

inline std::string_view trimBlanks(std::string_view text) {
  while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
  return text;
}

inline char lowerAscii(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Reads a whole regular file. A folder or a pipe is no such file, and opening one never waits.
// False with errno's value in *error (EISDIR or EINVAL for what is not a regular file); *mode,
// when given, receives the permission bits.
bool readRegularFile(const char* path, std::string* text, int* error, int* mode = nullptr);

}  // namespace platform
