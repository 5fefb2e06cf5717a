// Parsing of the console simulator's scenario scripts and held-reply options.
#include "tools/console-sim/Scenario.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {

// The most points one event may put on the wire: 12 MB, enough to overrun any block.
constexpr long kMaxSentPoints = 1000000;
constexpr long kMaxGarbageBytes = 1000000;

enum class Arguments { None, Code, Text, Floats3, Floats6, Count, BadCount, OptionalMs };

struct EventSyntax {
  const char* name;
  ScriptEventKind kind;
  Arguments arguments;
};

constexpr EventSyntax kEvents[] = {
    {"button", ScriptEventKind::Button, Arguments::Code},
    {"button-final", ScriptEventKind::ButtonFinal, Arguments::Code},
    {"echo", ScriptEventKind::Echo, Arguments::None},
    {"echo-final", ScriptEventKind::EchoFinal, Arguments::None},
    {"begin", ScriptEventKind::Begin, Arguments::Text},
    {"scan-begin", ScriptEventKind::ScanBegin, Arguments::Text},
    {"scan-end", ScriptEventKind::ScanEnd, Arguments::Text},
    {"acquire-begin", ScriptEventKind::AcquireBegin, Arguments::Text},
    {"acquire-end", ScriptEventKind::AcquireEnd, Arguments::Text},
    {"acquire-on", ScriptEventKind::AcquireOn, Arguments::None},
    {"acquire-off", ScriptEventKind::AcquireOff, Arguments::None},
    {"end", ScriptEventKind::End, Arguments::Text},
    {"probe-point", ScriptEventKind::ProbePoint, Arguments::Floats3},
    {"probe-vector", ScriptEventKind::ProbeVector, Arguments::Floats6},
    {"stripe", ScriptEventKind::Stripe, Arguments::None},
    {"garbage", ScriptEventKind::Garbage, Arguments::Count},
    {"bad-count", ScriptEventKind::BadCount, Arguments::BadCount},
    {"cut", ScriptEventKind::Cut, Arguments::None},
    {"stall", ScriptEventKind::Stall, Arguments::OptionalMs},
    {"close", ScriptEventKind::Close, Arguments::None},
    {"quit", ScriptEventKind::Quit, Arguments::None},
};

// A whole word as a decimal integer within [low, high].
bool parseInteger(const std::string& word, long low, long high, long* value) {
  if (word.empty()) return false;
  errno = 0;
  char* end = nullptr;
  long parsed = std::strtol(word.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || parsed < low || parsed > high) return false;
  *value = parsed;
  return true;
}

// A whole word as a float; "nan" and "inf" are accepted on purpose, the plug-in must carry them.
bool parseFloat(const std::string& word, float* value) {
  if (word.empty()) return false;
  errno = 0;
  char* end = nullptr;
  float parsed = std::strtof(word.c_str(), &end);
  if (errno == ERANGE || *end != '\0') return false;
  *value = parsed;
  return true;
}

std::string argumentCountError(const char* name, const char* expected) {
  return std::string("'") + name + "' takes " + expected;
}

bool parseArguments(const EventSyntax& syntax, const std::vector<std::string>& args,
                    ScriptEvent* event, std::string* error) {
  long number = 0;
  switch (syntax.arguments) {
    case Arguments::None:
      if (args.empty()) return true;
      *error = argumentCountError(syntax.name, "no arguments");
      return false;
    case Arguments::Code:
      if (args.size() != 1) {
        *error = argumentCountError(syntax.name, "one integer, the button code");
        return false;
      }
      if (!parseInteger(args[0], INT32_MIN, INT32_MAX, &number)) {
        *error = "bad button code '" + args[0] + "'";
        return false;
      }
      event->number = static_cast<std::int32_t>(number);
      return true;
    case Arguments::Text:
      if (args.empty()) return true;
      if (args.size() == 1 && args[0] == "long") {
        event->longText = true;
        return true;
      }
      *error = argumentCountError(syntax.name, "no argument or 'long'");
      return false;
    case Arguments::Floats3:
    case Arguments::Floats6: {
      std::size_t wanted = syntax.arguments == Arguments::Floats3 ? 3 : 6;
      if (args.size() != wanted) {
        *error = argumentCountError(syntax.name, wanted == 3 ? "X Y Z" : "X Y Z RX RY RZ");
        return false;
      }
      for (std::size_t i = 0; i < wanted; ++i) {
        if (!parseFloat(args[i], &event->values[i])) {
          *error = "bad number '" + args[i] + "'";
          return false;
        }
      }
      return true;
    }
    case Arguments::OptionalMs:
      if (args.empty()) return true;
      if (args.size() != 1 || !parseInteger(args[0], 1, INT32_MAX, &number)) {
        *error = argumentCountError(syntax.name, "no argument or a number of milliseconds");
        return false;
      }
      event->number = static_cast<std::int32_t>(number);
      return true;
    case Arguments::Count:
      if (args.size() != 1) {
        *error = argumentCountError(syntax.name, "one byte count");
        return false;
      }
      if (!parseInteger(args[0], 1, kMaxGarbageBytes, &number)) {
        *error = "byte count '" + args[0] + "' is not between 1 and 1000000";
        return false;
      }
      event->number = static_cast<std::int32_t>(number);
      return true;
    case Arguments::BadCount: {
      if (args.empty() || args.size() > 2) {
        *error = argumentCountError(syntax.name, "N [SENT]");
        return false;
      }
      if (!parseInteger(args[0], INT32_MIN, INT32_MAX, &number)) {
        *error = "bad point count '" + args[0] + "'";
        return false;
      }
      event->number = static_cast<std::int32_t>(number);
      long sent = std::max(number, 0L);
      if (args.size() == 2 && !parseInteger(args[1], 0, kMaxSentPoints, &sent)) {
        *error = "points sent '" + args[1] + "' is not between 0 and 1000000";
        return false;
      }
      if (sent > kMaxSentPoints) {
        *error = "more than 1000000 points: give the points sent as a second argument";
        return false;
      }
      event->pointsSent = static_cast<std::int32_t>(sent);
      return true;
    }
  }
  return false;
}

}  // namespace

