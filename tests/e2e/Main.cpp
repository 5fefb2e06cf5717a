// The end-to-end program: its test cases, or, with KVT_E2E_CHILD set, the host role that one of
// them runs it in as a child process.
#include <gtest/gtest.h>

#include <cstdlib>

int RunChildRole(const char* role);

int main(int argc, char** argv) {
  if (const char* role = std::getenv("KVT_E2E_CHILD")) return RunChildRole(role);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
