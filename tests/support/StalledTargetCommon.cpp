// The platform-independent half of StalledTarget: starting and finishing the reading thread.
#include <utility>

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
  std::vector<unsigned char> bytes;
  bytes.reserve(count_);
  for (const std::vector<unsigned char>& piece : pieces_) {
    bytes.insert(bytes.end(), piece.begin(), piece.end());
  }
  return bytes;
}

void StalledTarget::Keep(const unsigned char* piece, std::size_t size) {
  std::vector<unsigned char> kept(piece, piece + size);
  std::lock_guard<std::mutex> lock(mutex_);
  pieces_.push_back(std::move(kept));
  count_ += size;
}
