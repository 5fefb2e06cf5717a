// The host's standard output as a pipe that nobody reads, full from the start: a write that
// waits for room waits until Restore. And a console's connection closed with a reset, which makes
// the plug-in print the failed read and the failed shutdown that follow.
#pragma once

#include <cstdio>
#include <string>

#include "platform/socket.h"

class StalledOutput {
 public:
  // Flushes what the test's own C runtime buffers for standard output, then puts the full pipe
  // in its place (the C runtime's descriptor and, on Windows, the process's handle).
  StalledOutput();
  ~StalledOutput() { Restore(); }
  StalledOutput(const StalledOutput&) = delete;
  StalledOutput& operator=(const StalledOutput&) = delete;

  // False when the output could not be replaced (nothing was changed then).
  bool ready() const { return ready_; }
  // Puts the standard output back and reads the pipe empty for a moment, so that a writer that
  // waited for room gets it and goes on. Nothing the second time.
  void Restore();

 private:
  bool ready_ = false;
  long long savedOutput_ = -1;  // the C runtime's descriptor 1 as it was
  long long savedHandle_ = -1;  // Windows: the process's standard output handle as it was
  long long reader_ = -1;       // the pipe's reading end: a descriptor or a HANDLE
};

// Sends the process's standard output and error into two files from now on (the C runtime's
// descriptors 1 and 2 and, on Windows, the process's handles), so that what the plug-in prints
// can be read back. Returns a stream on the standard output as it was, for the program's own
// output; null when the files cannot be made (nothing was changed then).
std::FILE* RedirectStandardStreams(const std::string& outputPath, const std::string& errorPath);

// Closes a connected socket so that its peer sees a reset, not an orderly end.
void CloseWithReset(platform::SocketHandle socket);
