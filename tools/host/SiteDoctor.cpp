// The site check: the registry, the console's programs, the two ports, the handshake, the settings
// file, the capture and the debug log, each read through the plug-in's own routines.
#include "tools/host/SiteDoctor.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "link/ConsoleLink.h"
#include "link/ConsoleSite.h"
#include "link/DebugLog.h"
#include "platform/file.h"
#include "platform/module.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/socket.h"
#include "platform/testing.h"
#include "platform/wait.h"
#include "shell/CaptureSettings.h"
#include "shell/SettingsValue.h"
#include "wire/CommandCodes.h"
#include "wire/SocketRoutines.h"
#include "wire/WireRecords.h"
#include "wire/WireValues.h"

namespace {

using Running = ConsoleLink::Running;

constexpr unsigned kConnectRetryMs = 100;
constexpr std::size_t kLogTail = 5;

enum class Verdict { kOk, kInfo, kWarn, kFail };

// The lines, and which checks failed.
class Report {
 public:
  explicit Report(std::ostream& out) : out_(out) {}

  void Line(Verdict verdict, const char* check, const std::string& text) {
    static const char* const kWords[] = {"ok", "info", "warn", "FAIL"};
    char head[32];
    std::snprintf(head, sizeof head, "%-5s %-13s", kWords[static_cast<int>(verdict)], check);
    out_ << head << text << "\n";
    if (verdict == Verdict::kFail) failed_.push_back(check);
  }
  void Text(const std::string& text) { out_ << text << "\n"; }
  const std::vector<std::string>& Failed() const { return failed_; }

 private:
  std::ostream& out_;
  std::vector<std::string> failed_;
};

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

std::string Number(long long value) { return std::to_string(value); }

bool SameIgnoringCase(const char* a, const char* b) {
  for (; *a != '\0' && *b != '\0'; ++a, ++b) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(*a) != lower(*b)) return false;
  }
  return *a == *b;
}

// A running process whose name is the program's but for case, which the plug-in does not count.
std::string RunningInOtherCase(const char* name) {
  struct Search {
    const char* name;
    std::string found;
  } search{name, std::string()};
  static_cast<void>(platform::processForEach(
      [](const char* exeName, void* context) {
        auto* s = static_cast<Search*>(context);
        if (SameIgnoringCase(exeName, s->name) && std::string(exeName) != s->name) {
          s->found = exeName;
        }
        return !s->found.empty();
      },
      &search));
  return search.found;
}

// "name (process N)", "process N", or what the system does not say.
std::string HolderOf(std::uint16_t port) {
  long long id = 0;
  char name[260] = "";
  if (!platform::socketPortHolder(port, &id, name, sizeof name)) {
    return "the system does not say which program";
  }
  return name[0] != '\0' ? std::string(name) + " (process " + Number(id) + ")"
                         : "process " + Number(id);
}

// What the socket routines say while the doctor runs, kept so that it appears in a line of the
// report instead of on its own. The doctor's checks run on one thread.
class RoutinesMessages {
 public:
  RoutinesMessages() { InstallSocketMessageTaker(&m_taker); }
  ~RoutinesMessages() { InstallSocketMessageTaker(nullptr); }
  RoutinesMessages(const RoutinesMessages&) = delete;
  RoutinesMessages& operator=(const RoutinesMessages&) = delete;

  static std::string& Said() {
    static std::string said;
    return said;
  }

 private:
  static void Take(void* /*context*/, const char* message) { Said() += message; }
  const SocketMessageTaker m_taker{nullptr, &RoutinesMessages::Take};
};

// The last line the socket routines said since the last call, or nothing.
std::string TakeRoutinesMessage() {
  std::string message;
  message.swap(RoutinesMessages::Said());
  if (message.empty()) return message;
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) message.pop_back();
  std::string::size_type lastLine = message.rfind('\n');
  return lastLine == std::string::npos ? message : message.substr(lastLine + 1);
}

// --- the registry ---

const char* TypeName(std::uint32_t type) {
  switch (type) {
    case platform::kRegSz:
      return "REG_SZ";
    case platform::kRegExpandSz:
      return "REG_EXPAND_SZ";
    case platform::kRegBinary:
      return "REG_BINARY";
    case platform::kRegDword:
      return "REG_DWORD";
    case platform::kRegMultiSz:
      return "REG_MULTI_SZ";
    default:
      return "REG_NONE";
  }
}

