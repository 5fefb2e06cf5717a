// A host that loads and frees the plug-in again and again, as some hosts do for every
// measurement session: the process must not grow by a handle or a thread per cycle.
#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>

#include "ProcessResources.h"
#include "TempDir.h"
#include "tools/host/PluginLibrary.h"

namespace {

std::string Describe(const std::map<std::string, int>& counts) {
  std::ostringstream text;
  for (const auto& [type, count] : counts) text << type << " " << count << "; ";
  return text.str();
}

void LoadAndFree(int cycles) {
  for (int i = 0; i < cycles; ++i) {
    PluginLibrary plugin;
    ASSERT_TRUE(plugin.Load(PluginLibrary::BuiltPath())) << plugin.error();
    ASSERT_EQ(plugin.ButtonModeAvailable(), 5);
  }
}

TEST(LoadUnloadTest, TwoHundredCyclesKeepHandlesAndThreadsFlat) {
  TempDir dir;
  CurrentDirectory here(dir.path());
  WarmUpProcessResources();
  // The first loads let the system libraries that the plug-in pulls in open what they keep.
  LoadAndFree(10);
  const std::map<std::string, int> handlesBefore = CountHandlesByType();
  const int threadsBefore = CountProcessResources().threads;
  ASSERT_FALSE(handlesBefore.empty()) << "the system's handle list is not available";

  LoadAndFree(200);
  EXPECT_EQ(Describe(CountHandlesByType()), Describe(handlesBefore));
  EXPECT_EQ(CountProcessResources().threads, threadsBefore);
}

}  // namespace
