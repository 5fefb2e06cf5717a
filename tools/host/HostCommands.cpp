// The kvt-host subcommands: each loads the plug-in and calls its exports in the order a
// measuring application does, then unloads it.
#include "tools/host/HostCommands.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <chrono>
#include <climits>
#include <filesystem>
#include <iomanip>
#include <map>
#include <sstream>
#include <string>

#include "platform/module.h"
#include "shell/SensorEntry.h"
#include "tools/host/OutputWriters.h"
#include "tools/host/PluginLibrary.h"
#include "tools/host/RecordingSink.h"
#include "tools/host/SiteDoctor.h"

namespace {

// What ButtonModeAvailable answers when the library found no scanner object at load.
constexpr std::int32_t NO_SCANNER_BUTTON_MODES = 0x100000;
// SensorGetList writes three entries without a size check; a host leaves room to spare.
constexpr int SENSOR_LIST_ROOM = 8;
constexpr double DEFAULT_SECONDS = 10.0;
constexpr double DEFAULT_SECONDS_FOR_PASSES = 60.0;

struct MeasureOptions {
  std::int32_t sensor = 0;
  std::int32_t buttonMode = 0;
  std::int32_t detect = 0;
  std::int32_t sound = 0;
  std::int32_t mouse = 0;
  float diameter = 0.0f;
  double seconds = 0.0;
  int passes = 0;
  std::string outDir = ".";
  bool plyAscii = false;
  // Which of the above were given; the others leave the plug-in's own values.
  CLI::Option* sensorGiven = nullptr;
  CLI::Option* buttonModeGiven = nullptr;
  CLI::Option* detectGiven = nullptr;
  CLI::Option* soundGiven = nullptr;
  CLI::Option* mouseGiven = nullptr;
  CLI::Option* diameterGiven = nullptr;
  CLI::Option* secondsGiven = nullptr;
};

const char* sensorTypeName(std::int32_t type) {
  switch (type) {
    case SENSOR_TYPE_AUTOMATIC:
      return "auto";
    case SENSOR_TYPE_LASER:
      return "laser";
    case SENSOR_TYPE_PROBE:
      return "probe";
    default:
      return "unknown";
  }
}

const char* sensorKindName(std::int32_t kind) {
  switch (kind) {
    case SENSOR_KIND_LASER:
      return "laser";
    case SENSOR_KIND_PROBE:
      return "probe";
    default:
      return "unknown";
  }
}

// The label up to its terminator, without the probe text's trailing blank and line feed.
std::string labelText(const SensorEntry& entry) {
  std::size_t length = 0;
  while (length < sizeof entry.label && entry.label[length] != '\0') ++length;
  std::string text(entry.label, length);
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
  return text;
}

// Loads the library and checks that it found its scanner object; reports on err otherwise.
bool loadPlugin(PluginLibrary& plugin, const std::string& requested, const HostConsole& console) {
  std::string path = requested.empty() ? PluginLibrary::BuiltPath() : requested;
  std::error_code ignored;
  // dlopen searches the library path for a name without a folder, not the current directory.
  if (std::filesystem::is_regular_file(path, ignored)) {
    path = std::filesystem::absolute(path, ignored).string();
  }
  if (!plugin.Load(path)) {
    console.err << "kvt-host: " << plugin.error() << "\n";
    return false;
  }
  if (plugin.ButtonModeAvailable() == NO_SCANNER_BUTTON_MODES) {
    console.err << "kvt-host: " << path
                << " loaded, but it has no scanner object: the plug-in works only under the file "
                   "name KvtScannerLumora"
                << platform::kLibraryExtension << "\n";
    plugin.Unload();
    return false;
  }
  return true;
}

bool connectPlugin(PluginLibrary& plugin, const HostConsole& console) {
  std::int32_t result = plugin.Connect(1);
  if (result == 0) return true;
  console.err << "kvt-host: Connect(1) failed with " << result
              << ": the LineStudio console could not be reached or started\n";
  return false;
}

int runSensors(PluginLibrary& plugin, const HostConsole& console) {
  SensorEntry entries[SENSOR_LIST_ROOM] = {};
  std::int32_t count = 0;
  std::int32_t result = plugin.SensorGetList(entries, 0, &count);
  console.out << "ButtonModeAvailable: " << plugin.ButtonModeAvailable()
              << "  SensorGetList: " << result << "\n";
  console.out << "type      kind      radius     label\n";
  for (int i = 0; i < std::clamp(count, 0, SENSOR_LIST_ROOM); ++i) {
    const SensorEntry& entry = entries[i];
    std::ostringstream line;
    line << std::left << std::setw(10)
         << (std::to_string(entry.sensorType) + " " + sensorTypeName(entry.sensorType))
         << std::setw(10)
         << (std::to_string(entry.sensorKind) + " " + sensorKindName(entry.sensorKind))
         << std::setw(11) << std::fixed << std::setprecision(6) << entry.probeRadius
         << labelText(entry);
    console.out << line.str() << "\n";
  }
  return 0;
}

int runConnect(PluginLibrary& plugin, const HostConsole& console) {
  if (!connectPlugin(plugin, console)) return HOST_EXIT_CONNECT;
  console.out << "connected: IsConnected " << plugin.IsConnected() << "\n";
  std::int32_t type = 0;
  std::int32_t kind = 0;
  double radius = 0.0;
  std::int32_t result = plugin.SensorGet(&type, &radius, &kind);
  int exitCode = 0;
  if (result == 0) {
    console.out << "active sensor: type " << type << " (" << sensorTypeName(type) << "), kind "
                << kind << " (" << sensorKindName(kind) << "), probe radius " << std::fixed
                << std::setprecision(6) << radius << "\n";
  } else {
    console.err << "kvt-host: SensorGet failed with " << result << "\n";
    exitCode = HOST_EXIT_QUERY;
  }
  plugin.Connect(0);
  console.out << "disconnected: IsConnected " << plugin.IsConnected() << "\n";
  return exitCode;
}

// Opens the plug-in's settings dialog and waits until it is closed. On Windows that is its window;
// on Linux the dialog reads its commands from standard input (show, press ID, check ID 0|1, ok,
// cancel, close) and lists its buttons and options on standard error.
int runConfig(PluginLibrary& plugin, const HostConsole& console) {
  std::int32_t result = plugin.Config();
  console.out << "settings dialog closed (Config " << result << ")\n";
  return result == 0 ? 0 : HOST_EXIT_CONNECT;
}

void printProgress(const HostConsole& console, double seconds, const SinkCounts& counts,
                   int passTarget) {
  std::ostringstream line;
  line << std::fixed << std::setprecision(1) << seconds << " s  passes " << counts.passesEnded;
  if (passTarget > 0) line << "/" << passTarget;
  line << "  records " << counts.records() << "  points " << counts.points;
  if (console.outIsTerminal) {
    // Blanks cover the end of a longer previous line.
    console.out << "\r" << line.str() << "    " << std::flush;
  } else {
    console.out << line.str() << "\n" << std::flush;
  }
}

// Sets the options that were given, in the order a host does before MeasureStart.
void applyMeasureOptions(PluginLibrary& plugin, const MeasureOptions& options) {
  if (*options.sensorGiven) plugin.SensorSet(options.sensor);
  if (*options.diameterGiven) plugin.SetDiameter(options.diameter);
  if (*options.soundGiven) plugin.SoundSet(options.sound);
  if (*options.mouseGiven) plugin.MouseSet(options.mouse);
  if (*options.buttonModeGiven) plugin.ButtonModeSet(options.buttonMode);
  if (*options.detectGiven) plugin.DetectSet(options.detect);
}

// Waits until the time limit, the pass count or an interruption ends the measurement; returns
// the seconds it lasted.
double waitForMeasurement(const RecordingSink& sink, const MeasureOptions& options,
                          const HostConsole& console) {
  using Clock = std::chrono::steady_clock;
  const std::chrono::duration<double> limit(options.seconds);
  const auto start = Clock::now();
  const auto reportEvery =
      console.outIsTerminal ? std::chrono::milliseconds(200) : std::chrono::milliseconds(1000);
  auto nextReport = start + reportEvery;
  const int passTarget = options.passes > 0 ? options.passes : INT_MAX;
  for (;;) {
    const auto now = Clock::now();
    if (now - start >= limit || sink.counts().passesEnded >= passTarget) break;
    if (console.interrupted != nullptr && *console.interrupted != 0) {
      if (console.outIsTerminal) console.out << "\n";
      console.err << "kvt-host: interrupted, stopping the measurement\n";
      break;
    }
    if (now >= nextReport) {
      printProgress(console, std::chrono::duration<double>(now - start).count(), sink.counts(),
                    options.passes);
      nextReport += reportEvery;
    }
    // Short slices, so that an interruption is noticed quickly.
    auto slice = std::chrono::duration_cast<std::chrono::milliseconds>(limit - (now - start));
    slice = std::clamp(slice, std::chrono::milliseconds(1), std::chrono::milliseconds(100));
    sink.waitForPassesEnded(passTarget, slice);
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  printProgress(console, seconds, sink.counts(), options.passes);
  if (console.outIsTerminal) console.out << "\n";
  return seconds;
}

int writeOutputs(const std::filesystem::path& folder, const Recording& recording, double seconds,
                 PlyEncoding plyEncoding, const HostConsole& console) {
  const std::string summary = formatSummary(recording.counts, seconds);
  console.out << summary;
  struct Output {
    const char* name;
    bool written;
  };
  const Output outputs[] = {
      {"summary.txt", writeText((folder / "summary.txt").string(), summary)},
      {"points.ply", writePly((folder / "points.ply").string(), recording, plyEncoding)},
      {"points.xyz", writeXyz((folder / "points.xyz").string(), recording.points)},
      {"points.png",
       writePng((folder / "points.png").string(),
                renderProjections(recording.points, PROJECTION_WIDTH, PROJECTION_HEIGHT))},
  };
  int exitCode = 0;
  for (const Output& output : outputs) {
    if (output.written) {
      console.out << "wrote " << (folder / output.name).string() << "\n";
    } else {
      console.err << "kvt-host: cannot write " << (folder / output.name).string() << "\n";
      exitCode = HOST_EXIT_OUTPUT;
    }
  }
  return exitCode;
}

int runMeasure(PluginLibrary& plugin, MeasureOptions options, const HostConsole& console) {
  if (!*options.secondsGiven) {
    options.seconds = options.passes > 0 ? DEFAULT_SECONDS_FOR_PASSES : DEFAULT_SECONDS;
  }
  // The folder is checked first: a measurement whose results cannot be kept is not worth taking.
  const std::filesystem::path folder(options.outDir);
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  if (error || !std::filesystem::is_directory(folder, error)) {
    console.err << "kvt-host: cannot create the output folder " << options.outDir << "\n";
    return HOST_EXIT_OUTPUT;
  }

  if (!connectPlugin(plugin, console)) return HOST_EXIT_CONNECT;
  applyMeasureOptions(plugin, options);
  RecordingSink sink;
  std::int32_t result = plugin.MeasureStart(&sink);
  if (result != 0) {
    console.err << "kvt-host: MeasureStart failed with " << result
                << ": the console did not start scanning\n";
    plugin.Connect(0);
    return HOST_EXIT_MEASURE_START;
  }
  const double seconds = waitForMeasurement(sink, options, console);
  result = plugin.MeasureStop();
  if (result != 0) console.err << "kvt-host: MeasureStop returned " << result << "\n";
  plugin.Connect(0);
  // After MeasureStop no sink operation runs any more, and after unloading no plug-in thread.
  plugin.Unload();
  return writeOutputs(folder, sink.recording(), seconds,
                      options.plyAscii ? PlyEncoding::Ascii : PlyEncoding::Binary, console);
}

}  // namespace

int runHost(int argc, const char* const* argv, const HostConsole& console) {
  CLI::App app("Loads the KvtScannerLumora plug-in as a measuring application does and drives it.",
               "kvt-host");
  app.require_subcommand(1);
  app.fallthrough();
  app.footer(
      "Exit codes: 0 done, 3 the library does not load, 4 the connection failed, 5 the "
      "measurement did not start, 6 an output cannot be written, 7 SensorGet failed, 100 and "
      "above bad options. doctor: 0 a connection would succeed, 1 it would fail, 2 undecided "
      "(the console does not run; --start tells).");
  std::string library;
  app.add_option("--library", library,
                 "The plug-in library to load (default: KvtScannerLumora beside kvt-host)");

  CLI::App* sensors = app.add_subcommand("sensors", "List the sensors (SensorGetList)");
  CLI::App* connect =
      app.add_subcommand("connect", "Connect, report the active sensor (SensorGet), disconnect");
  CLI::App* config = app.add_subcommand(
      "config",
      "Open the settings dialog; on Linux it is driven from the terminal (type 'show' for its "
      "buttons and options, 'ok' or 'cancel' to close it)");
  CLI::App* measure = app.add_subcommand(
      "measure",
      "Connect, measure, disconnect and write the points; Ctrl-C ends the measurement early");

  CLI::App* doctor = app.add_subcommand(
      "doctor",
      "Check the site without loading the plug-in: the registry, the console's programs, ports "
      "2002 and 2003, the handshake, the settings file, the capture and the debug log, one line "
      "each with what to do; run it in the host's working folder");
  DoctorOptions doctorOptions;
  doctor->add_flag("--start", doctorOptions.start,
                   "Start a console program that does not run, as Connect(1) would, and wait "
                   "for its answer; without it nothing is started");
  doctor->add_option("--folder", doctorOptions.folder,
                     "The host's working folder (default: the current one)");

  MeasureOptions options;
  const std::map<std::string, std::int32_t> sensorCodes = {
      {"auto", SENSOR_TYPE_AUTOMATIC}, {"laser", SENSOR_TYPE_LASER}, {"probe", SENSOR_TYPE_PROBE}};
  options.sensorGiven =
      measure->add_option("--sensor", options.sensor, "SensorSet: auto|laser|probe")
          ->transform(CLI::CheckedTransformer(sensorCodes, CLI::ignore_case));
  options.buttonModeGiven =
      measure
          ->add_option("--button-mode", options.buttonMode,
                       "ButtonModeSet: 0 one record per trigger, 1 toggled passes, 2 scan passes")
          ->check(CLI::Range(0, 2));
  options.detectGiven = measure->add_option("--detect", options.detect,
                                            "DetectSet: non-zero reports buttons 2 and 4");
  options.soundGiven =
      measure->add_option("--sound", options.sound, "SoundSet: console sound mode");
  const std::map<std::string, std::int32_t> mouseCodes = {{"on", 4}, {"off", 0}};
  options.mouseGiven = measure->add_option("--mouse", options.mouse, "MouseSet: on|off")
                           ->transform(CLI::CheckedTransformer(mouseCodes, CLI::ignore_case));
  options.diameterGiven =
      measure->add_option("--diameter", options.diameter, "SetDiameter: probe diameter");
  options.secondsGiven =
      measure
          ->add_option("--seconds", options.seconds,
                       "Measure this long; with --passes the limit (default 10, with --passes 60)")
          ->check(CLI::PositiveNumber);
  measure->add_option("--passes", options.passes, "Stop once this many passes have ended")
      ->check(CLI::PositiveNumber);
  measure->add_option("--out", options.outDir, "Folder for summary.txt, points.ply/xyz/png")
      ->capture_default_str();
  measure->add_flag("--ply-ascii", options.plyAscii,
                    "Write points.ply as text instead of binary little-endian");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return app.exit(error, console.out, console.err);
  }

  if (*doctor) return runDoctor(doctorOptions, console.out);
  PluginLibrary plugin;
  if (!loadPlugin(plugin, library, console)) return HOST_EXIT_LIBRARY;
  if (*sensors) return runSensors(plugin, console);
  if (*connect) return runConnect(plugin, console);
  if (*config) return runConfig(plugin, console);
  return runMeasure(plugin, options, console);
}
