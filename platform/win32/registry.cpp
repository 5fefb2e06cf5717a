// Read access to the Windows registry.
#include "platform/registry.h"

#include <windows.h>

namespace platform {

long registryOpen(RegistryRoot root, const char* subKey, std::uint32_t access, RegistryKey** key) {
  HKEY rootKey = root == RegistryRoot::LocalMachine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
  HKEY opened = nullptr;
  LONG result = RegOpenKeyExA(rootKey, subKey, 0, access, &opened);
  // A 64-bit process sees the machine's 64-bit view, a 32-bit installer writes to the 32-bit one
  // (SOFTWARE\WOW6432Node): what a 32-bit program would find is found here too. A 32-bit
  // process sees the 32-bit view already.
  if (result == ERROR_FILE_NOT_FOUND && sizeof(void*) == 8 && root == RegistryRoot::LocalMachine) {
    result = RegOpenKeyExA(rootKey, subKey, 0, access | KEY_WOW64_32KEY, &opened);
  }
  *key = result == ERROR_SUCCESS ? reinterpret_cast<RegistryKey*>(opened) : nullptr;
  return result;
}

bool registryHasTwoViews() {
  if (sizeof(void*) == 8) return true;
  BOOL wow64 = FALSE;
  return IsWow64Process(GetCurrentProcess(), &wow64) && wow64;
}

long registryOpenInView(RegistryRoot root, const char* subKey, std::uint32_t access,
                        RegistryView view, RegistryKey** key) {
  HKEY rootKey = root == RegistryRoot::LocalMachine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
  HKEY opened = nullptr;
  // 32-bit Windows ignores the flags: its one view is both.
  REGSAM viewFlag = view == RegistryView::kBits64 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;
  LONG result = RegOpenKeyExA(rootKey, subKey, 0, access | viewFlag, &opened);
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

bool expandEnvironment(const char* text, char* out, std::uint32_t size) {
  DWORD needed = ExpandEnvironmentStringsA(text, out, size);
  if (needed == 0 || needed > size) {
    if (size > 0) out[0] = '\0';
    return false;
  }
  return true;
}

}  // namespace platform
