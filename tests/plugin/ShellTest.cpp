// The library as a host sees it: exports with and without a scanner object, and the settings
// file read at load and written back at unload.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "PluginFiles.h"
#include "TempDir.h"
#include "platform/module.h"
#include "tools/host/PluginLibrary.h"

namespace {

std::string Setting(const std::string& file, const char* key) { return ReadSetting(file, key); }

class ShellTest : public ::testing::Test {
 protected:
  TempDir dir_;
  std::string ini_ = dir_.file("KvtScanner.ini");
};

TEST_F(ShellTest, FreshDirectoryGivesDefaultsAndUnloadCreatesTheSettingsFile) {
  {
    CurrentDirectory here(dir_.path());
    PluginLibrary plugin;
    ASSERT_TRUE(plugin.Load(PluginLibrary::BuiltPath())) << plugin.error();
    EXPECT_EQ(plugin.IsConnected(), 0);
    EXPECT_EQ(plugin.ButtonModeAvailable(), 5);
    EXPECT_EQ(plugin.ButtonModeGet(), 0);
    EXPECT_EQ(plugin.DetectGet(), 0);
    EXPECT_EQ(plugin.MouseGet(), 0);
    EXPECT_EQ(plugin.SoundGet(), 0);

    int first = 0x5a5a5a5a;
    int second = 0x6b6b6b6b;
    EXPECT_EQ(plugin.GetPluginVersion(&first, &second), 0);
    EXPECT_EQ(first, 0x5a5a5a5a);
    EXPECT_EQ(second, 0x6b6b6b6b);

    EXPECT_EQ(plugin.ButtonModeSet(7), 0);
    EXPECT_EQ(plugin.ButtonModeGet(), 7);
    EXPECT_EQ(plugin.DetectSet(1), 0);
    EXPECT_EQ(plugin.DetectGet(), 1);
    EXPECT_EQ(plugin.SetDiameter(6.0f), 0);
    EXPECT_EQ(plugin.SensorSet(2), 0);
    EXPECT_FALSE(std::filesystem::exists(ini_)) << "nothing is written before unload";
  }
  // Unloading, not the end of the process, writes the file.
  ASSERT_TRUE(std::filesystem::exists(ini_));
  EXPECT_EQ(Setting(ini_, "DisplayToolBar"), "1");
  EXPECT_EQ(Setting(ini_, "DisplayStatusBar"), "0");
  EXPECT_EQ(Setting(ini_, "TypeScanning"), "1");
  std::string text = ReadWholeFile(ini_);
  EXPECT_NE(text.find("[Lumora]"), std::string::npos) << text;
  EXPECT_LT(text.find("DisplayToolBar=1"), text.find("DisplayStatusBar=0")) << text;
  EXPECT_LT(text.find("DisplayStatusBar=0"), text.find("TypeScanning=1")) << text;
}

struct SettingsCase {
  const char* toolBar;
  const char* status;
  const char* typeScanning;
  const char* toolBarBack;
  const char* statusBack;
  const char* typeScanningBack;
};

TEST_F(ShellTest, SettingsAreReadAtLoadAndWrittenBackConverted) {
  const SettingsCase cases[] = {
      {"7", "abc", "-3", "1", "0", "-3"},
      {"0", "1", "0", "0", "1", "0"},
      {"", "", "", "1", "0", "1"},             // present but empty: the defaults
      {"abc", " 12x", "+42", "0", "1", "42"},  // no digits read as 0, not as the default
      {"-1", "0", "99999999999", "1", "0", "2147483647"},
  };
  for (const SettingsCase& c : cases) {
    SCOPED_TRACE(std::string(c.toolBar) + "/" + c.status + "/" + c.typeScanning);
    WriteWholeFile(ini_, std::string("[Other]\r\nKeep=me\r\n[Lumora]\r\nDisplayToolBar=") +
                             c.toolBar + "\r\nDisplayStatusBar=" + c.status +
                             "\r\nTypeScanning=" + c.typeScanning + "\r\n");
    {
      CurrentDirectory here(dir_.path());
      PluginLibrary plugin;
      ASSERT_TRUE(plugin.Load(PluginLibrary::BuiltPath())) << plugin.error();
    }
    EXPECT_EQ(Setting(ini_, "DisplayToolBar"), c.toolBarBack);
    EXPECT_EQ(Setting(ini_, "DisplayStatusBar"), c.statusBack);
    EXPECT_EQ(Setting(ini_, "TypeScanning"), c.typeScanningBack);
    char kept[16];
    platform::profileReadString("Other", "Keep", "", kept, sizeof kept, ini_.c_str());
    EXPECT_STREQ(kept, "me");
  }
}

TEST_F(ShellTest, SettingsFileStaysInTheDirectoryCurrentAtLoad) {
  TempDir elsewhere;
  {
    CurrentDirectory here(dir_.path());
    PluginLibrary plugin;
    ASSERT_TRUE(plugin.Load(PluginLibrary::BuiltPath())) << plugin.error();
    std::filesystem::current_path(elsewhere.path());
  }
  EXPECT_TRUE(std::filesystem::exists(ini_));
  EXPECT_FALSE(std::filesystem::exists(elsewhere.file("KvtScanner.ini")));
}

TEST_F(ShellTest, CopyUnderAnotherNameIsInert) {
  std::string copy = dir_.file(std::string("Other") + platform::kLibraryExtension);
  std::filesystem::copy_file(PluginLibrary::BuiltPath(), copy);
  WriteWholeFile(ini_, "[Lumora]\r\nDisplayToolBar=0\r\n");
  {
    CurrentDirectory here(dir_.path());
    PluginLibrary plugin;
    ASSERT_TRUE(plugin.Load(copy)) << plugin.error();
    EXPECT_EQ(plugin.ButtonModeAvailable(), 0x100000);
    EXPECT_EQ(plugin.IsConnected(), 0);
    EXPECT_EQ(plugin.SoundGet(), 0);
    EXPECT_EQ(plugin.SensorSet(2), 0);
    SensorEntry entries[3];
    std::memset(entries, 0x77, sizeof entries);
    int count = 99;
    EXPECT_EQ(plugin.SensorGetList(entries, 0, &count), 0);
    EXPECT_EQ(count, 99);
    EXPECT_EQ(entries[0].sensorType, 0x77777777);

    int first = 0;
    EXPECT_EQ(plugin.GetPluginVersion(&first, &first), 1);
    EXPECT_EQ(plugin.ButtonModeGet(), 1);
    EXPECT_EQ(plugin.ButtonModeSet(2), 1);
    EXPECT_EQ(plugin.ButtonModeGet(), 1);
    EXPECT_EQ(plugin.DetectGet(), 1);
    EXPECT_EQ(plugin.DetectSet(0), 1);
    EXPECT_EQ(plugin.MouseGet(), 1);
    EXPECT_EQ(plugin.MouseSet(4), 1);
    EXPECT_EQ(plugin.SoundSet(1), 1);
    EXPECT_EQ(plugin.SetDiameter(2.0f), 1);
    EXPECT_EQ(plugin.Connect(1), 1);
    EXPECT_EQ(plugin.Reset(), 1);
    EXPECT_EQ(plugin.MeasureStart(nullptr), 1);
    EXPECT_EQ(plugin.MeasureStop(), 1);
    int type = 5;
    double radius = 5.0;
    int kind = 5;
    EXPECT_EQ(plugin.SensorGet(&type, &radius, &kind), 1);
    EXPECT_EQ(type, 5);
    EXPECT_EQ(plugin.Config(), 1);
  }
  EXPECT_EQ(ReadWholeFile(ini_), "[Lumora]\r\nDisplayToolBar=0\r\n")
      << "an inert copy writes nothing";
}

TEST_F(ShellTest, CopyUnderAnotherNameCreatesNoSettingsFile) {
  std::string copy = dir_.file(std::string("Other") + platform::kLibraryExtension);
  std::filesystem::copy_file(PluginLibrary::BuiltPath(), copy);
  {
    CurrentDirectory here(dir_.path());
    PluginLibrary plugin;
    ASSERT_TRUE(plugin.Load(copy)) << plugin.error();
  }
  EXPECT_FALSE(std::filesystem::exists(ini_));
}

TEST_F(ShellTest, NameCheckIgnoresCase) {
  std::string copy = dir_.file(std::string("kvtscannerlumora") + platform::kLibraryExtension);
  std::filesystem::copy_file(PluginLibrary::BuiltPath(), copy);
  {
    CurrentDirectory here(dir_.path());
    PluginLibrary plugin;
    ASSERT_TRUE(plugin.Load(copy)) << plugin.error();
    EXPECT_EQ(plugin.ButtonModeAvailable(), 5);
  }
  EXPECT_TRUE(std::filesystem::exists(ini_));
}

}  // namespace
