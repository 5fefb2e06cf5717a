// Loads the built plug-in by path and resolves its exports.
#include "tools/host/PluginLibrary.h"

#include <string>

#include "platform/module.h"
#include "platform/testing.h"

std::string PluginLibrary::BuiltPath() {
  char program[1024];
  if (!platform::executablePath(program, sizeof program)) return std::string();
  std::string path(program);
  std::string::size_type slash = path.find_last_of("/\\");
  return path.substr(0, slash + 1) + "KvtScannerLumora" + platform::kLibraryExtension;
}

template <typename Fn>
static bool Resolve(void* handle, const char* name, Fn* out, std::string* error) {
  *out = reinterpret_cast<Fn>(platform::librarySymbol(handle, name));
  if (*out == nullptr) *error = std::string("missing export ") + name;
  return *out != nullptr;
}

bool PluginLibrary::Load(const std::string& path) {
  Unload();
  handle_ = platform::libraryLoad(path.c_str());
  if (handle_ == nullptr) {
    error_ = std::string("cannot load ") + path + ": " + platform::libraryError();
    return false;
  }
  bool ok = Resolve(handle_, "ButtonModeAvailable", &ButtonModeAvailable, &error_) &&
            Resolve(handle_, "ButtonModeGet", &ButtonModeGet, &error_) &&
            Resolve(handle_, "ButtonModeSet", &ButtonModeSet, &error_) &&
            Resolve(handle_, "Config", &Config, &error_) &&
            Resolve(handle_, "Connect", &Connect, &error_) &&
            Resolve(handle_, "DetectGet", &DetectGet, &error_) &&
            Resolve(handle_, "DetectSet", &DetectSet, &error_) &&
            Resolve(handle_, "GetPluginVersion", &GetPluginVersion, &error_) &&
            Resolve(handle_, "IsConnected", &IsConnected, &error_) &&
            Resolve(handle_, "MeasureStart", &MeasureStart, &error_) &&
            Resolve(handle_, "MeasureStop", &MeasureStop, &error_) &&
            Resolve(handle_, "MouseGet", &MouseGet, &error_) &&
            Resolve(handle_, "MouseSet", &MouseSet, &error_) &&
            Resolve(handle_, "Reset", &Reset, &error_) &&
            Resolve(handle_, "SensorGet", &SensorGet, &error_) &&
            Resolve(handle_, "SensorGetList", &SensorGetList, &error_) &&
            Resolve(handle_, "SensorSet", &SensorSet, &error_) &&
            Resolve(handle_, "SetDiameter", &SetDiameter, &error_) &&
            Resolve(handle_, "SoundGet", &SoundGet, &error_) &&
            Resolve(handle_, "SoundSet", &SoundSet, &error_);
  if (!ok) Unload();
  return ok;
}

void PluginLibrary::Unload() {
  if (handle_ != nullptr) static_cast<void>(platform::libraryUnload(handle_));
  handle_ = nullptr;
}
