// Test registry values in a registry export file named by KVT_REGISTRY.
#include "TestRegistry.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>

TestRegistry::TestRegistry(const std::string& folder) : file_(folder + "/registry.reg") {
  ::setenv("KVT_REGISTRY", file_.c_str(), 1);
  Write();
}

TestRegistry::~TestRegistry() {
  std::remove(file_.c_str());
  ::unsetenv("KVT_REGISTRY");
}

void TestRegistry::SetAppDir(const std::string& folder) {
  std::string text = folder;
  if (text.empty() || text.back() != '/') text += '/';
  SetAppDirAsWritten(text, false);
}

void TestRegistry::SetAppDirAsWritten(const std::string& text, bool expandable) {
  appDir_ = text;
  appDirIsNumber_ = false;
  appDirIsExpandable_ = expandable;
  present_ = true;
  Write();
}

void TestRegistry::SetAppDirAsNumber(std::uint32_t value) {
  appDirIsNumber_ = true;
  appDirNumber_ = value;
  present_ = true;
  Write();
}

void TestRegistry::SetHideSw(std::uint32_t value) {
  hasHideSw_ = true;
  hideSw_ = value;
  Write();
}

void TestRegistry::RemoveAll() {
  present_ = false;
  hasHideSw_ = false;
  Write();
}

void TestRegistry::Write() {
  std::ofstream out(file_, std::ios::trunc);
  // REGEDIT4, whose hex(2) values hold the text's own bytes, as the plug-in reads them (a
  // version 5 file holds them as UTF-16).
  out << "REGEDIT4\n\n";
  if (present_) {
    out << "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Lumora\\Linestudio\\config]\n";
    if (appDirIsNumber_) {
      char text[16];
      std::snprintf(text, sizeof text, "%08x", appDirNumber_);
      out << "\"AppDir\"=dword:" << text << "\n\n";
    } else if (appDirIsExpandable_) {
      out << "\"AppDir\"=hex(2):";
      for (char c : appDir_) {
        char byte[4];
        std::snprintf(byte, sizeof byte, "%02x,", static_cast<unsigned char>(c));
        out << byte;
      }
      out << "00\n\n";
    } else {
      std::string escaped;
      for (char c : appDir_) {
        if (c == '\\' || c == '"') escaped += '\\';
        escaped += c;
      }
      out << "\"AppDir\"=\"" << escaped << "\"\n\n";
    }
  }
  if (hasHideSw_) {
    char text[16];
    std::snprintf(text, sizeof text, "%08x", hideSw_);
    out << "[HKEY_CURRENT_USER\\Software\\Lumora\\LinestudioConsole\\Settings]\n";
    out << "\"HideSW\"=dword:" << text << "\n";
  }
}