std::string WhyUnreadable(const AppDirReading& reading) {
  switch (reading.queryResult) {
    case platform::kErrorFileNotFound:
      return "the key has no value \"AppDir\"";
    case platform::kErrorMoreData:
      return "\"AppDir\" is longer than " + Number(APP_DIR_SIZE - 1) + " characters";
    case platform::kErrorInvalidData:
      return std::string("\"AppDir\" is not text ending in a zero byte (") +
             TypeName(reading.type) + ")";
    default:
      return "\"AppDir\" cannot be read (error " + Number(reading.queryResult) + ")";
  }
}

std::string Describe(const AppDirReading& reading) {
  if (!reading.KeyOpened()) return "no key";
  if (!reading.Read()) return WhyUnreadable(reading);
  return Quoted(reading.value);
}

void CheckRegistry(const AppDirReading& plugin, bool bothProgramsRun, Report& report) {
  const std::string key = std::string("HKEY_LOCAL_MACHINE\\") + CONSOLE_CONFIG_KEY;
  std::string views;
  bool onlyInOtherView = false;
  if (platform::registryHasTwoViews()) {
    const AppDirReading view64 = ReadAppDir(platform::RegistryView::kBits64);
    const AppDirReading view32 = ReadAppDir(platform::RegistryView::kBits32);
    onlyInOtherView = !plugin.KeyOpened() && (view64.KeyOpened() || view32.KeyOpened());
    views = "; 64-bit view: " + Describe(view64) + ", 32-bit view: " + Describe(view32) +
            (sizeof(void*) == 8
                 ? "; this 64-bit plug-in reads the 64-bit view, and the 32-bit one without a key "
                   "there"
                 : "; this 32-bit plug-in reads the 32-bit view only");
  }
  if (onlyInOtherView) {
    report.Line(Verdict::kFail, "registry",
                "no key " + key + " in the view this plug-in reads" + views +
                    "; write the key in the 32-bit view too (reg add ... /reg:32), as the "
                    "console's 32-bit installer does");
  } else if (!plugin.KeyOpened()) {
    report.Line(Verdict::kFail, "registry",
                "no key " + key + " (error " + Number(plugin.openResult) + ")" + views +
                    ": Connect(1) returns 2 at once, its log says \"Pb : Registry open.\"; "
                    "install the LineStudio console, or add the key with \"AppDir\" naming its "
                    "folder");
  } else if (!plugin.Read()) {
    report.Line(bothProgramsRun ? Verdict::kWarn : Verdict::kFail, "registry",
                WhyUnreadable(plugin) + " under " + key + views +
                    ": each Connect(1) shows \"Pb in QueryStringValue function\" and starts no "
                    "program; write the console's folder there as text (REG_SZ)");
  } else {
    report.Line(Verdict::kOk, "registry",
                "\"AppDir\" = " + Quoted(plugin.value) + " (" + TypeName(plugin.type) + ") under " +
                    key + ": the programs' folder is " + plugin.folder + views);
  }
}

// --- the console's programs ---

struct Program {
  const char* name;
  Running running = Running::kNo;
  std::string path;  // in the folder "AppDir" names; empty when it cannot be read
  bool present = false;
  std::string otherCase;
};

Program LookAt(const char* name, const AppDirReading& appDir) {
  Program program;
  program.name = name;
  program.running = ConsoleLink::IsProcessRunning(name);
  if (appDir.Read()) {
    program.path = appDir.folder + name;
    program.present = platform::pathKind(program.path.c_str()) == platform::PathKind::kFile;
  }
  if (program.running == Running::kNo) program.otherCase = RunningInOtherCase(name);
  return program;
}

std::string OtherCaseNote(const Program& program) {
  if (program.otherCase.empty()) return std::string();
  return "; " + program.otherCase +
         " runs, but the plug-in compares names with their case, so "
         "it does not count";
}

std::string NotInFolder(const Program& program, const AppDirReading& appDir) {
  return appDir.folder + " holds no " + program.name;
}

// Starts the program as Connect(1) would; the line says how it went.
bool StartProgram(const Program& program, const char* parameters, const char* check,
                  Report& report) {
  int error = 0;
  const std::string command = program.path + (parameters[0] != '\0' ? " " : "") + parameters;
  if (!platform::programStart(program.path.c_str(), parameters, &error)) {
    report.Line(Verdict::kFail, check,
                std::string(program.name) + " does not run and cannot be started: " + command +
                    " fails with error " + Number(error) +
                    "; check the file and that this user may run it");
    return false;
  }
  report.Line(
      Verdict::kOk, check,
      std::string(program.name) + " did not run: started " + command + " (as Connect(1) would)");
  return true;
}

