// The kvt-host command line run in-process: exit codes and messages for libraries that cannot
// be used, bad options and outputs that cannot be written, and the built plug-in's sensor list.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "TempDir.h"
#include "platform/module.h"
#include "tools/host/HostCommands.h"
#include "tools/host/PluginLibrary.h"

namespace {

struct HostRun {
  int exitCode = -1;
  std::string out;
  std::string err;
};

class HostCommandsTest : public ::testing::Test {
 protected:
  // The plug-in writes its settings file into the current directory when it is unloaded.
  TempDir dir_;
  CurrentDirectory here_{dir_.path()};

  static HostRun Host(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "kvt-host");
    std::vector<const char*> argv;
    argv.reserve(arguments.size());
    for (const std::string& argument : arguments) argv.push_back(argument.c_str());
    std::ostringstream out, err;
    HostRun run;
    run.exitCode = runHost(static_cast<int>(argv.size()), argv.data(), HostConsole{out, err});
    run.out = out.str();
    run.err = err.str();
    return run;
  }
};

TEST_F(HostCommandsTest, LibraryThatCannotBeUsedGivesExitThree) {
  const std::string missing = dir_.file(std::string("nothing") + platform::kLibraryExtension);
  HostRun run = Host({"--library", missing, "measure"});
  EXPECT_EQ(run.exitCode, HOST_EXIT_LIBRARY);
  EXPECT_NE(run.err.find("cannot load " + missing), std::string::npos) << run.err;

  // Under another file name the plug-in loads but keeps no scanner object.
  const std::string renamed = dir_.file(std::string("Renamed") + platform::kLibraryExtension);
  std::filesystem::copy_file(PluginLibrary::BuiltPath(), renamed);
  run = Host({"sensors", "--library", renamed});
  EXPECT_EQ(run.exitCode, HOST_EXIT_LIBRARY);
  EXPECT_NE(run.err.find("no scanner object"), std::string::npos) << run.err;
}

TEST_F(HostCommandsTest, BadOptionsGiveTheParsersExitCodesBeforeAnythingLoads) {
  const std::vector<std::pair<std::vector<std::string>, int>> cases = {
      {{}, 106},                                 // no subcommand
      {{"measure", "--bogus"}, 109},             // unknown option
      {{"measure", "--button-mode", "3"}, 105},  // out of range
      {{"measure", "--sensor", "sonar"}, 105},   // not a sensor name
      {{"measure", "--seconds", "0"}, 105},      // not positive
      {{"measure", "--passes", "many"}, 105},    // not a number
      {{"measure", "--detect"}, 114},            // value missing
  };
  for (const auto& [arguments, exitCode] : cases) {
    std::vector<std::string> line = arguments;
    line.insert(line.begin(), {"--library", dir_.file("never-loaded")});
    HostRun run = Host(line);
    EXPECT_EQ(run.exitCode, exitCode) << run.err;
    EXPECT_EQ(run.err.find("cannot load"), std::string::npos) << run.err;
  }
}

TEST_F(HostCommandsTest, SensorsListsThePluginsThreeEntriesWithoutAConsole) {
  HostRun run = Host({"sensors"});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  std::vector<std::string> lines;
  std::istringstream in(run.out);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 5u) << run.out;
  EXPECT_EQ(lines[0], "ButtonModeAvailable: 5  SensorGetList: 3");
  EXPECT_EQ(lines[2].rfind("1 auto    4 laser   0.000000   Automatic sensor detection", 0), 0u)
      << lines[2];
  EXPECT_EQ(lines[3], "2 laser   4 laser   0.000000   Lumora Laser Sensor");
  EXPECT_EQ(lines[4], "3 probe   1 probe   -1.000000  Touch Probe :diam. unknown")
      << "the label's trailing blank and line feed are trimmed";
}

// The folder is checked before Connect, so this fails at once even without a console.
TEST_F(HostCommandsTest, OutputFolderThatCannotBeCreatedGivesExitSixBeforeConnecting) {
  WriteWholeFile(dir_.file("occupied"), "a file, not a folder");
  HostRun run = Host({"measure", "--out", dir_.file("occupied") + "/results"});
  EXPECT_EQ(run.exitCode, HOST_EXIT_OUTPUT);
  EXPECT_NE(run.err.find("output folder"), std::string::npos) << run.err;
  EXPECT_EQ(run.err.find("Connect"), std::string::npos) << run.err;
}

}  // namespace
