// A host that ends its process with the plug-in loaded and connected, never unloading it: the
// library's teardown then runs inside the process's end (the system's detach on Windows, exit()
// elsewhere) and must not wait for threads that the system has already ended, nor wait out the
// console. The host is this test program again, run as a child in one of the roles below.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <ostream>
#include <string>

#include "E2eFixture.h"
#include "EventSink.h"
#include "ExportBounds.h"
#include "capture/PcapngReader.h"
#include "datachannel/DataChannel.h"
#include "platform/module.h"

int RunChildRole(const char* role);

namespace {

constexpr const char* kRoleVariable = "KVT_E2E_CHILD";
constexpr const char* kMarkVariable = "KVT_E2E_EXIT_MARK";
// The library's part of the process's end must sit out none of its waits for a console or a
// thread that does not answer: it stays below the unload's wait for the end of scanning. Where the
// library cannot tell the process's end from an unload (exit() on POSIX runs the same teardown
// with every thread alive), a measuring host's end waits, as an unload does, for the console's
// end of scanning and the data channel's pause behind it, both well below that. The sanitizers'
// own work at the end (the leak check) is not the library's and is not counted.
constexpr double kExitBoundMs = UNLOAD_SCAN_END_MS;
static_assert(DATA_END_PAUSE_MS < UNLOAD_SCAN_END_MS / 2, "the pause leaves the bound a margin");

struct ExitCase {
  const char* role;
  const char* name;
  const char* testName;
};

void PrintTo(const ExitCase& exitCase, std::ostream* out) { *out << exitCase.name; }

class ProcessExitTest : public E2eTest, public ::testing::WithParamInterface<ExitCase> {};

TEST_P(ProcessExitTest, EndsWithoutSittingOutAWaitOfTheLibrary) {
  SimulatorOptions options;
  options.streamOn = SimStreamOn::Scan;
  PretendProgramsRun();
  StartSimulator(options);
  const std::string mark = dir_.file("exit-mark.txt");
  SetTestEnvironment(kRoleVariable, GetParam().role);
  SetTestEnvironment(kMarkVariable, mark.c_str());
  const bool capturing = std::string(GetParam().role) == "exit-capturing";
  if (capturing) SetTestEnvironment("KVT_CAPTURE", dir_.file("capture.pcapng").c_str());
  char program[1024];
  ASSERT_TRUE(platform::executablePath(program, sizeof program));
  ChildProcess host;
  ASSERT_TRUE(host.Start(program, {}));
  SetTestEnvironment(kRoleVariable, nullptr);
  SetTestEnvironment(kMarkVariable, nullptr);
  SetTestEnvironment("KVT_CAPTURE", nullptr);
  int code = -1;
  ASSERT_TRUE(host.WaitForExit(60000, &code)) << "the host never ended";
  std::uint32_t ended = platform::tickCount();
  ASSERT_EQ(code, 0) << "the host's role failed before its exit, or its exit crashed";
  std::uint32_t exiting = 0;
  std::ifstream marks(mark);
  ASSERT_TRUE(static_cast<bool>(marks >> exiting)) << "no mark from the host";
  // Where the library's teardown runs before the host's last exit handler (POSIX), that handler
  // marks its end; under Windows it runs in the system's detach, at the very end.
  std::uint32_t tornDown = 0;
  if (marks >> tornDown) ended = tornDown;
  const std::uint32_t took = ended - exiting;
  std::printf("%s: the library's teardown ended %u ms after the exit began\n", GetParam().name,
              static_cast<unsigned>(took));
  EXPECT_LT(took, kExitBoundMs) << "the end of the process sat out a wait";
  // The console saw the link come down at the end, as at an unload.
  EXPECT_TRUE(sim_->waitUntil([&] { return !sim_->commandConnected(); }, 5000));
  if (capturing) {
    // The capture's thread may have been ended inside a write: the file's start is there.
    const std::vector<std::string> files = FilesStartingWith(dir_.path(), "capture-");
    ASSERT_EQ(files.size(), 1u);
    EXPECT_NE(ReadCaptureFile(files[0]).sectionComment.find("KvtScanner Lumora plug-in"),
              std::string::npos);
  }
}

INSTANTIATE_TEST_SUITE_P(Roles, ProcessExitTest,
                         ::testing::Values(ExitCase{"exit-idle", "connected, idle", "Idle"},
                                           ExitCase{"exit-measuring", "measuring", "Measuring"},
                                           ExitCase{"exit-capturing", "measuring, capture on",
                                                    "MeasuringWithTheCaptureOn"}),
                         [](const ::testing::TestParamInfo<ExitCase>& info) {
                           return std::string(info.param.testName);
                         });

// The host's plug-in and sink, never destroyed: the process ends with the library loaded and the
// sink in use. Held here, they stay reachable for the leak checker.
PluginLibrary* volatile g_plugin = nullptr;
EventSink* volatile g_sink = nullptr;

// Registered before the library is loaded, so that the exit runs it after the library's own
// teardown (POSIX, where that is an exit handler of the library's): it adds the tick count then.
void MarkTornDown() {
#if !defined(_WIN32)
  if (const char* mark = std::getenv(kMarkVariable)) {
    std::ofstream(mark, std::ios::app) << ' ' << platform::tickCount();
  }
#endif
}

}  // namespace

// The host's side: loads the plug-in, connects, measures for the measuring role, notes the time
// and ends the process. Exit codes above 0 say which step failed.
int RunChildRole(const char* role) {
  const std::string which = role;
  std::atexit(MarkTornDown);
  g_plugin = new PluginLibrary;
  PluginLibrary* plugin = g_plugin;
  if (!plugin->Load(PluginLibrary::BuiltPath())) return 3;
  if (plugin->Connect(1) != 0) return 4;
  if (which == "exit-measuring" || which == "exit-capturing") {
    g_sink = new EventSink;
    EventSink* sink = g_sink;
    plugin->SensorSet(2);
    plugin->ButtonModeSet(1);
    if (plugin->MeasureStart(sink) != 0) return 5;
    if (!sink->WaitFor("AddFreeMeasure", 3, 10000)) return 6;
  } else if (which != "exit-idle") {
    return 2;
  }
  const char* mark = std::getenv(kMarkVariable);
  if (mark == nullptr) return 7;
  {
    std::ofstream out(mark);
    out << platform::tickCount();
    if (!out) return 8;
  }
  std::exit(0);
}
