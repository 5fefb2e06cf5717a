// Settings files on the Windows private-profile calls.
#include "platform/profile.h"

#include <windows.h>

namespace platform {

unsigned profileReadString(const char* section, const char* key, const char* defaultValue,
                           char* out, unsigned size, const char* path) {
  return GetPrivateProfileStringA(section, key, defaultValue, out, size, path);
}

bool profileWriteString(const char* section, const char* key, const char* value, const char* path) {
  return WritePrivateProfileStringA(section, key, value, path) != 0;
}

}  // namespace platform