// Whether the console runs now (or was started here).
bool CheckConsole(const Program& console, const AppDirReading& appDir, bool start, bool* startedNow,
                  Report& report) {
  const char* check = "console";
  *startedNow = false;
  if (console.running == Running::kYes) {
    if (appDir.Read() && !console.present) {
      report.Line(Verdict::kWarn, check,
                  std::string(console.name) + " runs, but " + NotInFolder(console, appDir) +
                      ": once it ends the plug-in cannot start it again; point \"AppDir\" at the "
                      "folder it runs from");
    } else {
      report.Line(Verdict::kOk, check, std::string(console.name) + " runs");
    }
    return true;
  }
  if (console.running == Running::kUnknown) {
    report.Line(Verdict::kWarn, check,
                "the process list cannot be taken: the plug-in starts no program and tries the "
                "handshake once");
    return false;
  }
  if (!appDir.Read()) {
    report.Line(Verdict::kFail, check,
                std::string(console.name) +
                    " does not run, and without \"AppDir\" the plug-in starts nothing; see the "
                    "registry line" +
                    OtherCaseNote(console));
    return false;
  }
  if (!console.present) {
    report.Line(Verdict::kFail, check,
                std::string(console.name) + " does not run, and " + NotInFolder(console, appDir) +
                    ": Connect(1) cannot start it; point \"AppDir\" at the console's folder" +
                    OtherCaseNote(console));
    return false;
  }
  if (start) {
    *startedNow = StartProgram(console, "/hide", check, report);
    return *startedNow;
  }
  report.Line(Verdict::kWarn, check,
              std::string(console.name) + " does not run: Connect(1) starts " + console.path +
                  " /hide and gives it " + Number(CONNECT_TIMEOUT_MS / 1000) +
                  " s to answer (kvt-host doctor --start starts it now)" + OtherCaseNote(console));
  return false;
}

void CheckScanner(const Program& scanner, bool consoleRan, const AppDirReading& appDir, bool start,
                  Report& report) {
  const char* check = "scanner";
  const std::string name = scanner.name;
  if (!consoleRan) {
    // Init looks for it only once the console runs.
    if (appDir.Read() && !scanner.present) {
      report.Line(Verdict::kWarn, check,
                  name + ": " + NotInFolder(scanner, appDir) +
                      "; once the console runs without it, Connect(1) fails when it starts it");
    } else {
      report.Line(Verdict::kInfo, check,
                  name + (scanner.running == Running::kYes ? " runs" : " does not run") +
                      "; the plug-in looks for it once the console runs");
    }
    return;
  }
  if (scanner.running == Running::kYes) {
    report.Line(Verdict::kOk, check, name + " runs");
    return;
  }
  if (scanner.running == Running::kUnknown) {
    report.Line(Verdict::kWarn, check, "the process list cannot be taken");
    return;
  }
  if (!appDir.Read()) {
    report.Line(Verdict::kWarn, check,
                name +
                    " does not run; without \"AppDir\" the plug-in starts nothing (its log "
                    "says \"Pb : AppDir unknown, program not started.\") and tries the "
                    "handshake" +
                    OtherCaseNote(scanner));
    return;
  }
  if (!scanner.present) {
    report.Line(Verdict::kFail, check,
                name + " does not run, and " + NotInFolder(scanner, appDir) +
                    ": Connect(1) fails when it starts it (its log says \"Pb : cannot start\"); "
                    "point \"AppDir\" at the console's folder" +
                    OtherCaseNote(scanner));
    return;
  }
  const char* parameters = ReadHideSw() != 0 ? "/hide" : "";
  if (start) {
    static_cast<void>(StartProgram(scanner, parameters, check, report));
    return;
  }
  report.Line(Verdict::kWarn, check,
              name + " does not run: Connect(1) starts " + scanner.path +
                  (parameters[0] != '\0' ? " /hide" : "") +
                  " (kvt-host doctor --start starts it now)" + OtherCaseNote(scanner));
}

// --- the ports ---

std::uint32_t Loopback() {
  std::uint32_t address = 0;
  static_cast<void>(platform::socketParseDotted(COMMAND_HOST, &address));
  return address;
}

