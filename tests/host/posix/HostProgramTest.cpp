// The kvt-host program itself, run as a child process: exit status and standard error reach the
// caller.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <string>

#include "TempDir.h"
#include "platform/module.h"

namespace {

// Runs kvt-host beside this program in folder; its standard error is left in folder/err.txt.
int RunHost(const TempDir& folder, const std::string& arguments) {
  char self[1024];
  if (!platform::executablePath(self, sizeof self)) return -1;
  std::string program(self);
  program = program.substr(0, program.find_last_of('/') + 1) + "kvt-host";
  std::string command = "cd '" + folder.path().string() + "' && timeout 60 '" + program + "' " +
                        arguments + " >out.txt 2>err.txt";
  int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(HostProgramTest, ExitStatusAndMessagesReachTheCaller) {
  TempDir folder;
  EXPECT_EQ(RunHost(folder, "--library ./missing.so sensors"), 3);
  std::string err = ReadWholeFile(folder.file("err.txt"));
  EXPECT_NE(err.find("cannot load ./missing.so"), std::string::npos) << err;

  EXPECT_EQ(RunHost(folder, "sensors --no-such-option"), 109);
  EXPECT_FALSE(ReadWholeFile(folder.file("err.txt")).empty());

  ASSERT_EQ(RunHost(folder, "sensors"), 0) << ReadWholeFile(folder.file("err.txt"));
  EXPECT_NE(ReadWholeFile(folder.file("out.txt")).find("Lumora Laser Sensor"), std::string::npos);
}

}  // namespace
