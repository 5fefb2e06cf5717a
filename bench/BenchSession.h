// A benchmark's surroundings through the exports of the built plug-in, as a host machine has
// them: a fresh current folder, the registry's AppDir at the console programs beside the
// program, both console programs running so that the plug-in starts none, and the plug-in
// loaded by path.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "TempDir.h"
#include "TestRegistry.h"
#include "tools/console-sim/ConsoleSimulator.h"
#include "tools/host/PluginLibrary.h"
#include "wire/CommandCodes.h"

namespace bench {

constexpr const char* kConsoleProgram = "LineStudioConsole.exe";
constexpr const char* kScannerProgram = "linestudio.exe";

// Torn down in reverse order.
class Session {
 public:
  Session() : cwd_(dir_.path()), registry_(dir_.path().string()) {
    registry_.SetAppDir(ProgramFolder());
    SetTestEnvironment("KVT_SIM_ARGS", nullptr);
    SetTestEnvironment("KVT_SIM_STARTS", nullptr);
  }
  ~Session() {
    plugin.Unload();
    if (simulator) simulator->stop();
    companion_.Kill();
    console_.Kill();
  }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  std::string File(const std::string& name) const { return dir_.file(name); }

  // The console program as a process of its own with these options, on the fixed ports.
  bool StartConsoleProgram(const std::vector<std::string>& arguments) {
    return StartPrograms(arguments) &&
           Report(WaitForListener(COMMAND_PORT, 10000), "no console on 2003");
  }

  // The console simulator inside this process on the fixed ports, with a console program that
  // counts as running but serves other ports.
  // The stand-in programs end after lifetimeSeconds, should this program not live to end them.
  bool StartSimulator(const SimulatorOptions& options, int lifetimeSeconds = 300) {
    if (!StartPrograms({"--command-port", "42003", "--data-port", "42002", "--duration",
                        std::to_string(lifetimeSeconds)})) {
      return false;
    }
    simulator = std::make_unique<ConsoleSimulator>(options);
    std::string error;
    return Report(simulator->start(&error), error.c_str());
  }

  // Loads and connects the plug-in and picks the laser sensor and the button mode.
  bool Connect(std::int32_t buttonMode) {
    if (!Report(plugin.Load(PluginLibrary::BuiltPath()), plugin.error().c_str())) return false;
    if (!Report(plugin.Connect(1) == 0, "Connect failed")) return false;
    plugin.SensorSet(2);
    plugin.ButtonModeSet(buttonMode);
    return true;
  }

  static bool Report(bool ok, const char* what) {
    if (!ok) std::fprintf(stderr, "failed: %s\n", what);
    return ok;
  }

  PluginLibrary plugin;
  std::unique_ptr<ConsoleSimulator> simulator;

 private:
  bool StartPrograms(const std::vector<std::string>& consoleArguments) {
    return Report(console_.Start(ProgramFolder() + kConsoleProgram, consoleArguments) &&
                      WaitForProcess(kConsoleProgram, true, 10000),
                  "the console program does not start") &&
           Report(companion_.Start(ProgramFolder() + kScannerProgram, {}) &&
                      WaitForProcess(kScannerProgram, true, 10000),
                  "the companion program does not start");
  }

  TempDir dir_;
  CurrentDirectory cwd_;
  TestRegistry registry_;
  ChildProcess console_;
  ChildProcess companion_;
};

}  // namespace bench