void CheckDataPort(Report& report) {
  const std::string where = std::string(COMMAND_HOST) + ":" + Number(DATA_PORT);
  SocketHandle listener = platform::socketOpenTcp();
  if (listener == platform::kInvalidSocket) {
    report.Line(Verdict::kFail, "data port",
                "no socket can be made (error " + Number(platform::socketLastError()) + ")");
    return;
  }
  bool listens =
      platform::socketBind(listener, Loopback(), DATA_PORT) && platform::socketListen(listener, 1);
  const int error = platform::socketLastError();
  static_cast<void>(platform::socketClose(listener));
  if (listens) {
    report.Line(Verdict::kOk, "data port", where + " can be listened on");
    return;
  }
  report.Line(Verdict::kFail, "data port",
              where + " cannot be listened on (error " + Number(error) +
                  "): " + HolderOf(DATA_PORT) +
                  " holds it; the console sends its data there, so end that program or have it "
                  "use another port");
}

// Connects to the console's command port: once, or for the time the connection sequence gives a
// program it started. kInvalidSocket when nothing answered; *message says what the routines said.
SocketHandle ConnectCommandPort(bool waitForStart, std::string* message) {
  SocketHandle command = platform::kInvalidSocket;
  auto connect = [&command, message] {
    if (TcpConnect(command, COMMAND_HOST, COMMAND_PORT)) return true;
    *message = TakeRoutinesMessage();
    return false;
  };
  if (waitForStart) {
    static_cast<void>(platform::WaitUntil(platform::Deadline(CONNECT_TIMEOUT_MS),
                                          platform::WaitPause::kSleep, kConnectRetryMs, connect));
  } else {
    static_cast<void>(connect());
  }
  return command;
}

SocketHandle CheckCommandPort(bool consoleRuns, bool startedNow, Report& report) {
  const std::string where = std::string(COMMAND_HOST) + ":" + Number(COMMAND_PORT);
  std::string message;
  SocketHandle command = ConnectCommandPort(startedNow, &message);
  if (command != platform::kInvalidSocket) {
    report.Line(Verdict::kOk, "command port", where + " answers: " + HolderOf(COMMAND_PORT));
    return command;
  }
  const std::string said = message.empty() ? std::string() : " (" + message + ")";
  if (startedNow) {
    report.Line(Verdict::kFail, "command port",
                "nothing answers on " + where + said + " " + Number(CONNECT_TIMEOUT_MS / 1000) +
                    " s after the console's start: Connect(1) would time out (its log says "
                    "\"OnConnect Failed. TimeOut\"); see whether the console shows an error");
  } else if (consoleRuns) {
    report.Line(Verdict::kFail, "command port",
                "nothing answers on " + where + said + " though " + CONSOLE_PROGRAM +
                    " runs: Connect(1) fails (its log says \"OnConnect Failed\"); the console "
                    "may still be starting, or it hangs: restart it");
  } else {
    report.Line(Verdict::kWarn, "command port",
                "nothing answers on " + where + said + ": the console does not run");
  }
  return platform::kInvalidSocket;
}

// The handshake's four questions, each with its 4-byte reply; the model start that follows them
// in the plug-in is not sent, so the console's state stays as it was.
bool CheckHandshake(SocketHandle command, Report& report) {
  struct Question {
    std::int32_t code;
    const char* name;
  };
  static const Question kQuestions[] = {{CMD_HANDSHAKE_A, "CMD_HANDSHAKE_A"},
                                        {CMD_HANDSHAKE_B, "CMD_HANDSHAKE_B"},
                                        {CMD_SOUND_QUERY, "CMD_SOUND_QUERY"},
                                        {CMD_HANDSHAKE_C, "CMD_HANDSHAKE_C"}};
  std::int32_t sound = 0;
  const Question* unanswered = nullptr;
  for (const Question& question : kQuestions) {
    unsigned char bytes[4];
    PutInt32(bytes, question.code);
    int count = 0;
    unsigned char reply[4] = {};
    if (!SendAll(command, bytes, sizeof bytes, count) || count != sizeof bytes ||
        !ReceiveExactly(command, reply, sizeof reply, count) || count != sizeof reply) {
      unanswered = &question;
      break;
    }
    if (question.code == CMD_SOUND_QUERY) sound = GetInt32(reply);
  }
  const std::string message = TakeRoutinesMessage();
  TcpClose(command);
  static_cast<void>(TakeRoutinesMessage());
  if (unanswered == nullptr) {
    report.Line(Verdict::kOk, "handshake",
                "the console answered the handshake's four questions (sound setting " +
                    Number(sound) + ")");
    return true;
  }
  report.Line(Verdict::kFail, "handshake",
              std::string(unanswered->name) + " (" + Number(unanswered->code) +
                  ") got no whole reply" + (message.empty() ? "" : " (" + message + ")") +
                  ": what listens on port " + Number(COMMAND_PORT) +
                  " is not the console, or the console hangs; restart it");
  return false;
}

