// The console's folder as a 32-bit installer registers it, read by either build of the plug-in.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>

#include "platform/registry.h"

namespace {

constexpr const char* kKey = "SOFTWARE\\KvtScannerTests\\ViewTest";

class RegistryViewTest : public ::testing::Test {
 protected:
  void TearDown() override {
    RegDeleteKeyExA(HKEY_LOCAL_MACHINE, kKey, KEY_WOW64_32KEY, 0);
    RegDeleteKeyExA(HKEY_LOCAL_MACHINE, kKey, KEY_WOW64_64KEY, 0);
  }

  static void Write(REGSAM view, const char* text) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_ALL_ACCESS | view,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegSetValueExA(key, "AppDir", 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                   static_cast<DWORD>(std::strlen(text) + 1));
    RegCloseKey(key);
  }

  static std::string Read() {
    platform::RegistryKey* key = nullptr;
    if (platform::registryOpen(platform::RegistryRoot::LocalMachine, kKey,
                               platform::kKeyRead | platform::kKeyWrite,
                               &key) != platform::kErrorSuccess) {
      return "<not found>";
    }
    char text[64] = {};
    std::uint32_t size = sizeof text - 1;
    const bool read =
        platform::registryQuery(key, "AppDir", nullptr, text, &size) == platform::kErrorSuccess;
    platform::registryClose(key);
    return read ? text : "<unreadable>";
  }
};

TEST_F(RegistryViewTest, KeyOfA32BitInstallerIsFoundByBothBuilds) {
  Write(KEY_WOW64_32KEY, "C:\\Console32\\");
  EXPECT_EQ(Read(), "C:\\Console32\\");
}

TEST_F(RegistryViewTest, OwnViewComesFirst) {
  Write(KEY_WOW64_32KEY, "C:\\Console32\\");
  Write(sizeof(void*) == 8 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY, "C:\\Own\\");
  EXPECT_EQ(Read(), "C:\\Own\\");
}

TEST_F(RegistryViewTest, MissingEverywhereIsNotFound) { EXPECT_EQ(Read(), "<not found>"); }

}  // namespace
