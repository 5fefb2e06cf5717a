// Sets up the registry values the connection sequence reads, for one test: on Windows in the
// real registry, on POSIX in a registry file named by KVT_REGISTRY.
#pragma once

#include <cstdint>
#include <string>

class TestRegistry {
 public:
  // folder: where a POSIX registry file may be written.
  explicit TestRegistry(const std::string& folder);
  // Removes what the test set.
  ~TestRegistry();
  TestRegistry(const TestRegistry&) = delete;
  TestRegistry& operator=(const TestRegistry&) = delete;

  // The console's installation folder, "AppDir" (a separator is appended when missing).
  void SetAppDir(const std::string& folder);
  // "AppDir" exactly as given, as text or as expandable text (REG_EXPAND_SZ), as an installer
  // may write it.
  void SetAppDirAsWritten(const std::string& text, bool expandable);
  // "AppDir" of another type than text, which the sequence must refuse.
  void SetAppDirAsNumber(std::uint32_t value);
  void SetHideSw(std::uint32_t value);
  // No console key at all.
  void RemoveAll();

 private:
  void Write();
  std::string file_;
  std::string appDir_;
  bool appDirIsNumber_ = false;
  bool appDirIsExpandable_ = false;
  std::uint32_t appDirNumber_ = 0;
  bool hasHideSw_ = false;
  std::uint32_t hideSw_ = 0;
  bool present_ = false;
};
