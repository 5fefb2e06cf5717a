// Loads the built plug-in by path, as a host does, and resolves its twenty exports.
#pragma once

#include <string>

#include "shell/KvtScannerApi.h"

class PluginLibrary {
 public:
  // The plug-in library beside the running program, where the build puts both.
  static std::string BuiltPath();

  PluginLibrary() = default;
  ~PluginLibrary() { Unload(); }
  PluginLibrary(const PluginLibrary&) = delete;
  PluginLibrary& operator=(const PluginLibrary&) = delete;

  // Loads the library and resolves every export; false with a reason in error() otherwise.
  bool Load(const std::string& path);
  void Unload();
  bool loaded() const { return handle_ != nullptr; }
  const std::string& error() const { return error_; }

  // The twenty exports, each under its own name.
  // NOLINTBEGIN(readability-identifier-naming)
  kvt::ButtonModeAvailableFn ButtonModeAvailable = nullptr;
  kvt::ButtonModeGetFn ButtonModeGet = nullptr;
  kvt::ButtonModeSetFn ButtonModeSet = nullptr;
  kvt::ConfigFn Config = nullptr;
  kvt::ConnectFn Connect = nullptr;
  kvt::DetectGetFn DetectGet = nullptr;
  kvt::DetectSetFn DetectSet = nullptr;
  kvt::GetPluginVersionFn GetPluginVersion = nullptr;
  kvt::IsConnectedFn IsConnected = nullptr;
  kvt::MeasureStartFn MeasureStart = nullptr;
  kvt::MeasureStopFn MeasureStop = nullptr;
  kvt::MouseGetFn MouseGet = nullptr;
  kvt::MouseSetFn MouseSet = nullptr;
  kvt::ResetFn Reset = nullptr;
  kvt::SensorGetFn SensorGet = nullptr;
  kvt::SensorGetListFn SensorGetList = nullptr;
  kvt::SensorSetFn SensorSet = nullptr;
  kvt::SetDiameterFn SetDiameter = nullptr;
  kvt::SoundGetFn SoundGet = nullptr;
  kvt::SoundSetFn SoundSet = nullptr;
  // NOLINTEND(readability-identifier-naming)

 private:
  void* handle_ = nullptr;
  std::string error_;
};
