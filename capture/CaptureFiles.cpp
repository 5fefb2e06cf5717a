// Naming a load's capture file and keeping a site's capture files within their limit.
#include "capture/CaptureFiles.h"

#include <algorithm>
#include <cstdio>
#include <new>

#include "platform/module.h"

namespace {

bool IsSeparator(char c) { return c == '/' || c == platform::kPathSeparator; }

bool Digits(const std::string& text, std::size_t at, std::size_t count) {
  if (at + count > text.size()) return false;
  for (std::size_t i = at; i < at + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
  }
  return true;
}

// A file of an earlier load: the date and time in its name ("20261209-064512") and its number.
struct Stamped {
  std::string stamp;
  int number;
  platform::FolderFile file;
};

// Whether a file name is stem-YYYYMMDD-HHMMSS[-N]extension, and its stamp and number.
bool ParseStamped(const CaptureName& name, const std::string& file, std::string* stamp,
                  int* number) {
  constexpr std::size_t kStampLength = 15;  // YYYYMMDD-HHMMSS
  const std::string& stem = name.stem;
  const std::string& extension = name.extension;
  if (file.size() < stem.size() + 1 + kStampLength + extension.size()) return false;
  if (file.compare(0, stem.size(), stem) != 0 || file[stem.size()] != '-') return false;
  if (file.compare(file.size() - extension.size(), extension.size(), extension) != 0) return false;
  const std::size_t at = stem.size() + 1;
  if (!Digits(file, at, 8) || file[at + 8] != '-' || !Digits(file, at + 9, 6)) return false;
  *stamp = file.substr(at, kStampLength);
  const std::size_t rest = at + kStampLength;
  const std::size_t restLength = file.size() - extension.size() - rest;
  *number = 1;
  if (restLength == 0) return true;
  // "-N": at most four digits, as CaptureFileName never numbers beyond a few.
  if (restLength < 2 || restLength > 5 || file[rest] != '-' ||
      !Digits(file, rest + 1, restLength - 1)) {
    return false;
  }
  *number = std::stoi(file.substr(rest + 1, restLength - 1));
  return true;
}

}  // namespace

CaptureName SplitCaptureName(const std::string& path) {
  CaptureName name;
  std::size_t fileAt = path.size();
  while (fileAt > 0 && !IsSeparator(path[fileAt - 1])) --fileAt;
  name.folder = path.substr(0, fileAt);
  const std::string file = path.substr(fileAt);
  const std::size_t dot = file.rfind('.');
  // A name that is all extension (".pcapng") keeps it as its stem.
  if (dot == std::string::npos || dot == 0) {
    name.stem = file;
  } else {
    name.stem = file.substr(0, dot);
    name.extension = file.substr(dot);
  }
  return name;
}

std::string CaptureFileName(const CaptureName& name, const platform::LocalTime& time, int number) {
  char stamp[48];
  std::snprintf(stamp, sizeof stamp, "-%04d%02d%02d-%02d%02d%02d", time.year, time.month, time.day,
                time.hour, time.minute, time.second);
  std::string path = name.folder + name.stem + stamp;
  if (number > 1) path += "-" + std::to_string(number);
  return path + name.extension;
}

std::vector<platform::FolderFile> EarlierCapturesOf(
    const CaptureName& name, const std::vector<platform::FolderFile>& files) {
  std::vector<Stamped> stamped;
  for (const platform::FolderFile& file : files) {
    Stamped entry{"", 1, file};
    if (ParseStamped(name, file.name, &entry.stamp, &entry.number)) stamped.push_back(entry);
  }
  std::sort(stamped.begin(), stamped.end(), [](const Stamped& a, const Stamped& b) {
    return a.stamp != b.stamp ? a.stamp < b.stamp : a.number < b.number;
  });
  std::vector<platform::FolderFile> earlier;
  earlier.reserve(stamped.size());
  for (const Stamped& entry : stamped) earlier.push_back(entry.file);
  return earlier;
}

void EarlierCaptures::Gather(const CaptureName& name, const std::string& currentName) {
  // Memory that runs out leaves the earlier files alone: the limit then bounds the new one.
  try {
    folder_ = name.folder;
    std::vector<platform::FolderFile> listed;
    if (!platform::folderListFiles(folder_.c_str(), &listed)) return;
    for (const platform::FolderFile& file : EarlierCapturesOf(name, listed)) {
      if (file.name == currentName) continue;
      files_.push_back(file);
      bytes_ += file.size;
    }
  } catch (const std::bad_alloc&) {
    files_.clear();
    bytes_ = 0;
    return;
  }
  while (files_.size() - next_ > CAPTURE_KEPT_EARLIER) DeleteOldest();
}

void EarlierCaptures::MakeRoom(std::uint64_t currentBytes, std::uint64_t limitBytes) {
  while (next_ < files_.size() && currentBytes + bytes_ > limitBytes) DeleteOldest();
}

void EarlierCaptures::DeleteOldest() {
  const platform::FolderFile& oldest = files_[next_++];
  char path[1024];
  if (std::snprintf(path, sizeof path, "%s%s", folder_.c_str(), oldest.name.c_str()) <
      static_cast<int>(sizeof path)) {
    if (platform::fileRemove(path)) bytes_ -= oldest.size;
  }
}
