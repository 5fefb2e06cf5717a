// The capture's settings from the settings file and the environment.
#include "shell/CaptureSettings.h"

#include <cstdlib>

#include "platform/profile.h"
#include "shell/SettingsValue.h"

namespace {
constexpr const char* kSection = "Capture";
}  // namespace

CaptureSettings ReadCaptureSettings(const char* settingsPath) {
  CaptureSettings settings;
  char text[1024];
  platform::profileReadString(kSection, "File", "", text, sizeof text, settingsPath);
  settings.path = text;
  const char* environment = std::getenv("KVT_CAPTURE");
  if (environment != nullptr && *environment != '\0') settings.path = environment;
  platform::profileReadString(kSection, "LimitMB", "", text, sizeof text, settingsPath);
  std::int32_t megabytes = SettingsValue(text, static_cast<std::int32_t>(CAPTURE_DEFAULT_LIMIT_MB));
  if (megabytes <= 0) megabytes = static_cast<std::int32_t>(CAPTURE_DEFAULT_LIMIT_MB);
  if (megabytes > static_cast<std::int32_t>(CAPTURE_MAX_LIMIT_MB)) {
    megabytes = static_cast<std::int32_t>(CAPTURE_MAX_LIMIT_MB);
  }
  settings.limitBytes = static_cast<std::uint64_t>(megabytes) << 20;
  return settings;
}
