// The console simulator program: LineStudioConsole.exe, or, run under the file name
// linestudio.exe, the console's companion program that lives as long as the console does.
#include <CLI/CLI.hpp>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/process.h"
#include "platform/time.h"
#include "tools/console-sim/ConsoleSimulator.h"
#include "tools/console-sim/Replay.h"

namespace {

constexpr const char* kConsoleFile = "LineStudioConsole.exe";
constexpr const char* kCompanionFile = "linestudio.exe";
constexpr int kExitUsage = 2;
constexpr int kExitStart = 1;
constexpr int kExitProtocolErrors = 3;

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// Windows compares file names without case and may leave the extension off argument 0.
bool isCompanion(const char* argument0) {
  std::string name = lower(argument0);
  std::string::size_type slash = name.find_last_of("/\\");
  if (slash != std::string::npos) name.erase(0, slash + 1);
  return name == kCompanionFile || name == "linestudio";
}

bool consoleRuns() {
  bool found = false;
  bool listed = platform::processForEach(
      [](const char* exeName, void* context) {
        bool match = std::strcmp(exeName, kConsoleFile) == 0;
        if (match) *static_cast<bool*>(context) = true;
        return match;
      },
      &found);
  return listed && found;
}

// The plug-in only checks that linestudio.exe runs and starts it when it does not; it needs
// nothing from it, so the companion waits for the console to go and then goes too.
int runCompanion() {
  while (consoleRuns()) platform::sleepMs(1000);
  return 0;
}

// Plays a capture and prints the differences, the first ten of them in full.
int runReplay(const std::string& path, ReplayOptions replayOptions,
              const SimulatorOptions& options) {
  CaptureFile capture;
  std::string error;
  if (!LoadReplayCapture(path, &capture, &error)) {
    std::fprintf(stderr, "LineStudioConsole: %s\n", error.c_str());
    return 2;
  }
  replayOptions.commandPort = options.commandPort;
  replayOptions.dataPort = options.dataPort;
  Replay replay(std::move(capture), replayOptions);
  bool finished = replay.run();
  const std::vector<std::string>& differences = replay.differences();
  for (std::size_t i = 0; i < differences.size() && i < 10; ++i) {
    std::printf("difference %zu: %s\n", i + 1, differences[i].c_str());
  }
  if (!finished) std::printf("replay ended early: %s\n", replay.error().c_str());
  std::printf("%zu differences\n", differences.size());
  std::fflush(stdout);
  if (!differences.empty()) return 3;
  return finished ? 0 : 1;
}

// KVT_SIM_STARTS names a file to which each start of either program adds one line: its file
// name and its arguments, so that a test can see how the plug-in started it.
void recordStart(int argc, char** argv) {
  const char* path = std::getenv("KVT_SIM_STARTS");
  if (path == nullptr || *path == '\0' || argc < 1) return;
  std::FILE* file = std::fopen(path, "a");
  if (file == nullptr) return;
  std::string name = argv[0];
  std::string::size_type slash = name.find_last_of("/\\");
  if (slash != std::string::npos) name.erase(0, slash + 1);
  std::fprintf(file, "%s", name.c_str());
  for (int i = 1; i < argc; ++i) std::fprintf(file, " [%s]", argv[i]);
  std::fprintf(file, "\n");
  std::fclose(file);
}

// KVT_SIM_ARGS holds further options, separated by blanks, for a console that the plug-in starts
// itself with nothing but "/hide".
std::vector<std::string> argumentsWithEnvironment(int argc, char** argv) {
  std::vector<std::string> arguments(argv, argv + argc);
  const char* extra = std::getenv("KVT_SIM_ARGS");
  std::string text = extra != nullptr ? extra : "";
  std::string::size_type at = 0;
  while ((at = text.find_first_not_of(' ', at)) != std::string::npos) {
    std::string::size_type end = text.find(' ', at);
    if (end == std::string::npos) end = text.size();
    arguments.push_back(text.substr(at, end - at));
    at = end;
  }
  return arguments;
}

int usageError(const std::string& message) {
  std::fprintf(stderr, "LineStudioConsole: %s\nRun with --help for the options.\n",
               message.c_str());
  return kExitUsage;
}

int run(int argc, char** argv) {
  recordStart(argc, argv);
  if (argc > 0 && isCompanion(argv[0])) return runCompanion();

  CLI::App app{
      "Stands in for the Lumora LineStudio console: serves the plug-in's command channel on\n"
      "127.0.0.1 and, on a scan start, connects to the plug-in's data channel and sends what a\n"
      "console sends (laser stripes of a sphere on a plane, or probe touches), checking every\n"
      "acknowledgement and reply. Under the file name linestudio.exe it only waits until no\n"
      "LineStudioConsole.exe runs.",
      kConsoleFile};
  SimulatorOptions options;
  std::string sensor = "laser";
  std::string stream = "acquire";
  std::string refuse;
  std::string scriptPath;
  std::vector<std::string> holds;
  std::vector<std::string> switches;
  double durationS = 0;
  std::string replayPath;
  ReplayOptions replay;

  app.add_option("--command-port", options.commandPort, "Command port (default 2003)")
      ->check(CLI::Range(1, 65535))
      ->option_text("PORT");
  app.add_option("--data-port", options.dataPort, "The plug-in's data port (default 2002)")
      ->check(CLI::Range(1, 65535))
      ->option_text("PORT");
  app.add_option("--listen-delay", options.listenDelayMs,
                 "Milliseconds to wait before the command port opens")
      ->check(CLI::Range(0, 3600000))
      ->option_text("MS");
  app.add_option("--sound", options.sound, "Sound setting answered to 3936 (default 1)")
      ->option_text("N");
  app.add_option("--sensor", sensor, "Active sensor: laser or probe (default laser)")
      ->check(CLI::IsMember({"laser", "probe"}))
      ->option_text("laser|probe");
  app.add_option("--probe-diameter", options.probeDiameter,
                 "Probe diameter answered to 3927 (default 2)")
      ->option_text("F");
  app.add_option("--rate", options.stripesPerSecond,
                 "Stripes per second while streaming, 0 as fast as the plug-in reads (default "
                 "20); probe touches come at most 10 per second")
      ->check(CLI::Range(0.0, 100000.0))
      ->option_text("STRIPES_PER_S");
  app.add_option("--points", options.pointsPerStripe, "Points per stripe (default 500)")
      ->check(CLI::Range(0, MAX_BLOCK_POINTS))
      ->option_text("N");
  app.add_flag("--stamped", options.stamped,
               "Stamp each stripe: its number in the header's x and in every point's x, the "
               "point's index in y");
  app.add_option("--stream", stream,
                 "Stream from acquisition start (3905) to stop (3904), or from scan start (3872) "
                 "to stop (3873): acquire or scan (default acquire)")
      ->check(CLI::IsMember({"acquire", "scan"}))
      ->option_text("acquire|scan");
  app.add_option("--script", scriptPath, "Scenario script of timed data-channel events")
      ->option_text("FILE");
  app.add_option("--transcript", options.transcriptPath,
                 "Transcript file, '-' for standard output (default none)")
      ->option_text("FILE");
  app.add_option("--duration", durationS, "Seconds until the program ends (default: until killed)")
      ->check(CLI::Range(0.0, 1e7))
      ->option_text("S");
  app.add_flag("--quit-on-disconnect", options.quitOnDisconnect,
               "End when a command connection ends");
  app.add_option("--hold-reply", holds,
                 "CODE:MS[:COUNT] holds the answer to a command back MS milliseconds (every "
                 "time, or the first COUNT times); repeatable")
      ->type_size(1)
      ->allow_extra_args(false)
      ->option_text("CODE:MS[:COUNT]");
  app.add_option("--cut-reply", options.cutReplies,
                 "CODE cuts the first answer to a command half-way and hangs up; repeatable")
      ->type_size(1)
      ->allow_extra_args(false)
      ->option_text("CODE");
  app.add_option("--trickle-replies", options.trickleMs,
                 "Sends every reply one byte at a time, MS milliseconds apart (default 0: whole)")
      ->check(CLI::Range(0, 3600000))
      ->option_text("MS");
  app.add_flag("--refuse{listen}", refuse,
               "Never open the command port; --refuse=close accepts connections and closes "
               "them at once")
      ->option_text("[=close]");
  app.add_flag("--no-scan-begin", options.noScanBegin, "Never send DATA_SCAN_BEGIN (3344)");
  app.add_option("--replay", replayPath,
                 "Play the console's side of a capture the plug-in wrote: answer its commands "
                 "with the recorded replies, send its data messages in the recorded order, and "
                 "report where the plug-in's commands and answers differ from the recorded ones")
      ->option_text("FILE");
  app.add_option("--speed", replay.speed, "With --replay: the recorded pauses divided by N")
      ->check(CLI::PositiveNumber)
      ->option_text("N");
  app.add_flag("--fast", replay.fast, "With --replay: no pauses");
  // The plug-in starts the console with "/hide"; it means nothing here. CLI11 would read it as a
  // Windows-style option on Windows and reject it.
  app.allow_windows_style_options(false);
  app.add_option("switches", switches)->group("");
  app.footer(
      std::string(kScriptHelp) +
      "\nEnvironment: KVT_SIM_ARGS adds options (for a console the plug-in starts itself);\n"
      "KVT_SIM_STARTS names a file that gets one line per program start with its arguments."
      "\nExit status: 0 done, 1 the simulator could not start (or a replay not finish), 2 bad "
      "options or script, 3 the plug-in answered wrongly (see the transcript) or, in a "
      "replay, differently from the capture.");

  std::vector<std::string> arguments = argumentsWithEnvironment(argc, argv);
  std::vector<char*> pointers;
  pointers.reserve(arguments.size());
  for (std::string& argument : arguments) pointers.push_back(&argument[0]);
  try {
    app.parse(static_cast<int>(pointers.size()), pointers.data());
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);
    return usageError(e.what());
  }
  for (const std::string& word : switches) {
    if (lower(word) != "/hide") {
      return usageError("unexpected argument '" + word + "'");
    }
  }
  options.laserActive = sensor == "laser";
  options.streamOn = stream == "scan" ? SimStreamOn::Scan : SimStreamOn::Acquire;
  if (refuse == "listen") {
    options.refuse = SimRefuse::Listen;
  } else if (refuse == "close") {
    options.refuse = SimRefuse::Close;
  } else if (!refuse.empty()) {
    return usageError("--refuse takes no value or 'close', not '" + refuse + "'");
  }
  for (const std::string& text : holds) {
    HeldReply hold;
    std::string error;
    if (!parseHeldReply(text, &hold, &error)) return usageError("--hold-reply: " + error);
    options.heldReplies.push_back(hold);
  }
  if (!scriptPath.empty()) {
    std::string error;
    if (!parseScriptFile(scriptPath, &options.script, &error)) return usageError(error);
  }

  if (!replayPath.empty()) return runReplay(replayPath, replay, options);
  ConsoleSimulator simulator(options);
  std::string error;
  if (!simulator.start(&error)) {
    std::fprintf(stderr, "LineStudioConsole: %s\n", error.c_str());
    return kExitStart;
  }
  const auto begin = std::chrono::steady_clock::now();
  const auto duration = std::chrono::duration<double>(durationS);
  while (!simulator.quitRequested() &&
         (durationS <= 0 || std::chrono::steady_clock::now() - begin < duration)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  simulator.stop();
  if (simulator.errorCount() == 0) return 0;
  std::fprintf(stderr, "LineStudioConsole: %d errors\n", simulator.errorCount());
  for (const std::string& text : simulator.errors()) std::fprintf(stderr, "  %s\n", text.c_str());
  return kExitProtocolErrors;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "LineStudioConsole: %s\n", error.what());
  } catch (...) {
    std::fprintf(stderr, "LineStudioConsole: unexpected failure\n");
  }
  return kExitStart;
}
