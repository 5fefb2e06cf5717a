// Which process holds a local TCP port, from Linux's /proc: the socket's inode in the TCP tables,
// then the process with a descriptor on that inode.
#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/testing.h"

namespace platform {

namespace {

constexpr const char* kListenState = "0A";

// The inodes of the sockets on the local port, the listening ones first.
std::vector<std::string> SocketInodes(std::uint16_t port) {
  std::vector<std::string> listening;
  std::vector<std::string> others;
  for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::ifstream in(table);
    std::string line;
    std::getline(in, line);  // the heading
    while (std::getline(in, line)) {
      // sl local_address rem_address st tx_queue:rx_queue tr:tm->when retrnsmt uid timeout inode
      std::istringstream fields(line);
      std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
      if (!(fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
            timeout >> inode)) {
        continue;
      }
      std::string::size_type colon = local.rfind(':');
      if (colon == std::string::npos ||
          std::strtoul(local.c_str() + colon + 1, nullptr, 16) != port || inode == "0") {
        continue;
      }
      (state == kListenState ? listening : others).push_back(inode);
    }
  }
  listening.insert(listening.end(), others.begin(), others.end());
  return listening;
}

// The first process with a descriptor on one of the sockets, in the order given; 0 when none
// that the caller may look into.
long ProcessWith(const std::vector<std::string>& inodes) {
  for (const std::string& inode : inodes) {
    const std::string target = "socket:[" + inode + "]";
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return 0;
    long found = 0;
    while (found == 0) {
      dirent* process = readdir(proc);
      if (process == nullptr) break;
      char* end = nullptr;
      long id = std::strtol(process->d_name, &end, 10);
      if (id <= 0 || *end != '\0') continue;
      const std::string fdFolder = std::string("/proc/") + process->d_name + "/fd";
      DIR* fds = opendir(fdFolder.c_str());
      if (fds == nullptr) continue;
      while (dirent* fd = readdir(fds)) {
        char link[64];
        ssize_t length = readlink((fdFolder + "/" + fd->d_name).c_str(), link, sizeof link - 1);
        if (length <= 0) continue;
        link[length] = '\0';
        if (target == link) {
          found = id;
          break;
        }
      }
      closedir(fds);
    }
    closedir(proc);
    if (found != 0) return found;
  }
  return 0;
}

}  // namespace

bool socketPortHolder(std::uint16_t port, long long* processId, char* exeName, unsigned size) {
  long id = ProcessWith(SocketInodes(port));
  if (id == 0) return false;
  *processId = id;
  if (size == 0) return true;
  exeName[0] = '\0';
  // The executable's file name, as Windows names a process; the command name, which the kernel
  // cuts to 15 characters, when the link cannot be read.
  char path[4096];
  ssize_t length =
      readlink(("/proc/" + std::to_string(id) + "/exe").c_str(), path, sizeof path - 1);
  if (length > 0) {
    path[length] = '\0';
    const char* slash = std::strrchr(path, '/');
    std::snprintf(exeName, size, "%s", slash != nullptr ? slash + 1 : path);
    return true;
  }
  std::ifstream comm("/proc/" + std::to_string(id) + "/comm");
  std::string name;
  if (std::getline(comm, name)) std::snprintf(exeName, size, "%s", name.c_str());
  return true;
}

}  // namespace platform
