// The kvt-host command line: its subcommands, their calls into the plug-in and the exit codes.
#pragma once

#include <csignal>
#include <ostream>

// Exit codes besides 0 and those of the command-line parser for bad options (100 and above).
constexpr int HOST_EXIT_LIBRARY = 3;        // the library does not load or stays inert
constexpr int HOST_EXIT_CONNECT = 4;        // Connect(1) failed
constexpr int HOST_EXIT_MEASURE_START = 5;  // MeasureStart failed
constexpr int HOST_EXIT_OUTPUT = 6;         // an output file or folder cannot be written
constexpr int HOST_EXIT_QUERY = 7;          // SensorGet failed on a connected plug-in

struct HostConsole {
  std::ostream& out;
  std::ostream& err;
  // Progress then rewrites one line with '\r' instead of printing a line every second.
  bool outIsTerminal = false;
  // Set from a signal handler to end a measurement early; may be null.
  const volatile std::sig_atomic_t* interrupted = nullptr;
};

// Parses the arguments, runs the subcommand and returns the process's exit code. Without
// --library the plug-in beside the running program is loaded.
int runHost(int argc, const char* const* argv, const HostConsole& console);