const char* scriptEventName(ScriptEventKind kind) {
  for (const EventSyntax& syntax : kEvents) {
    if (syntax.kind == kind) return syntax.name;
  }
  return "?";
}

bool parseScriptLine(const std::string& text, ScriptEvent* event, bool* hasEvent,
                     std::string* error) {
  *hasEvent = false;
  std::istringstream words(text.substr(0, text.find('#')));
  std::vector<std::string> tokens;
  for (std::string word; words >> word;) tokens.push_back(word);
  if (tokens.empty()) return true;

  ScriptEvent parsed;
  long atMs = 0;
  if (!parseInteger(tokens[0], 0, INT_MAX, &atMs)) {
    *error = "time '" + tokens[0] + "' is not a whole number of milliseconds";
    return false;
  }
  parsed.atMs = static_cast<int>(atMs);
  if (tokens.size() < 2) {
    *error = "an event must follow the time";
    return false;
  }
  const EventSyntax* syntax = nullptr;
  for (const EventSyntax& candidate : kEvents) {
    if (tokens[1] == candidate.name) syntax = &candidate;
  }
  if (syntax == nullptr) {
    *error = "unknown event '" + tokens[1] + "'";
    return false;
  }
  parsed.kind = syntax->kind;
  if (!parseArguments(*syntax, std::vector<std::string>(tokens.begin() + 2, tokens.end()), &parsed,
                      error)) {
    return false;
  }
  *event = parsed;
  *hasEvent = true;
  return true;
}

bool parseScript(std::istream& in, std::vector<ScriptEvent>* events, std::string* error) {
  std::vector<ScriptEvent> parsed;
  int lineNumber = 0;
  for (std::string line; std::getline(in, line);) {
    ++lineNumber;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    ScriptEvent event;
    bool hasEvent = false;
    std::string message;
    if (!parseScriptLine(line, &event, &hasEvent, &message)) {
      *error = "line " + std::to_string(lineNumber) + ": " + message;
      return false;
    }
    if (!hasEvent) continue;
    event.line = lineNumber;
    parsed.push_back(event);
  }
  std::stable_sort(parsed.begin(), parsed.end(),
                   [](const ScriptEvent& a, const ScriptEvent& b) { return a.atMs < b.atMs; });
  *events = std::move(parsed);
  return true;
}

bool parseScriptFile(const std::string& path, std::vector<ScriptEvent>* events,
                     std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot open script '" + path + "'";
    return false;
  }
  if (!parseScript(in, events, error)) {
    *error = path + ": " + *error;
    return false;
  }
  return true;
}

bool parseHeldReply(const std::string& text, HeldReply* hold, std::string* error) {
  std::vector<std::string> parts;
  std::string::size_type start = 0;
  for (;;) {
    std::string::size_type colon = text.find(':', start);
    parts.push_back(text.substr(start, colon - start));
    if (colon == std::string::npos) break;
    start = colon + 1;
  }
  long code = 0, ms = 0, count = -1;
  if (parts.size() < 2 || parts.size() > 3 ||
      !parseInteger(parts[0], INT32_MIN, INT32_MAX, &code) ||
      !parseInteger(parts[1], 0, 3600000, &ms) ||
      (parts.size() == 3 && !parseInteger(parts[2], 1, INT_MAX, &count))) {
    *error = "hold '" + text + "' is not CODE:MS or CODE:MS:COUNT (MS up to 3600000, COUNT from 1)";
    return false;
  }
  hold->code = static_cast<std::int32_t>(code);
  hold->ms = static_cast<int>(ms);
  hold->count = static_cast<int>(count);
  return true;
}

const char* const kScriptHelp =
    "Script: one event per line, \"AT_MS EVENT [ARGS]\", '#' starts a comment. AT_MS counts\n"
    "milliseconds from the console's first data connection, which it makes on the first scan\n"
    "start (3872); events at the same time run in file order. An event that sends while the\n"
    "data connection is closed connects again first. Events:\n"
    "  button N, button-final N      digitizer button N (3963 / 3962), acknowledgement checked\n"
    "  echo, echo-final              24-byte echo (3987 / 3986)\n"
    "  begin, scan-begin, scan-end, acquire-begin, acquire-end, end [long]\n"
    "                                text records 3328 3344 3600 3360 3616 3584; 'long' sends\n"
    "                                256 characters with no terminator\n"
    "  acquire-on, acquire-off       the bare types 3905 / 3904\n"
    "  probe-point X Y Z             3412 header and a one-point 3413 block\n"
    "  probe-vector X Y Z RX RY RZ   3410 header with the angles and a one-point 3411 block\n"
    "  stripe                        one laser stripe now\n"
    "  garbage N                     N random bytes\n"
    "  bad-count N [SENT]            a laser header with count N, then SENT points\n"
    "                                (default max(N, 0))\n"
    "  cut                           a stripe whose point block stops half way: the data\n"
    "                                connection is closed there\n"
    "  stall [MS]                    a stripe whose point block stops half way: the\n"
    "                                connection stays open and streaming stops; with MS,\n"
    "                                the connection is closed after MS and streaming goes on\n"
    "  close                         close the data connection\n"
    "  quit                          end the program\n";