// --- the files in the host's folder ---

// A text the plug-in would not read as it stands: anything but blanks, a sign and digits.
bool PlainInteger(const std::string& text) {
  std::size_t at = text.find_first_not_of(" \t");
  if (at == std::string::npos) return true;
  if (text[at] == '+' || text[at] == '-') ++at;
  const std::size_t digits = text.find_first_not_of("0123456789", at);
  return digits != at && (digits == std::string::npos ||
                          text.find_first_not_of(" \t", digits) == std::string::npos);
}

void CheckSettings(const std::string& folder, const std::string& path, Report& report) {
  if (path.empty()) {
    report.Line(
        Verdict::kFail, "settings",
        "the host's folder " + folder + " is too long for the plug-in (" +
            Number(static_cast<long long>(folder.size())) + " characters, at most " +
            Number(SETTINGS_PATH_SIZE - 2 - std::char_traits<char>::length(SETTINGS_FILE_NAME)) +
            "): it stays inert and every export fails; start the host from a shorter "
            "folder");
    return;
  }
  std::string values;
  std::string unread;
  for (const SettingsOption* option :
       {&SETTINGS_TOOL_BAR, &SETTINGS_STATUS_BAR, &SETTINGS_TYPE_SCANNING}) {
    std::string text;
    std::int32_t value = ReadSettingsOption(*option, path.c_str(), &text);
    // The two display options are flags.
    if (option != &SETTINGS_TYPE_SCANNING) value = value != 0 ? 1 : 0;
    values += std::string(values.empty() ? "" : " ") + option->key + "=" + Number(value);
    if (!PlainInteger(text)) {
      unread += "; " + std::string(option->key) + " " + Quoted(text) + " reads as " + Number(value);
    }
  }
  const bool exists = platform::pathKind(path.c_str()) == platform::PathKind::kFile;
  report.Line(unread.empty() ? Verdict::kOk : Verdict::kWarn, "settings",
              path + ": " + values +
                  (exists ? "" : " (no file: the defaults; the plug-in writes it at its unload)") +
                  unread +
                  "; the plug-in uses the file in the folder that is current when the host loads "
                  "it");
}

std::string FolderOf(const std::string& path) {
  std::string::size_type slash = path.find_last_of("/\\");
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1);
}

void CheckCapture(const std::string& settingsPath, Report& report) {
  if (settingsPath.empty()) {
    report.Line(Verdict::kInfo, "capture", "not read: the plug-in has no settings file");
    return;
  }
  const CaptureSettings capture = ReadCaptureSettings(settingsPath.c_str());
  if (capture.path.empty()) {
    report.Line(Verdict::kOk, "capture",
                "off (no [Capture] File in the settings file, KVT_CAPTURE not set)");
    return;
  }
  const char* environment = std::getenv("KVT_CAPTURE");
  const std::string from =
      environment != nullptr && environment[0] != '\0' ? "KVT_CAPTURE" : "[Capture] File";
  const std::string on = "on: " + capture.path + " (" + from + "), limit " +
                         Number(static_cast<long long>(capture.limitBytes >> 20)) + " MB";
  const std::string folder = FolderOf(capture.path);
  if (platform::pathKind(folder.c_str()) != platform::PathKind::kOther) {
    report.Line(Verdict::kWarn, "capture",
                on + "; its folder " + folder +
                    " does not exist, so the capture cannot start; create it or change the path");
    return;
  }
  report.Line(Verdict::kOk, "capture",
              on + "; each load writes a new file named after it with the date and time");
}

