// Read access to the Windows registry.
#include "platform/registry.h"

#include <windows.h>

namespace platform {

long registryOpen(RegistryRoot root, const char* subKey, std::uint32_t access, RegistryKey** key) {
  HKEY rootKey = root == RegistryRoot::LocalMachine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
  HKEY opened = nullptr;
  LONG result = RegOpenKeyExA(rootKey, subKey, 0, access, &opened);
  *key = result == ERROR_SUCCESS ? reinterpret_cast<RegistryKey*>(opened) : nullptr;
  return result;
}

long registryQuery(RegistryKey* key, const char* name, std::uint32_t* type, void* data,
                   std::uint32_t* size) {
  DWORD valueType = REG_NONE;
  DWORD valueSize = size ? *size : 0;
  LONG result = RegQueryValueExA(reinterpret_cast<HKEY>(key), name, nullptr, &valueType,
                                 static_cast<BYTE*>(data), size ? &valueSize : nullptr);
  if (type) *type = valueType;
  if (size) *size = valueSize;
  return result;
}

void registryClose(RegistryKey* key) {
  if (key) RegCloseKey(reinterpret_cast<HKEY>(key));
}

}  // namespace platform
