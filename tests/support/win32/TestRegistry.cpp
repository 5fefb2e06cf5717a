// Test registry values in the real Windows registry.
#include "TestRegistry.h"

#include <windows.h>

namespace {
constexpr const char* kConfigKey = "SOFTWARE\\Lumora\\Linestudio\\config";
constexpr const char* kSettingsKey = "Software\\Lumora\\LinestudioConsole\\Settings";

void SetValue(HKEY root, const char* path, const char* name, DWORD type, const void* data,
              DWORD size) {
  HKEY key = nullptr;
  if (RegCreateKeyExA(root, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) ==
      ERROR_SUCCESS) {
    RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size);
    RegCloseKey(key);
  }
}
}  // namespace

TestRegistry::TestRegistry(const std::string&) { RemoveAll(); }

TestRegistry::~TestRegistry() { RemoveAll(); }

void TestRegistry::SetAppDir(const std::string& folder) {
  std::string text = folder;
  if (text.empty() || (text.back() != '\\' && text.back() != '/')) text += '\\';
  SetAppDirAsWritten(text, false);
}

void TestRegistry::SetAppDirAsWritten(const std::string& text, bool expandable) {
  SetValue(HKEY_LOCAL_MACHINE, kConfigKey, "AppDir", expandable ? REG_EXPAND_SZ : REG_SZ,
           text.c_str(), static_cast<DWORD>(text.size() + 1));
}

void TestRegistry::SetAppDirAsNumber(std::uint32_t value) {
  DWORD number = value;
  SetValue(HKEY_LOCAL_MACHINE, kConfigKey, "AppDir", REG_DWORD, &number, sizeof number);
}

void TestRegistry::SetHideSw(std::uint32_t value) {
  DWORD number = value;
  SetValue(HKEY_CURRENT_USER, kSettingsKey, "HideSW", REG_DWORD, &number, sizeof number);
}

void TestRegistry::RemoveAll() {
  RegDeleteKeyA(HKEY_LOCAL_MACHINE, kConfigKey);
  RegDeleteKeyA(HKEY_CURRENT_USER, kSettingsKey);
}

void TestRegistry::Write() {}
