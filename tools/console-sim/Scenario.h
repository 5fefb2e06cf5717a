// The console simulator's scenario: timed data-channel events read from a script, and held replies.
#pragma once

#include <cstdint>
#include <istream>
#include <string>
#include <vector>

// What one script line does on the data channel.
enum class ScriptEventKind {
  Button,        // DATA_BUTTON with a code
  ButtonFinal,   // DATA_BUTTON_FINAL with a code
  Echo,          // DATA_ECHO, 24 bytes
  EchoFinal,     // DATA_ECHO_FINAL
  Begin,         // DATA_BEGIN
  ScanBegin,     // DATA_SCAN_BEGIN
  ScanEnd,       // DATA_SCAN_END
  AcquireBegin,  // DATA_ACQUIRE_BEGIN
  AcquireEnd,    // DATA_ACQUIRE_END
  AcquireOn,     // DATA_ACQUIRE_ON, the type alone
  AcquireOff,    // DATA_ACQUIRE_OFF, the type alone
  End,           // DATA_END; the plug-in closes the connection afterwards
  ProbePoint,    // probe point header and a block of one point
  ProbeVector,   // probe vector header with angles and a block of one point
  Stripe,        // one laser stripe of the synthetic part
  Garbage,       // random bytes
  BadCount,      // a laser header whose count disagrees with what is sensible or with the block
  Cut,           // a laser stripe whose point block is cut off by closing the connection
  Stall,         // a laser stripe whose point block stops half way; nothing more is sent, or
                 // with a number, the connection is closed after that many milliseconds
  Close,         // close the data connection
  Quit,          // end the program
};

struct ScriptEvent {
  int atMs = 0;  // after the first data connection
  ScriptEventKind kind = ScriptEventKind::Stripe;
  // Button code, garbage byte count, the header count of bad-count, or stall's milliseconds.
  std::int32_t number = 0;
  // bad-count: points actually sent behind the header; -1 sends max(number, 0).
  std::int32_t pointsSent = -1;
  // Text records: 256 characters with no terminator instead of a short text.
  bool longText = false;
  // probe-point: x y z; probe-vector: x y z rx ry rz (degrees).
  float values[6] = {};
  int line = 0;  // line in the script, 0 for events made in code
};

// The script name of an event kind, as parseScriptLine reads it.
const char* scriptEventName(ScriptEventKind kind);

// Parses one line. Blank and comment-only lines give true with *hasEvent false; a bad line gives
// false and a message without the line number.
bool parseScriptLine(const std::string& text, ScriptEvent* event, bool* hasEvent,
                     std::string* error);

// Parses a whole script. The events come back ordered by time, in file order at equal times. A
// bad line gives false and "line N: message".
bool parseScript(std::istream& in, std::vector<ScriptEvent>* events, std::string* error);
bool parseScriptFile(const std::string& path, std::vector<ScriptEvent>* events, std::string* error);

// A command whose processing (and reply) is held back, "CODE:MS" or "CODE:MS:COUNT".
struct HeldReply {
  std::int32_t code = 0;
  int ms = 0;
  int count = -1;  // how many times; -1 every time
};

bool parseHeldReply(const std::string& text, HeldReply* hold, std::string* error);

// Text for --help: the script's format and events.
extern const char* const kScriptHelp;
