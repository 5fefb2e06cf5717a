// The [Capture] section of the settings file, which switches the capture of both channels on.
#pragma once

#include <cstdint>

#include "capture/Capture.h"

constexpr std::uint32_t CAPTURE_DEFAULT_LIMIT_MB = 100;

// The section of the settings file at settingsPath (File, LimitMB; 100 MB when the limit is
// missing or not a positive number), the file replaced by the environment variable KVT_CAPTURE
// when that is set and not empty.
[[nodiscard]] CaptureSettings ReadCaptureSettings(const char* settingsPath);
