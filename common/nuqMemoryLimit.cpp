#include "nuqMemoryLimit.h"

#include <unistd.h>

#include <fstream>
#include <iostream>
#include <sstream>

std::uint64_t GetAvailableMemoryBytes() {
  std::ifstream meminfo("/proc/meminfo");
  for (std::string line; std::getline(meminfo, line);) {
    if (line.compare(0, 13, "MemAvailable:") != 0) continue;
    std::istringstream in(line.substr(13));
    std::uint64_t kilobytes = 0;
    if (in >> kilobytes) return kilobytes * 1024u;
  }
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long pageSize = sysconf(_SC_PAGE_SIZE);
  if (pages <= 0 || pageSize <= 0) return 0;
  return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(pageSize);
}

bool CheckAllocation(std::uint64_t bytes, const std::string &what) {
  const std::uint64_t available = GetAvailableMemoryBytes();
  if (available == 0 || bytes <= available) return true;
  std::cerr << "error: " << what << " needs " << bytes << " bytes, more than the " << available
            << " bytes of memory available\n";
  return false;
}
