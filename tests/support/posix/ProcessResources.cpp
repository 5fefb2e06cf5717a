// Counts of the test process's threads and open descriptors, read from /proc.
#include "ProcessResources.h"

#include <dirent.h>
#include <pthread.h>

#include <thread>
#include <vector>

namespace {

// Entries of a /proc folder, less those that reading it adds itself.
int CountEntries(const char* folder, int ownEntries) {
  DIR* dir = opendir(folder);
  if (dir == nullptr) return -1;
  int count = 0;
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(dir);
  return count - ownEntries;
}

}  // namespace

ProcessResources CountProcessResources() {
  ProcessResources counts;
  counts.threads = CountEntries("/proc/self/task", 0);
  counts.handles = CountEntries("/proc/self/fd", 1);  // the open folder's own descriptor
  return counts;
}

void WarmUpProcessResources() {
  // A sanitizer's runtime starts a thread of its own at the process's first thread start, and
  // keeps it.
  std::thread([] {}).join();
}

int FreeThreadSlots() {
  std::vector<pthread_key_t> keys;
  pthread_key_t key;
  while (pthread_key_create(&key, nullptr) == 0) keys.push_back(key);
  for (pthread_key_t taken : keys) pthread_key_delete(taken);
  return static_cast<int>(keys.size());
}
