// The console's registry values as the connection sequence reads them.
#include "link/ConsoleSite.h"

#include "platform/module.h"
#include "wire/WireValues.h"

namespace {

// Reads a string value as ATL's CRegKey::QueryStringValue does: the type must be REG_SZ or
// REG_EXPAND_SZ, the value must fit, and a value that is not empty must end in a zero byte.
long QueryStringValue(platform::RegistryKey* key, const char* name, char* out, std::uint32_t size,
                      std::uint32_t* valueType) {
  std::uint32_t& type = *valueType;
  std::uint32_t bytes = size;
  long result = platform::registryQuery(key, name, &type, out, &bytes);
  if (result != platform::kErrorSuccess) return result;
  if (type != platform::kRegSz && type != platform::kRegExpandSz) {
    return platform::kErrorInvalidData;
  }
  if (bytes == 0) {
    out[0] = '\0';
    return platform::kErrorSuccess;
  }
  if (bytes > size || out[bytes - 1] != '\0') return platform::kErrorInvalidData;
  return platform::kErrorSuccess;
}

// "AppDir" as the folder the program names are appended to: an expandable value expanded, and a
// separator added when the value does not end in one.
std::string ProgramFolder(const char* value, std::uint32_t type) {
  std::string folder = value;
  char expanded[APP_DIR_SIZE * 4];
  if (type == platform::kRegExpandSz &&
      platform::expandEnvironment(value, expanded, sizeof expanded)) {
    folder = expanded;
  }
  if (!folder.empty() && folder.back() != '\\' && folder.back() != '/') {
    folder += platform::kPathSeparator;
  }
  return folder;
}

AppDirReading ReadFromKey(long openResult, platform::RegistryKey* key) {
  AppDirReading reading;
  reading.openResult = openResult;
  if (openResult != platform::kErrorSuccess) return reading;
  char appDir[APP_DIR_SIZE] = {};
  reading.queryResult = QueryStringValue(key, "AppDir", appDir, sizeof appDir, &reading.type);
  platform::registryClose(key);
  if (reading.queryResult == platform::kErrorSuccess) {
    reading.value = appDir;
    reading.folder = ProgramFolder(appDir, reading.type);
  }
  return reading;
}

}  // namespace

AppDirReading ReadAppDir() {
  platform::RegistryKey* key = nullptr;
  long opened = platform::registryOpen(platform::RegistryRoot::LocalMachine, CONSOLE_CONFIG_KEY,
                                       platform::kKeyRead, &key);
  return ReadFromKey(opened, key);
}

AppDirReading ReadAppDir(platform::RegistryView view) {
  platform::RegistryKey* key = nullptr;
  long opened = platform::registryOpenInView(platform::RegistryRoot::LocalMachine,
                                             CONSOLE_CONFIG_KEY, platform::kKeyRead, view, &key);
  return ReadFromKey(opened, key);
}

std::int32_t ReadHideSw() {
  platform::RegistryKey* key = nullptr;
  if (platform::registryOpen(platform::RegistryRoot::CurrentUser, CONSOLE_SETTINGS_KEY,
                             platform::kKeyAllAccess, &key) != platform::kErrorSuccess) {
    return 1;
  }
  unsigned char value[4];
  std::uint32_t size = sizeof value;
  long result = platform::registryQuery(key, "HideSW", nullptr, value, &size);
  platform::registryClose(key);
  if (result != platform::kErrorSuccess || size != sizeof value) return 1;
  return GetInt32(value);
}
