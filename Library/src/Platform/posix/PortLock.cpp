#include "Velkor/HardwareAPI/Platform/PortLock.hpp"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "Velkor/HardwareAPI/Platform/PortPath.hpp"

namespace Velkor::HardwareAPI::Platform {

// /proc/locks names each flock() lock's owner and the file it is on:
//   "1: FLOCK  ADVISORY  WRITE 4242 00:19:5 0 EOF"   (pid, st_dev as major:minor in hex, inode)
bool PortLockedByThisProcess(const std::string& name) {
  struct stat info {};
  if (::stat(PortPath(name).c_str(), &info) != 0) return false;
  char file[64];
  std::snprintf(file, sizeof file, "%02x:%02x:%llu", major(info.st_dev), minor(info.st_dev),
                static_cast<unsigned long long>(info.st_ino));
  const std::string self = std::to_string(::getpid());
  std::ifstream locks("/proc/locks");
  std::string line;
  while (std::getline(locks, line)) {
    std::istringstream fields(line);
    std::string number, kind, mode, access, pid, where;
    if (!(fields >> number >> kind)) continue;
    // Blocked waiters are listed as "1: -> FLOCK ...".
    if (kind == "->") continue;
    if (!(fields >> mode >> access >> pid >> where)) continue;
    if (kind == "FLOCK" && where == file && pid == self) return true;
  }
  return false;
}

}  // namespace Velkor::HardwareAPI::Platform
