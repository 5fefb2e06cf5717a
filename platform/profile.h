// Settings (INI) files with the Windows private-profile semantics.
#pragma once

namespace platform {

// GetPrivateProfileStringA for one key: copies the value (blanks around it and one pair of
// enclosing quotes removed) into out, at most size - 1 characters and a terminator, or the
// default when the file, section or key is missing. Sections and keys compare without case.
// Returns the number of characters copied.
unsigned profileReadString(const char* section, const char* key, const char* defaultValue,
                           char* out, unsigned size, const char* path);

// WritePrivateProfileStringA: sets key=value in section, creating the file and the section
// when missing and keeping every other section, key and comment as it was. False on failure.
[[nodiscard]] bool profileWriteString(const char* section, const char* key, const char* value,
                                      const char* path);

}  // namespace platform
