// The files the plug-in keeps in the folder that was current at its load, read as a test checks
// them: the settings file and the debug log.
#pragma once

#include <algorithm>
#include <string>

#include "TempDir.h"
#include "platform/profile.h"

// Text as written, with the line ends of Windows' C runtime text mode turned into plain ones.
inline std::string TextLines(std::string text) {
  text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
  return text;
}

// The debug log in folder, as written.
inline std::string ReadRawDebugLog(const std::string& folder) {
  return ReadWholeFile(folder + "/Debug_Lumora.txt");
}
// The debug log in folder, line ends made plain.
inline std::string ReadDebugLog(const std::string& folder) {
  return TextLines(ReadRawDebugLog(folder));
}

// A key of the settings file, read as the platform's profile reader reads it; "<missing>" when
// the key (or the file) is not there.
inline std::string ReadSetting(const std::string& file, const char* key,
                               const char* section = "Lumora") {
  char text[64];
  platform::profileReadString(section, key, "<missing>", text, sizeof text, file.c_str());
  return text;
}
