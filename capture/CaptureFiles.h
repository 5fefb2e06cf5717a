// The files of a site's capture: each load writes a new file named after the configured one
// with the load's date and time. The limit bounds all files of the name together: as the new
// file grows, the oldest earlier ones are deleted to make room.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/time.h"

// How many files of earlier loads stay beside the new one at most.
constexpr std::size_t CAPTURE_KEPT_EARLIER = 4;

// A configured capture path in parts: "C:\Temp\kvt-site.pcapng" is "C:\Temp\", "kvt-site" and
// ".pcapng".
struct CaptureName {
  std::string folder;     // up to and including the last separator; "" for the current folder
  std::string stem;       // the file name without its extension
  std::string extension;  // from the file name's last dot on; "" when it has none
};

[[nodiscard]] CaptureName SplitCaptureName(const std::string& path);

// The load's file: "C:\Temp\kvt-site-20261209-064512.pcapng", with "-2", "-3", ... before the
// extension for a second or third load in the same second (number 1 has none).
[[nodiscard]] std::string CaptureFileName(const CaptureName& name, const platform::LocalTime& time,
                                          int number);

// Of a folder's files, those that loads made for this configured name, oldest first (by the date
// and time in their names, then by number).
[[nodiscard]] std::vector<platform::FolderFile> EarlierCapturesOf(
    const CaptureName& name, const std::vector<platform::FolderFile>& files);

// The earlier files of one configured name, which the new file's capture deletes, oldest first,
// as it needs their room. A file that cannot be deleted (on Windows: another program has it
// open) stays and counts. Used by the capture's thread alone.
class EarlierCaptures {
 public:
  // Lists the name's folder and deletes all but the CAPTURE_KEPT_EARLIER newest of its earlier
  // files; the file of this load (currentName, without the folder) is none of them.
  void Gather(const CaptureName& name, const std::string& currentName);

  // Deletes the oldest until they and a new file of currentBytes take at most limitBytes
  // together, or none is left.
  void MakeRoom(std::uint64_t currentBytes, std::uint64_t limitBytes);

  // What the earlier files still there take.
  [[nodiscard]] std::uint64_t Bytes() const { return bytes_; }

 private:
  void DeleteOldest();

  std::string folder_;
  std::vector<platform::FolderFile> files_;  // oldest first
  std::size_t next_ = 0;                     // the oldest not yet deleted, nor tried
  std::uint64_t bytes_ = 0;
};
