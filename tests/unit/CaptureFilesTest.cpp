// Naming a load's capture file after the configured one, and finding the earlier files of the
// same name among a folder's, oldest first.
#include <gtest/gtest.h>

#include "capture/CaptureFiles.h"
#include "platform/module.h"

namespace {

TEST(CaptureFilesTest, LoadFileIsTheConfiguredNameWithDateTimeAndNumber) {
  const std::string sep(1, platform::kPathSeparator);
  const struct {
    std::string configured, folder, stem, extension, first, third;
  } cases[] = {
      {"/var/kvt-site.pcapng", "/var/", "kvt-site", ".pcapng",
       "/var/kvt-site-20260309-070405.pcapng", "/var/kvt-site-20260309-070405-3.pcapng"},
      {"C:" + sep + "Temp" + sep + "a.b.pcap", "C:" + sep + "Temp" + sep, "a.b", ".pcap",
       "C:" + sep + "Temp" + sep + "a.b-20260309-070405.pcap",
       "C:" + sep + "Temp" + sep + "a.b-20260309-070405-3.pcap"},
      {"site", "", "site", "", "site-20260309-070405", "site-20260309-070405-3"},
      {"dir/.pcapng", "dir/", ".pcapng", "", "dir/.pcapng-20260309-070405",
       "dir/.pcapng-20260309-070405-3"},
  };
  const platform::LocalTime time{2026, 3, 9, 7, 4, 5};
  for (const auto& c : cases) {
    const CaptureName name = SplitCaptureName(c.configured);
    EXPECT_EQ(name.folder, c.folder) << c.configured;
    EXPECT_EQ(name.stem, c.stem) << c.configured;
    EXPECT_EQ(name.extension, c.extension) << c.configured;
    EXPECT_EQ(CaptureFileName(name, time, 1), c.first);
    EXPECT_EQ(CaptureFileName(name, time, 3), c.third);
  }
}

TEST(CaptureFilesTest, EarlierCapturesAreThoseOfTheNameOldestFirst) {
  const CaptureName name = SplitCaptureName("kvt-site.pcapng");
  std::vector<platform::FolderFile> files;
  for (const char* file :
       {"kvt-site-20260310-080000.pcapng", "kvt-site.pcapng", "kvt-site-20260309-070405-2.pcapng",
        "kvt-site-20260309-070405-10.pcapng", "kvt-site-20260309-070405.pcapng",
        "kvt-site-20260309-0704.pcapng", "kvt-site-2026030x-070405.pcapng",
        "kvt-site-20260309-070405-.pcapng", "kvt-site-20260309-070405.txt",
        "kvt-site-20260309-070405.pcapng.bak", "kvt-other-20260309-070405.pcapng",
        "kvt-site-notes-20260309-070405.pcapng", "other-20260309-070405.pcapng"}) {
    files.push_back({file, 1});
  }
  std::vector<std::string> earlier;
  for (const platform::FolderFile& file : EarlierCapturesOf(name, files)) {
    earlier.push_back(file.name);
  }
  EXPECT_EQ(earlier, (std::vector<std::string>{
                         "kvt-site-20260309-070405.pcapng", "kvt-site-20260309-070405-2.pcapng",
                         "kvt-site-20260309-070405-10.pcapng", "kvt-site-20260310-080000.pcapng"}));
}

}  // namespace
