// Time-stamped transcript lines written to a file or standard output.
#include "tools/console-sim/Transcript.h"

#include <cstdarg>

SimTranscript::SimTranscript() : start_(std::chrono::steady_clock::now()) {}

SimTranscript::~SimTranscript() { close(); }

bool SimTranscript::open(const std::string& path, std::string* error) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (path.empty()) return true;
  if (path == "-") {
    file_ = stdout;
    enabled_ = true;
    return true;
  }
  file_ = std::fopen(path.c_str(), "w");
  if (file_ == nullptr) {
    *error = "cannot create transcript '" + path + "'";
    return false;
  }
  ownsFile_ = true;
  enabled_ = true;
  return true;
}

void SimTranscript::close() {
  std::lock_guard<std::mutex> guard(mutex_);
  enabled_ = false;
  if (file_ != nullptr) {
    if (ownsFile_) {
      std::fclose(file_);
    } else {
      std::fflush(file_);
    }
  }
  file_ = nullptr;
  ownsFile_ = false;
}

void SimTranscript::restartClock(std::chrono::steady_clock::time_point from) {
  std::lock_guard<std::mutex> guard(mutex_);
  start_ = from;
}

void SimTranscript::line(const char* format, ...) {
  if (!enabled_) return;
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  std::lock_guard<std::mutex> guard(mutex_);
  if (file_ == nullptr) return;
  double ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start_).count();
  std::fprintf(file_, "%9.3f %s\n", ms, text);
  std::fflush(file_);
}
