// The version a Windows user and an installer see on the built DLL, read back with the system's
// own version calls.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "tools/host/PluginLibrary.h"

namespace {

class VersionResourceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string path = PluginLibrary::BuiltPath();
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
    ASSERT_GT(size, 0u) << path << " has no version resource";
    block_.resize(size);
    ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), 0, size, block_.data()));
  }

  std::string Text(const char* name) {
    std::string query = std::string("\\StringFileInfo\\040904b0\\") + name;
    char* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(block_.data(), query.c_str(), reinterpret_cast<void**>(&value), &length) ||
        value == nullptr) {
      return "<missing>";
    }
    return std::string(value);
  }

  std::vector<char> block_;
};

TEST_F(VersionResourceTest, NumbersMatchTheProjectsVersion) {
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueA(block_.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
  ASSERT_EQ(length, sizeof(VS_FIXEDFILEINFO));
  EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
  EXPECT_EQ(fixed->dwFileVersionMS,
            static_cast<DWORD>(MAKELONG(KVT_VERSION_MINOR, KVT_VERSION_MAJOR)));
  EXPECT_EQ(fixed->dwFileVersionLS, static_cast<DWORD>(MAKELONG(0, KVT_VERSION_PATCH)));
  EXPECT_EQ(fixed->dwProductVersionMS, fixed->dwFileVersionMS);
  EXPECT_EQ(fixed->dwProductVersionLS, fixed->dwFileVersionLS);
  EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_DLL));
}

TEST_F(VersionResourceTest, TextsNameTheFileTheProductAndItsBuild) {
  EXPECT_EQ(Text("FileVersion"), KVT_VERSION);
  EXPECT_EQ(Text("ProductVersion"), KVT_VERSION);
  EXPECT_EQ(Text("OriginalFilename"), "KvtScannerLumora.dll");
  EXPECT_EQ(Text("InternalName"), "KvtScannerMouse");
  EXPECT_EQ(Text("CompanyName"), KVT_COMPANY);
  EXPECT_EQ(Text("ProductName"), KVT_PRODUCT);
  // A user with both DLLs at hand tells them apart from the description.
  std::string bits = sizeof(void*) == 8 ? "(64-bit)" : "(32-bit)";
  std::string description = Text("FileDescription");
  EXPECT_NE(description.find(bits), std::string::npos) << description;
}

}  // namespace
