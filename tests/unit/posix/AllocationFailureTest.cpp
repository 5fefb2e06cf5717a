// Memory that runs out inside a call of the POSIX platform layer: each call is made again and
// again with its first, second, third ... allocation failing, until a run meets no failure. Every
// run must return the call's own failure result (or its success, when the failing allocation was
// one it can do without), never throw, and leave nothing behind (the leak checker of the
// AddressSanitizer build sees what a failure path forgot).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>
#include <ostream>
#include <string>
#include <thread>

#include "TempDir.h"
#include "platform/dialog.h"
#include "platform/file.h"
#include "platform/process.h"
#include "platform/profile.h"
#include "platform/pump.h"
#include "platform/registry.h"
#include "platform/testing.h"

namespace {

// The allocation of this thread that fails next: 0 none; counted down by each allocation.
thread_local long t_failAt = 0;
thread_local bool t_failed = false;

void* Allocate(std::size_t size) {
  if (t_failAt > 0 && --t_failAt == 0) {
    t_failed = true;
    throw std::bad_alloc();
  }
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}

}  // namespace

// The test program's own allocations, so that one of them can fail on request.
void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t& /*unused*/) noexcept {
  try {
    return Allocate(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t /*size*/) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t /*size*/) noexcept { std::free(memory); }

namespace {

// Made before any allocation is made to fail: the cases allocate nothing of their own.
TempDir* g_dir = nullptr;
std::string g_settingsFile;
std::string g_registryFile;

// One platform call, run with nothing failing, and its verdict on a run.
struct Case {
  const char* name;
  // Runs the call; false when its result is neither its success nor its failure.
  std::function<bool()> call;
};

class AllocationFailureTest : public ::testing::TestWithParam<Case> {
 protected:
  static void SetUpTestSuite() {
    g_dir = new TempDir;
    WriteWholeFile(g_dir->file("settings.ini"), "[Lumora]\r\nDisplayToolBar=1\r\n");
    WriteWholeFile(g_dir->file("registry.reg"),
                   "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Lumora\\Linestudio\\config]\r\n"
                   "\"AppDir\"=\"/opt/console/\"\r\n");
    g_settingsFile = g_dir->file("settings.ini");
    g_registryFile = g_dir->file("registry.reg");
    ::setenv("KVT_REGISTRY", g_registryFile.c_str(), 1);
  }
  static void TearDownTestSuite() {
    ::unsetenv("KVT_REGISTRY");
    delete g_dir;
    g_dir = nullptr;
  }
};

// A dialog that ends at the first look at its input.
class EndingDialog : public platform::DialogHandler {
 public:
  void onInit(platform::Dialog* dialog) override { platform::dialogEnd(dialog, 7); }
  void onCommand(platform::Dialog* /*dialog*/, int /*id*/) override {}
  void onClose(platform::Dialog* /*dialog*/) override {}
  void onDestroy(platform::Dialog* /*dialog*/) override { destroyed = true; }
  bool destroyed = false;
};

TEST_P(AllocationFailureTest, EveryAllocationMayFail) {
  const Case& each = GetParam();
  long failing = 1;
  for (; failing < 10000; ++failing) {
    t_failed = false;
    t_failAt = failing;
    bool answered = false;
    EXPECT_NO_THROW(answered = each.call()) << "allocation " << failing;
    t_failAt = 0;
    EXPECT_TRUE(answered) << "allocation " << failing << ": a result that is not the call's";
    if (!t_failed) break;
  }
  EXPECT_GT(failing, 1) << each.name << " allocates nothing: the case tests nothing";
}

const Case kCases[] = {
    {"profileReadString",
     [] {
       char out[16];
       unsigned length = platform::profileReadString("Lumora", "DisplayToolBar", "0", out,
                                                     sizeof out, g_settingsFile.c_str());
       // The value, or the default when the file cannot be read.
       return length == 1 && (out[0] == '1' || out[0] == '0');
     }},
    {"profileWriteString",
     [] {
       (void)platform::profileWriteString("Lumora", "TypeScanning", "1", g_settingsFile.c_str());
       // The file is whole either way: the old content or the new.
       char out[16];
       return platform::profileReadString("Lumora", "DisplayToolBar", "0", out, sizeof out,
                                          g_settingsFile.c_str()) == 1;
     }},
    {"registryOpen",
     [] {
       platform::RegistryKey* key = nullptr;
       long result =
           platform::registryOpen(platform::RegistryRoot::LocalMachine,
                                  "SOFTWARE\\Lumora\\Linestudio\\config", platform::kKeyRead, &key);
       platform::registryClose(key);
       return (result == platform::kErrorSuccess) == (key != nullptr) &&
              (result == platform::kErrorSuccess || result == platform::kErrorNotEnoughMemory);
     }},
    {"expandEnvironment",
     [] {
       char out[256];
       bool expanded = platform::expandEnvironment("%KVT_REGISTRY%", out, sizeof out);
       return expanded ? std::strcmp(out, g_registryFile.c_str()) == 0 : out[0] == '\0';
     }},
    {"processForEach",
     [] {
       int seen = 0;
       bool listed = platform::processForEach(
           [](const char* /*name*/, void* context) {
             ++*static_cast<int*>(context);
             return false;
           },
           &seen);
       return !listed || seen > 0;
     }},
    {"programStart",
     [] {
       int error = 0;
       bool started = platform::programStart("/bin/true", "", &error);
       return started ? error == 0 : error == 8;  // ERROR_NOT_ENOUGH_MEMORY
     }},
    {"dialogRun",
     [] {
       int input[2];
       if (::pipe(input) != 0) return false;
       int output = ::open("/dev/null", O_WRONLY);
       char number[16];
       std::snprintf(number, sizeof number, "%d", input[0]);
       ::setenv("KVT_DIALOG_INPUT", number, 1);
       std::snprintf(number, sizeof number, "%d", output);
       ::setenv("KVT_DIALOG_OUTPUT", number, 1);
       static const platform::DialogControl kControls[] = {
           {1, platform::DialogControlKind::DefaultButton, "OK"}};
       const platform::DialogTemplate dialogTemplate{1002, "Test", kControls, 1};
       EndingDialog handler;
       int result = platform::dialogRun(dialogTemplate, &handler);
       ::unsetenv("KVT_DIALOG_INPUT");
       ::unsetenv("KVT_DIALOG_OUTPUT");
       ::close(input[0]);
       ::close(input[1]);
       ::close(output);
       // The window went, and its handler heard of it, whenever it was made.
       return result == -1 || (result == 7 && handler.destroyed);
     }},
    {"pumpPost",
     [] {
       // A thread's first wait makes its queue: the failure is armed on a fresh thread.
       const long armed = t_failAt;
       t_failAt = 0;
       bool answered = true;
       bool failed = false;
       std::thread fresh([&] {
         t_failAt = armed;
         platform::pumpWait(0);
         platform::PumpTarget* target = platform::pumpCurrentThread();
         answered = target == nullptr ||
                    platform::pumpPost(
                        target, [](void*) {}, nullptr) ||
                    !platform::pumpDispatchOne();
         while (platform::pumpDispatchOne()) {
         }
         failed = t_failed;
         t_failAt = 0;
       });
       fresh.join();
       t_failed = failed;
       return answered;
     }},
};

void PrintTo(const Case& each, std::ostream* out) { *out << each.name; }
std::string CaseName(const ::testing::TestParamInfo<Case>& info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(PlatformCalls, AllocationFailureTest, ::testing::ValuesIn(kCases),
                         CaseName);

}  // namespace
