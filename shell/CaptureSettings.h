// The [Capture] section of the settings file, which switches the capture of both channels on.
#pragma once

#include <cstdint>

#include "capture/Capture.h"

// LimitMB bounds all capture files of the configured name together (CaptureFiles.h). The most it
// may be keeps one file within what every file system of a Windows machine holds (FAT32: 4 GB).
constexpr std::uint32_t CAPTURE_DEFAULT_LIMIT_MB = 1024;
constexpr std::uint32_t CAPTURE_MAX_LIMIT_MB = 4096;

// The section of the settings file at settingsPath (File, LimitMB; CAPTURE_DEFAULT_LIMIT_MB when
// the limit is missing or not a positive number, CAPTURE_MAX_LIMIT_MB when it is larger), the
// file replaced by the environment variable KVT_CAPTURE when that is set and not empty.
[[nodiscard]] CaptureSettings ReadCaptureSettings(const char* settingsPath);
