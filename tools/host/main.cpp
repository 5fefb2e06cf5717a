// kvt-host: a command-line host that loads the scanner plug-in and drives it.
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <iostream>

#include "tools/host/HostCommands.h"

namespace {

volatile std::sig_atomic_t g_interrupted = 0;

// The first Ctrl-C ends a measurement in order, so that the console stops scanning and the
// points are written; a second one ends the program at once.
extern "C" void onInterrupt(int signal) {
  g_interrupted = 1;
  std::signal(signal, SIG_DFL);
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGINT, onInterrupt);
  HostConsole console{std::cout, std::cerr, isatty(fileno(stdout)) != 0, &g_interrupted};
  return runHost(argc, argv, console);
}
