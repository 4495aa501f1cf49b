// Large buffers (voxels, control points) are checked against the memory the
// machine has available before they are allocated: on a system that
// over-commits, an allocation larger than that succeeds and the process is
// killed later, when the buffer is filled.
#pragma once

#include <cstdint>
#include <string>

// Bytes of memory available now (MemAvailable of /proc/meminfo, else the
// physical memory); 0 when unknown.
std::uint64_t GetAvailableMemoryBytes();

// True when `bytes` can be allocated. Otherwise prints
// "error: <what> needs <bytes> bytes, more than the <n> bytes of memory available\n"
// and returns false. An unknown amount of memory lets every request through.
bool CheckAllocation(std::uint64_t bytes, const std::string &what);
