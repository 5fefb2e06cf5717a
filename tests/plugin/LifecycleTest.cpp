// Loading and unloading the plug-in as a host does, against what the process keeps: no
// thread-local slot is taken per load, and an unload right after the load, while the capture's
// thread cannot begin for Windows' loader lock, does not wait for that thread.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "ChildProcess.h"
#include "HostFaults.h"
#include "ProcessResources.h"
#include "TempDir.h"
#include "Wait.h"
#include "tools/host/PluginLibrary.h"

namespace {

// What each load does: an export that reaches the acquisition's mark of its caller, and a
// disconnect, which sends the stop sequence through the command channel; no console needed.
void LoadDisconnectAndUnload(int cycles) {
  for (int i = 0; i < cycles; ++i) {
    PluginLibrary plugin;
    ASSERT_TRUE(plugin.Load(PluginLibrary::BuiltPath())) << plugin.error();
    ASSERT_EQ(plugin.Connect(0), 0);
    ASSERT_EQ(plugin.IsConnected(), 0);
  }
}

// Each load took two slots of the process and gave none back: after about 500 loads the host's
// other libraries, and the plug-in's own mark of a sink that calls back, found none left.
TEST(LifecycleTest, FiveHundredLoadsKeepTheProcesssThreadSlots) {
  TempDir dir;
  CurrentDirectory here(dir.path());
  LoadDisconnectAndUnload(3);
  const int before = FreeThreadSlots();
  ASSERT_GT(before, 0);
  LoadDisconnectAndUnload(500);
  const int after = FreeThreadSlots();
  std::printf("free thread-local slots: %d before 500 loads and unloads, %d after\n", before,
              after);
  EXPECT_EQ(after, before);
}

// A host that unloads the plug-in at once after loading it, with the capture on: the capture's
// thread, started at the load, may not have begun when the unload takes the loader lock, and
// then cannot begin before the unload is over. The loader lock is held here from before the load
// to after the unload, which makes that certain.
TEST(LifecycleTest, UnloadRightAfterTheLoadDoesNotWaitForTheCapturesThread) {
  TempDir dir;
  CurrentDirectory here(dir.path());
  const std::string capture = dir.file("capture.pcapng");
  SetTestEnvironment("KVT_CAPTURE", capture.c_str());
  // A hung unload cannot be undone: the program ends after the bound. Started before the lock,
  // so that it runs while the lock is held.
  std::atomic<bool> done{false};
  std::thread watchdog([&done] {
    if (!WaitUntil([&done] { return done.load(); }, 20000, 10)) {
      std::fprintf(stderr, "the unload did not return within 20 s\n");
      std::abort();
    }
  });
  const bool held = TakeLoaderLock();
  {
    PluginLibrary plugin;
    const bool loaded = plugin.Load(PluginLibrary::BuiltPath());
    EXPECT_TRUE(loaded) << plugin.error();
  }
  if (held) ReleaseLoaderLock();
  done = true;
  watchdog.join();
  SetTestEnvironment("KVT_CAPTURE", nullptr);
  // The stop wrote the file's start and its end itself.
  EXPECT_EQ(FilesStartingWith(dir.path(), "capture-").size(), 1u);
}

}  // namespace
