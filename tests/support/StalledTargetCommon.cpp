// The platform-independent half of StalledTarget: starting and finishing the reading thread.
#include "StalledTarget.h"
#include "Wait.h"

void StalledTarget::StartReading() {
  if (!ready_ || reader_.joinable()) return;
  reader_ = std::thread([this] { Read(); });
}

std::vector<unsigned char> StalledTarget::Finish(int timeoutMs) {
  StartReading();
  static_cast<void>(WaitUntil([this] { return ended_.load(); }, timeoutMs, 10));
  stop_ = true;
  if (reader_.joinable()) reader_.join();
  std::lock_guard<std::mutex> lock(mutex_);
  return bytes_;
}