// The connection sequence's lines that say why a connection failed, and what they mean.
const char* Meaning(const std::string& line) {
  struct Known {
    const char* start;
    const char* meaning;
  };
  static const Known kKnown[] = {
      {"Pb : Registry open.", "the console's registry key was missing"},
      {"OnConnect Failed. TimeOut", "the console it started did not answer within 60 s"},
      {"OnConnect Failed", "the console did not answer the handshake"},
      {"Probleme with pThread!!!", "the data channel's thread could not start"},
      {"Pb : AppDir unknown", "\"AppDir\" could not be read, so no program was started"},
      {"Pb : cannot start", "a console program could not be started"},
      {"Pb : process list unavailable", "the process list could not be taken"},
  };
  for (const Known& known : kKnown) {
    if (line.compare(0, std::char_traits<char>::length(known.start), known.start) == 0) {
      return known.meaning;
    }
  }
  return nullptr;
}

void CheckDebugLog(const std::string& folder, Report& report) {
  const std::string path = folder + platform::kPathSeparator + DEBUG_LOG_NAME;
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    report.Line(Verdict::kInfo, "debug log",
                path + ": none yet; the plug-in writes it from its first Connect(1)");
    return;
  }
  std::vector<std::string> lines;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) lines.push_back(line);
  }
  std::string tail;
  for (std::size_t i = lines.size() > kLogTail ? lines.size() - kLogTail : 0; i < lines.size();
       ++i) {
    tail += " " + Quoted(lines[i]);
  }
  // The last connection's lines begin at its last "Debut fonction Init.".
  std::size_t lastRun = 0;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i] == "Debut fonction Init.") lastRun = i;
  }
  const char* failure = nullptr;
  for (std::size_t i = lastRun; i < lines.size() && failure == nullptr; ++i) {
    failure = Meaning(lines[i]);
  }
  report.Line(failure != nullptr ? Verdict::kWarn : Verdict::kOk, "debug log",
              path + (lines.empty() ? " is empty" : " ends:" + tail) +
                  (failure != nullptr ? std::string(" -> at the last connection ") + failure
                                      : std::string()));
}

std::string HostFolder(const DoctorOptions& options) {
  if (!options.folder.empty()) return options.folder;
  char folder[4096];
  return platform::currentDirectory(folder, sizeof folder) ? std::string(folder) : ".";
}

}  // namespace

int runDoctor(const DoctorOptions& options, std::ostream& out) {
  Report report(out);
  const std::string folder = HostFolder(options);
  report.Text("kvt-host doctor: what Connect(1) needs, in its order (" +
              Number(8 * static_cast<long long>(sizeof(void*))) + "-bit plug-in, host folder " +
              folder + ")");
  // What the socket routines print is taken into the lines.
  RoutinesMessages messages;
  int error = 0;
  static_cast<void>(platform::socketsStart(&error));

  const AppDirReading appDir = ReadAppDir();
  const Program console = LookAt(CONSOLE_PROGRAM, appDir);
  const Program scanner = LookAt(SCANNER_PROGRAM, appDir);
  CheckRegistry(appDir, console.running == Running::kYes && scanner.running == Running::kYes,
                report);
  bool startedNow = false;
  const bool consoleRuns = CheckConsole(console, appDir, options.start, &startedNow, report);
  CheckScanner(scanner, console.running == Running::kYes, appDir, options.start, report);
  CheckDataPort(report);
  const SocketHandle command = CheckCommandPort(consoleRuns, startedNow, report);
  const bool answered = command != platform::kInvalidSocket && CheckHandshake(command, report);
  if (command == platform::kInvalidSocket) {
    report.Line(Verdict::kInfo, "handshake", "not asked: nothing answers on the command port");
  }

  char settingsPath[SETTINGS_PATH_SIZE];
  const bool fits = SettingsFilePath(folder.c_str(), settingsPath);
  CheckSettings(folder, fits ? settingsPath : "", report);
  CheckCapture(fits ? settingsPath : "", report);
  CheckDebugLog(folder, report);
  static_cast<void>(TakeRoutinesMessage());

  if (!report.Failed().empty()) {
    std::string checks;
    for (const std::string& check : report.Failed()) checks += (checks.empty() ? "" : ", ") + check;
    report.Text("a connection would fail: " + checks);
    return DOCTOR_WOULD_FAIL;
  }
  if (answered) {
    report.Text("a connection would succeed");
    return DOCTOR_WOULD_CONNECT;
  }
  report.Text(std::string("undecided: ") + CONSOLE_PROGRAM +
              " does not run; kvt-host doctor --start starts it and asks it the handshake");
  return DOCTOR_UNDECIDED;
}
