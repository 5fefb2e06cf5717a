// The platform-independent half of StalledTarget: starting and finishing the reading thread.
#include <chrono>

#include "StalledTarget.h"

void StalledTarget::StartReading() {
  if (!ready_ || reader_.joinable()) return;
  reader_ = std::thread([this] { Read(); });
}

std::vector<unsigned char> StalledTarget::Finish(int timeoutMs) {
  StartReading();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!ended_ && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  stop_ = true;
  if (reader_.joinable()) reader_.join();
  std::lock_guard<std::mutex> lock(mutex_);
  return bytes_;
}
