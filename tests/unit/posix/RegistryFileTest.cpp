// Registry keys read from a registry export file named by KVT_REGISTRY or the XDG folders.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "platform/posix/RegistryFile.h"
#include "platform/registry.h"

namespace platform {
namespace {

// A string value's bytes as the registry stores them: the text and its terminator.
std::string WithNul(const char* text) { return std::string(text) + '\0'; }

constexpr const char* kConfigKey = "SOFTWARE\\Lumora\\Linestudio\\config";
constexpr RegistryRoot kMachine = RegistryRoot::LocalMachine;
constexpr const char* kVariables[] = {"KVT_REGISTRY", "XDG_CONFIG_HOME", "HOME"};

class RegistryFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : kVariables) {
      const char* value = std::getenv(name);
      saved_.emplace_back(value != nullptr ? value : "", value != nullptr);
    }
    folder_ = std::filesystem::temp_directory_path() /
              ("kvt-registry-" + std::to_string(std::random_device{}()));
    path_ = (folder_ / "registry.reg").string();
    ::setenv("KVT_REGISTRY", path_.c_str(), 1);
  }

  void TearDown() override {
    for (std::size_t i = 0; i < saved_.size(); ++i) {
      if (saved_[i].second) ::setenv(kVariables[i], saved_[i].first.c_str(), 1);
      if (!saved_[i].second) ::unsetenv(kVariables[i]);
    }
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }

  static void writeFile(const std::filesystem::path& path, const std::string& text) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary).write(text.data(), text.size());
  }

  static bool hasKey(RegistryRoot root, const char* subKey) {
    RegistryKey* key = nullptr;
    long result = registryOpen(root, subKey, kKeyRead, &key);
    registryClose(key);
    return result == kErrorSuccess;
  }

  // The bytes of a value, or "error N" when the key or the value cannot be read.
  static std::string value(const char* subKey, const char* name, std::uint32_t* type = nullptr) {
    RegistryKey* key = nullptr;
    long result = registryOpen(kMachine, subKey, kKeyRead, &key);
    char buffer[256];
    std::uint32_t size = sizeof buffer;
    if (result == kErrorSuccess) result = registryQuery(key, name, type, buffer, &size);
    registryClose(key);
    return result == kErrorSuccess ? std::string(buffer, size) : "error " + std::to_string(result);
  }

  std::vector<std::pair<std::string, bool>> saved_;
  std::filesystem::path folder_;
  std::string path_;
};

const std::string kMissing = "error " + std::to_string(kErrorFileNotFound);

TEST_F(RegistryFileTest, MissingFileMeansEveryKeyIsMissing) {
  RegistryKey* key = reinterpret_cast<RegistryKey*>(&key);
  EXPECT_EQ(registryOpen(kMachine, kConfigKey, kKeyRead, &key), kErrorFileNotFound);
  EXPECT_EQ(key, nullptr);
  registryClose(nullptr);
}

TEST_F(RegistryFileTest, FileLocationFollowsTheEnvironment) {
  const std::string header = "Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\";
  writeFile(path_, header + "Explicit]\n");
  writeFile(folder_ / "xdg/kvtscanner/registry.reg", header + "Xdg]\n");
  writeFile(folder_ / "home/.config/kvtscanner/registry.reg", header + "Home]\n");
  ::setenv("XDG_CONFIG_HOME", (folder_ / "xdg").c_str(), 1);
  ::setenv("HOME", (folder_ / "home").c_str(), 1);
  EXPECT_TRUE(hasKey(RegistryRoot::CurrentUser, "Explicit"));
  ::unsetenv("KVT_REGISTRY");
  EXPECT_TRUE(hasKey(RegistryRoot::CurrentUser, "Xdg"));
  EXPECT_FALSE(hasKey(RegistryRoot::CurrentUser, "Home"));
  ::unsetenv("XDG_CONFIG_HOME");
  EXPECT_TRUE(hasKey(RegistryRoot::CurrentUser, "Home"));
}

TEST_F(RegistryFileTest, ReadsStringDwordAndHexValues) {
  writeFile(path_,
            "\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Lumora\\Linestudio\\config]\r\n"
            "\"InstallDir\"=\"C:\\\\Program Files\\\\Lumora \\\"LS\\\"\"\r\n"
            "\"Port\"=dword:00001b58\r\n\"Short\"=dword:A\r\n"
            "\"Path\"=hex(2):25,00,41,00,\\\r\n  00,00\r\n"
            "\"Blob\"=hex:01,02,ff\r\n\"Nothing\"=hex(0):\r\n@=\"default\"\r\n");
  std::uint32_t type = 0xFFFF;
  EXPECT_EQ(value(kConfigKey, "InstallDir", &type),
            std::string("C:\\Program Files\\Lumora \"LS\"\0", 29));
  EXPECT_EQ(type, kRegSz);
  EXPECT_EQ(value(kConfigKey, "Port", &type), std::string("\x58\x1b\0\0", 4));
  EXPECT_EQ(type, kRegDword);
  EXPECT_EQ(value(kConfigKey, "Short"), std::string("\x0a\0\0\0", 4));
  // UTF-16 in the file, 8-bit text to the query, as RegQueryValueExA gives it.
  EXPECT_EQ(value(kConfigKey, "Path", &type), std::string("%A\0", 3));
  EXPECT_EQ(type, kRegExpandSz);
  EXPECT_EQ(value(kConfigKey, "Blob", &type), "\x01\x02\xff");
  EXPECT_EQ(type, kRegBinary);
  EXPECT_EQ(value(kConfigKey, "Nothing", &type), "");
  EXPECT_EQ(type, kRegNone);
  EXPECT_EQ(value(kConfigKey, ""), WithNul("default"));
}

