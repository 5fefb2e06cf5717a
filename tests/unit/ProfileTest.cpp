// Settings files read and written through the profile functions, asserting what Windows does.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include "platform/module.h"
#include "platform/profile.h"

namespace platform {
namespace {

class ProfileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = std::filesystem::temp_directory_path() /
              ("kvt-profile-" + std::to_string(std::random_device{}()));
    std::filesystem::create_directories(folder_);
    path_ = folder_.string() + kPathSeparator + "settings.ini";
  }

  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }

  void writeText(const std::string& text) {
    std::ofstream(path_, std::ios::binary).write(text.data(), text.size());
  }

  std::string fileText() {
    std::ifstream in(path_, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  std::string read(const char* section, const char* key, const char* defaultValue = "default") {
    char out[256];
    unsigned count = profileReadString(section, key, defaultValue, out, sizeof out, path_.c_str());
    EXPECT_EQ(count, std::strlen(out));
    return out;
  }

  bool write(const char* section, const char* key, const char* value) {
    return profileWriteString(section, key, value, path_.c_str());
  }

  std::filesystem::path folder_;
  std::string path_;
};

TEST_F(ProfileTest, MissingFileSectionOrKeyGivesTheDefault) {
  EXPECT_EQ(read("Lumora", "Port", "7000"), "7000");
  writeText("[Lumora]\r\nPort=7001\r\n");
  EXPECT_EQ(read("Camera", "Port"), "default");
  EXPECT_EQ(read("Lumora", "Host", nullptr), "");
  // Windows drops trailing spaces from the default.
  EXPECT_EQ(read("Lumora", "Host", "local  "), "local");
}

TEST_F(ProfileTest, ReadIgnoresCaseBlanksAndTheLineEndStyle) {
  writeText("[ Lumora ]\n  DisplayToolBar =  1 \t\n[Camera]\r\nport=7001\r\n[Last]\r\nKey=last");
  EXPECT_EQ(read("lumora", "DISPLAYTOOLBAR"), "1");
  EXPECT_EQ(read("CAMERA", "Port"), "7001");
  EXPECT_EQ(read("Lumora", "Port"), "default");
  EXPECT_EQ(read("Last", "Key"), "last");
}

TEST_F(ProfileTest, ReadRemovesOnePairOfMatchingQuotes) {
  writeText(
      "[Q]\r\nDouble=\"C:\\Lumora Data\"\r\nSingle='x'\r\nMixed=\"x'\r\nInner=\"\"q\"\"\r\n"
      "Lone=\"\r\nBlanks=  \" a \"  \r\n");
  EXPECT_EQ(read("Q", "Double"), "C:\\Lumora Data");
  EXPECT_EQ(read("Q", "Single"), "x");
  EXPECT_EQ(read("Q", "Mixed"), "\"x'");
  EXPECT_EQ(read("Q", "Inner"), "\"q\"");
  EXPECT_EQ(read("Q", "Lone"), "\"");
  EXPECT_EQ(read("Q", "Blanks"), " a ");
}

TEST_F(ProfileTest, ReadCopiesAtMostSizeMinusOneAndATerminator) {
  writeText("[Lumora]\r\nHost=abcdef\r\n");
  char out[8] = "xxxxxxx";
  EXPECT_EQ(profileReadString("Lumora", "Host", "", out, 4, path_.c_str()), 3u);
  EXPECT_STREQ(out, "abc");
  EXPECT_EQ(out[4], 'x');
  EXPECT_EQ(profileReadString("Lumora", "Missing", "default", out, 4, path_.c_str()), 3u);
  EXPECT_STREQ(out, "def");
  EXPECT_EQ(profileReadString("Lumora", "Host", "", out, 1, path_.c_str()), 0u);
  EXPECT_EQ(out[0], '\0');
  out[0] = 'x';
  EXPECT_EQ(profileReadString("Lumora", "Host", "", out, 0, path_.c_str()), 0u);
  EXPECT_EQ(out[0], 'x');
}

TEST_F(ProfileTest, WriteCreatesTheFileAndSectionsButNotAFolder) {
  ASSERT_TRUE(write("Lumora", "DisplayToolBar", "1"));
  EXPECT_EQ(fileText(), "[Lumora]\r\nDisplayToolBar=1\r\n");
  ASSERT_TRUE(write("Camera", "Exposure", "20"));
  EXPECT_EQ(fileText(), "[Lumora]\r\nDisplayToolBar=1\r\n[Camera]\r\nExposure=20\r\n");

  std::string path = folder_.string() + kPathSeparator + "missing" + kPathSeparator + "a.ini";
  EXPECT_FALSE(profileWriteString("Lumora", "Port", "7000", path.c_str()));
  EXPECT_FALSE(std::filesystem::exists(folder_ / "missing"));
}

TEST_F(ProfileTest, WriteReplacesTheFirstMatchKeepingEveryOtherLine) {
  const std::string before =
      "; Lumora settings\r\n[Other]\r\nDisplayToolBar=5\r\n[Lumora]\r\n; the toolbar\r\n"
      "Port=7000\r\nDisplayToolBar=0\r\nHost=lumora\r\n[Lumora]\r\nDisplayToolBar=2\r\n";
  writeText(before);
  ASSERT_TRUE(write("LUMORA", "displaytoolbar", "1"));
  std::string after = before;
  after.replace(after.find("DisplayToolBar=0"), 16, "DisplayToolBar=1");
  EXPECT_EQ(fileText(), after);
}

TEST_F(ProfileTest, WriteAppendsAMissingKeyToItsSection) {
  writeText("[Lumora]\r\nPort=7000\r\n[Last]\r\nX=1\r\n");
  ASSERT_TRUE(write("Lumora", "Host", "lumora"));
  ASSERT_TRUE(write("Last", "Y", "2"));
  EXPECT_EQ(fileText(), "[Lumora]\r\nPort=7000\r\nHost=lumora\r\n[Last]\r\nX=1\r\nY=2\r\n");

  // Windows keeps the blank line between sections and Wine drops it; both add the key above it.
  writeText("[Lumora]\r\nPort=7000\r\n\r\n[Last]\r\nX=1\r\n");
  ASSERT_TRUE(write("Lumora", "Host", "lumora"));
  std::string text = fileText();
  EXPECT_NE(text.find("[Lumora]\r\nPort=7000\r\nHost=lumora\r\n"), std::string::npos) << text;
  EXPECT_EQ(read("Last", "X"), "1");
}

TEST_F(ProfileTest, GarbageNeitherCrashesNorHidesEarlierKeys) {
  std::string garbage("\x01\xff\0[=]\r\n\0\0\r\n", 12);
  garbage += std::string(100000, 'x') + "=[\r\n[unclosed\r\n=\r\n\xEF\xBB\x80\r";
  writeText("[Lumora]\r\nKey=v\r\n[Junk]\r\n" + garbage);
  EXPECT_EQ(read("Lumora", "Key"), "v");
  EXPECT_EQ(read("Lumora", "Missing"), "default");
  ASSERT_TRUE(write("Lumora", "Key", "w"));
  EXPECT_EQ(read("Lumora", "Key"), "w");
}

}  // namespace
}  // namespace platform
