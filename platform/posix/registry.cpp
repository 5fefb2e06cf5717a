// Read-only registry keys taken from a registry export file named by the environment.
#include "platform/registry.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "platform/posix/RegistryFile.h"
#include "platform/posix/TextFile.h"

namespace platform {

struct RegistryKey {
  RegistryValues values;
};

namespace {

constexpr long kErrorInvalidHandle = 6;
constexpr long kErrorInvalidParameter = 87;

// KVT_REGISTRY, else the file in the user's XDG configuration folder; empty when neither
// the variables nor HOME name a place.
std::string registryFilePath() {
  const char* explicitPath = std::getenv("KVT_REGISTRY");
  if (explicitPath != nullptr && explicitPath[0] != '\0') return explicitPath;
  const char* config = std::getenv("XDG_CONFIG_HOME");
  if (config != nullptr && config[0] != '\0') {
    return std::string(config) + "/kvtscanner/registry.reg";
  }
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] != '\0') {
    return std::string(home) + "/.config/kvtscanner/registry.reg";
  }
  return std::string();
}

}  // namespace

// The file is read-only. The machine's keys refuse write access as Windows refuses it to a standard
// user (every 64-bit process, without registry virtualisation); the user's own keys read alike
// whatever the access asked for.
long registryOpen(RegistryRoot root, const char* subKey, std::uint32_t access,
                  RegistryKey** key) try {
  if (key == nullptr) return kErrorInvalidParameter;
  *key = nullptr;
  constexpr std::uint32_t kWriteRights = kKeyWrite & ~kKeyRead;
  if (root == RegistryRoot::LocalMachine && (access & kWriteRights) != 0) {
    return kErrorAccessDenied;
  }
  std::string path = registryFilePath();
  std::string text;
  int error = ENOENT;
  if (path.empty() || !readRegularFile(path.c_str(), &text, &error)) {
    return error == EACCES ? kErrorAccessDenied : kErrorFileNotFound;
  }
  RegistryKeys keys = parseRegistryFile(text);
  const RegistryValues* values = findRegistryKey(keys, root, subKey != nullptr ? subKey : "");
  if (values == nullptr) return kErrorFileNotFound;
  *key = new RegistryKey{*values};
  return kErrorSuccess;
} catch (const std::bad_alloc&) {
  return kErrorNotEnoughMemory;
}

bool registryHasTwoViews() { return false; }

long registryOpenInView(RegistryRoot root, const char* subKey, std::uint32_t access,
                        RegistryView /*view*/, RegistryKey** key) {
  return registryOpen(root, subKey, access, key);
}

long registryQuery(RegistryKey* key, const char* name, std::uint32_t* type, void* data,
                   std::uint32_t* size) {
  if (key == nullptr) return kErrorInvalidHandle;
  if (data != nullptr && size == nullptr) return kErrorInvalidParameter;
  std::string lowerName = name != nullptr ? name : "";
  for (char& c : lowerName) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  auto found = key->values.find(lowerName);
  if (found == key->values.end()) return kErrorFileNotFound;
  const RegistryValue& value = found->second;
  if (type != nullptr) *type = value.type;
  if (size == nullptr) return kErrorSuccess;
  auto needed = static_cast<std::uint32_t>(value.data.size());
  if (data != nullptr && *size < needed) {
    *size = needed;
    return kErrorMoreData;
  }
  if (data != nullptr && needed > 0) std::memcpy(data, value.data.data(), needed);
  *size = needed;
  return kErrorSuccess;
}

void registryClose(RegistryKey* key) { delete key; }

bool expandEnvironment(const char* text, char* out, std::uint32_t size) try {
  std::string result;
  for (const char* at = text; *at != '\0';) {
    const char* end = *at == '%' ? std::strchr(at + 1, '%') : nullptr;
    const char* value = nullptr;
    if (end != nullptr && end > at + 1) {
      value = std::getenv(std::string(at + 1, end).c_str());
    }
    if (value != nullptr) {
      result += value;
      at = end + 1;
    } else {
      result += *at++;
    }
  }
  if (size == 0) return false;
  if (result.size() + 1 > size) {
    out[0] = '\0';
    return false;
  }
  std::memcpy(out, result.c_str(), result.size() + 1);
  return true;
} catch (const std::bad_alloc&) {
  if (size > 0) out[0] = '\0';
  return false;
}

}  // namespace platform
