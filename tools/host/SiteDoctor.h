// kvt-host doctor: the site check. It looks at what the connection sequence needs, in the order
// the sequence needs it, and prints one line for each: a verdict, what it found and what to do.
#pragma once

#include <ostream>
#include <string>

// The check's exit codes.
constexpr int DOCTOR_WOULD_CONNECT = 0;  // everything Connect(1) needs is there and answers
constexpr int DOCTOR_WOULD_FAIL = 1;     // a check failed: Connect(1) would return 2
constexpr int DOCTOR_UNDECIDED = 2;      // the console does not run: only --start can tell

struct DoctorOptions {
  // Start a console program that does not run, as Connect(1) would; without it nothing is
  // started.
  bool start = false;
  // The host's working folder, where the plug-in finds its settings file and writes its debug
  // log; empty: the current folder.
  std::string folder;
};

// Runs the checks, writes their lines to out and returns one of the exit codes above. It reads
// the registry, the process list, the settings file and the debug log, listens on port 2002 for a
// moment and asks whatever listens on 2003 the handshake's four questions; it writes nothing.
int runDoctor(const DoctorOptions& options, std::ostream& out);
