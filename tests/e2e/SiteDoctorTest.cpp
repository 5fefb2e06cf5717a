// kvt-host doctor against the simulator, with one site fault arranged at a time: what it says,
// its exit code, that it starts nothing unless asked, and that the plug-in's own Connect(1)
// agrees with it.
#include <sstream>
#include <string>
#include <vector>

#include "E2eFixture.h"
#include "link/ConsoleSite.h"
#include "platform/module.h"
#include "platform/socket.h"
#include "platform/testing.h"
#include "tools/host/HostCommands.h"
#include "tools/host/SiteDoctor.h"
#include "wire/WireRecords.h"

namespace {

class SiteDoctorTest;

// A line of the report that tells: its verdict and check, and a text it holds.
struct ExpectedLine {
  const char* head;
  const char* holds;
};

constexpr int kNotTried = -1;

struct SiteFault {
  const char* name;
  void (*arrange)(SiteDoctorTest& test);
  bool start;
  int exitCode;
  std::vector<ExpectedLine> lines;
  // What the plug-in's Connect(1) answers on the same site afterwards.
  int connectResult;
  // The report names this test program as the holder of a port.
  bool namesThisProgram = false;
};

// Names the case in gtest's output instead of its bytes.
void PrintTo(const SiteFault& fault, std::ostream* out) { *out << fault.name; }

class SiteDoctorTest : public E2eTest, public ::testing::WithParamInterface<SiteFault> {
 public:
  void HealthySite() {
    PretendProgramsRun();
    StartSimulator();
  }
  void NoKey() {
    registry_->RemoveAll();
    // The debug log of a connection that failed there.
    Load();
    EXPECT_EQ(plugin_.Connect(1), 2);
    UnloadWithin(20000);
  }
  void WrongFolder() {
    std::filesystem::create_directories(dir_.path() / "elsewhere");
    registry_->SetAppDir((dir_.path() / "elsewhere").string());
  }
  void PortHeld() {
    HealthySite();
    held_ = platform::socketOpenTcp();
    ASSERT_TRUE(platform::socketBind(held_, LoopbackAddress(), DATA_PORT));
    ASSERT_TRUE(platform::socketListen(held_, 1));
  }
  void ProgramsRunWithoutPorts() { PretendProgramsRun(); }
  void StartedByTheCheck() { SetTestEnvironment("KVT_SIM_ARGS", "--quit-on-disconnect"); }

  void TearDown() override {
    if (held_ != platform::kInvalidSocket) static_cast<void>(platform::socketClose(held_));
    E2eTest::TearDown();
  }

  platform::SocketHandle held_ = platform::kInvalidSocket;
};

std::string ThisProgram() {
  std::string path = ProgramFolder();
  char program[1024];
  if (platform::executablePath(program, sizeof program)) path = program;
  return path.substr(path.find_last_of("/\\") + 1);
}

const SiteFault kSiteFaults[] = {
    {"Healthy",
     [](SiteDoctorTest& t) { t.HealthySite(); },
     false,
     DOCTOR_WOULD_CONNECT,
     {{"ok    registry", "\"AppDir\""},
      {"ok    console", "LineStudioConsole.exe runs"},
      {"ok    data port", "can be listened on"},
      {"ok    handshake", "four questions"},
      {"ok    settings", "DisplayToolBar=1 DisplayStatusBar=0 TypeScanning=1"}},
     0},
    {"ConsoleNotRunning",
     [](SiteDoctorTest&) {},
     false,
     DOCTOR_UNDECIDED,
     {{"warn  console", "does not run: Connect(1) starts"},
      {"warn  command port", "the console does not run"}},
     kNotTried},
    {"ConsoleStartedByTheCheck",
     [](SiteDoctorTest& t) { t.StartedByTheCheck(); },
     true,
     DOCTOR_WOULD_CONNECT,
     {{"ok    console", "started"}, {"ok    handshake", "four questions"}},
     kNotTried},
    {"NoRegistryKey",
     [](SiteDoctorTest& t) { t.NoKey(); },
     false,
     DOCTOR_WOULD_FAIL,
     {{"FAIL  registry", "no key HKEY_LOCAL_MACHINE\\SOFTWARE\\Lumora\\Linestudio\\config\\"},
      {"warn  debug log", "the console's registry key was missing"}},
     2},
    {"WrongFolder",
     [](SiteDoctorTest& t) { t.WrongFolder(); },
     false,
     DOCTOR_WOULD_FAIL,
     {{"FAIL  console", "holds no LineStudioConsole.exe"}},
     2},
    {"PortHeld",
     [](SiteDoctorTest& t) { t.PortHeld(); },
     false,
     DOCTOR_WOULD_FAIL,
     {{"FAIL  data port", "cannot be listened on"}},
     kNotTried,
     true},
    {"NothingOnCommandPort",
     [](SiteDoctorTest& t) { t.ProgramsRunWithoutPorts(); },
     false,
     DOCTOR_WOULD_FAIL,
     {{"FAIL  command port", "though LineStudioConsole.exe runs"},
      {"info  handshake", "not asked"}},
     2},
};

TEST_P(SiteDoctorTest, SaysWhetherAndWhyAConnectionWouldFail) {
  const SiteFault& fault = GetParam();
  fault.arrange(*this);
  if (HasFatalFailure()) return;
  std::ostringstream out;
  std::ostringstream err;
  HostConsole console{out, err};
  std::vector<const char*> arguments{"kvt-host", "doctor"};
  if (fault.start) arguments.push_back("--start");
  const int exitCode = runHost(static_cast<int>(arguments.size()), arguments.data(), console);
  const std::string report = out.str();
  EXPECT_EQ(exitCode, fault.exitCode) << report << err.str();

  std::vector<std::string> lines;
  std::istringstream in(report);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  for (const ExpectedLine& expected : fault.lines) {
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(),
                            [&expected](const std::string& line) {
                              return line.rfind(expected.head, 0) == 0 &&
                                     line.find(expected.holds) != std::string::npos;
                            }))
        << "no line '" << expected.head << " ... " << expected.holds << "' in\n"
        << report;
  }
  if (fault.namesThisProgram) {
    // This program holds the port, and the report says so where the system does (Linux does;
    // Wine lists the port without its owner).
    long long id = 0;
    char name[260] = "";
    const std::string named = platform::socketPortHolder(DATA_PORT, &id, name, sizeof name)
                                  ? ThisProgram() + " (process " + std::to_string(id) + ")"
                                  : "the system does not say which program";
    EXPECT_NE(report.find(named), std::string::npos) << report;
  }
  // A program starts only when asked; one that the check should not have started would still
  // run when the test ends, and the fixture fails on that.
  EXPECT_EQ(Starts(fault.start ? 1 : 0).find(CONSOLE_PROGRAM) != std::string::npos, fault.start);

  if (fault.connectResult != kNotTried) {
    if (!plugin_.loaded()) Load();
    EXPECT_EQ(plugin_.Connect(1), fault.connectResult) << Log();
  }
}

INSTANTIATE_TEST_SUITE_P(Sites, SiteDoctorTest, ::testing::ValuesIn(kSiteFaults),
                         [](const ::testing::TestParamInfo<SiteFault>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