TEST_F(RegistryFileTest, KeyAndValueNamesMatchWithoutCase) {
  writeFile(path_, "REGEDIT4\n[HKEY_LOCAL_MACHINE\\" + std::string(kConfigKey) +
                       "\\]\n\"DataPath\"=\"D:\\\\scans\"\n");
  EXPECT_EQ(value("software\\LUMORA\\linestudio\\Config\\", "datapath"), WithNul("D:\\scans"));
  EXPECT_FALSE(hasKey(RegistryRoot::CurrentUser, kConfigKey));
  EXPECT_FALSE(hasKey(kMachine, "SOFTWARE\\Lumora\\Line"));
  // A parent exists through its subkey, as in the registry, but holds no values.
  EXPECT_EQ(value("SOFTWARE\\Lumora", "DataPath"), kMissing);
  EXPECT_TRUE(hasKey(kMachine, "SOFTWARE\\Lumora"));
}

TEST_F(RegistryFileTest, QueryReportsSizesAsRegQueryValueExDoes) {
  writeFile(path_, "REGEDIT4\n[HKEY_CURRENT_USER\\Kvt]\n\"Name\"=\"abcd\"\n");
  RegistryKey* key = nullptr;
  ASSERT_EQ(registryOpen(RegistryRoot::CurrentUser, "Kvt", kKeyAllAccess, &key), kErrorSuccess);
  std::uint32_t type = 0;
  std::uint32_t size = 0;
  EXPECT_EQ(registryQuery(key, "Name", &type, nullptr, &size), kErrorSuccess);
  EXPECT_EQ(type, kRegSz);
  EXPECT_EQ(size, 5u);
  char buffer[8] = "xxxxxxx";
  size = 4;
  EXPECT_EQ(registryQuery(key, "Name", nullptr, buffer, &size), kErrorMoreData);
  EXPECT_EQ(size, 5u);
  EXPECT_EQ(buffer[0], 'x');
  EXPECT_EQ(registryQuery(key, "Name", nullptr, buffer, &size), kErrorSuccess);
  EXPECT_STREQ(buffer, "abcd");
  EXPECT_EQ(registryQuery(key, "Missing", &type, buffer, &size), kErrorFileNotFound);
  registryClose(key);
}

TEST_F(RegistryFileTest, MalformedLinesDeletionsAndOtherHeadersAreSkipped) {
  writeFile(
      path_,
      "REGEDIT4\n\"Orphan\"=\"x\"\n[HKEY_LOCAL_MACHINE\\Test]\n\"Good\"=\"1\"\n"
      "\"BadEscape\"=\"a\\qb\"\n\"Open\"=\"abc\n\"Long\"=dword:123456789\n"
      "\"NoDigits\"=dword:\n\"BadHex\"=hex:1g,02\n\"Trailing\"=\"x\" junk\nBare=value\n"
      "\"Deleted\"=-\n; \"Comment\"=\"x\"\n\"Later\"  =  dword:2\n"
      "[-HKEY_LOCAL_MACHINE\\Gone]\n\"InGone\"=\"x\"\n[HKEY_CLASSES_ROOT\\Test]\n\"Root\"=\"x\"\n"
      "[HKEY_LOCAL_MACHINE\\Test] junk\n\"AfterJunk\"=\"x\"\n");
  EXPECT_EQ(value("Test", "Good"), WithNul("1"));
  EXPECT_EQ(value("Test", "Later"), std::string("\x02\0\0\0", 4));
  for (const char* name : {"Orphan", "BadEscape", "Open", "Long", "NoDigits", "BadHex", "Trailing",
                           "Bare", "Deleted", "Comment", "InGone", "Root", "AfterJunk"}) {
    EXPECT_EQ(value("Test", name), kMissing) << name;
  }
  EXPECT_FALSE(hasKey(kMachine, "Gone"));

  writeFile(path_, "Windows Registry Editor Version 4.00\n[HKEY_LOCAL_MACHINE\\Test]\n");
  EXPECT_FALSE(hasKey(kMachine, "Test"));
}

// Under the sanitizers, every cut of a valid file shows any read past the end of the text.
TEST(RegistryFileParse, EveryPrefixOfAFileParses) {
  const std::string text =
      "Windows Registry Editor Version 5.00\r\n[HKEY_LOCAL_MACHINE\\A\\B\\]\r\n"
      "\"S\"=\"x\\\\y\\\"z\"\r\n\"D\"=dword:0000000a\r\n@=hex(7):41,00,\\\r\n  00\r\n"
      "\"H\"=hex:ff\r\n[-HKEY_CURRENT_USER\\C]\r\n";
  for (std::size_t length = 0; length < text.size(); ++length) {
    for (const auto& [key, values] : parseRegistryFile(text.substr(0, length))) {
      for (const auto& [name, parsed] : values) {
        if (parsed.type == kRegSz) {
          EXPECT_EQ(parsed.data.back(), 0) << length;
        }
      }
    }
  }
}

}  // namespace
}  // namespace platform
